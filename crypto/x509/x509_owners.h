// Owners of OpenSSL's name and certificate records, declared once for the
// whole library.
#pragma once

#include <openssl/x509.h>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(X509_NAME, X509_NAME_free)
QCRYPTO_DECLARE_OWNER(X509_NAME_ENTRY, X509_NAME_ENTRY_free)
QCRYPTO_DECLARE_OWNER(X509, X509_free)
QCRYPTO_DECLARE_OWNER(EVP_PKEY, EVP_PKEY_free)
QCRYPTO_DECLARE_OWNER(BIO, BIO_free)
