// Owners of the decoded certificate extensions the store and the verifier
// read.
#pragma once

#include <openssl/x509v3.h>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(AUTHORITY_KEYID, AUTHORITY_KEYID_free)
QCRYPTO_DECLARE_OWNER(BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free)
