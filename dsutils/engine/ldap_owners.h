// Owners of the LDAP library's records, declared once for the engine.
#pragma once

#include <ldap.h>

#include "crypto/cclib/owner.h"

namespace dsutils {
// Closing a handle is an unbind: it also closes the connection.
inline void ldap_handle_free(LDAP* ld) { ldap_unbind_ext_s(ld, nullptr, nullptr); }
}  // namespace dsutils

QCRYPTO_DECLARE_OWNER(LDAP, dsutils::ldap_handle_free)
QCRYPTO_DECLARE_OWNER(LDAPMessage, ldap_msgfree)
QCRYPTO_DECLARE_OWNER(berval*, ldap_value_free_len)
