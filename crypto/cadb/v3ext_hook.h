// Where certificate, CRL and revoked-entry records get their decoded
// extensions.
//
// The extension records (CADB_V3EXT, a list of them per object) are built by
// the extension split (crypto/v3ext/cadb_v3ext.h, which implements these two
// functions); the records here only hold the list.
#pragma once

#include <openssl/x509.h>

namespace qcrypto {

struct CADB_V3EXT;
// The list type OpenSSL's STACK_OF(CADB_V3EXT) names.
struct stack_st_CADB_V3EXT;
using CADB_V3EXT_LIST = stack_st_CADB_V3EXT;

// Decodes the extensions of a certificate, CRL or revoked entry into a new
// list in `*out` (null when nothing was decoded). 1, or 0 with an error when
// the extensions cannot be taken, which fails the caller's split.
int cadb_split_extensions(const STACK_OF(X509_EXTENSION) * extensions, CADB_V3EXT_LIST** out);
// Frees a list made by cadb_split_extensions. Null is allowed.
void cadb_free_extensions(CADB_V3EXT_LIST* list);

}  // namespace qcrypto
