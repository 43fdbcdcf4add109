// Owners of OpenSSL's name records; the other OpenSSL records (X509,
// EVP_PKEY, BIO, ...) have theirs in crypto/cclib/ossl_owners.h.
#pragma once

#include <openssl/x509.h>

#include "crypto/cclib/ossl_owners.h"

QCRYPTO_DECLARE_OWNER(X509_NAME, X509_NAME_free)
QCRYPTO_DECLARE_OWNER(X509_NAME_ENTRY, X509_NAME_ENTRY_free)
