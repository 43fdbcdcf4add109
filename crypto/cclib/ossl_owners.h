// Owners of the OpenSSL records used across modules, declared once here so
// that no module writes its own deleter. Big numbers have theirs in
// crypto/bn/bn_owner.h.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

// OpenSSL 3.0 has no clearing free for parameter arrays: a built array may
// carry a private number, so every value is wiped before the block goes.
inline void OSSL_PARAM_clear_free(OSSL_PARAM* params) {
  if (params == nullptr) return;
  for (OSSL_PARAM* p = params; p->key != nullptr; ++p) {
    if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
  }
  OSSL_PARAM_free(params);
}

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(EVP_PKEY, EVP_PKEY_free)
QCRYPTO_DECLARE_OWNER(EVP_PKEY_CTX, EVP_PKEY_CTX_free)
QCRYPTO_DECLARE_OWNER(EVP_MD_CTX, EVP_MD_CTX_free)
QCRYPTO_DECLARE_OWNER(EVP_MD, EVP_MD_free)
QCRYPTO_DECLARE_OWNER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free)
QCRYPTO_DECLARE_OWNER(EVP_CIPHER, EVP_CIPHER_free)
QCRYPTO_DECLARE_OWNER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free)
QCRYPTO_DECLARE_OWNER(OSSL_PARAM, OSSL_PARAM_free)
QCRYPTO_DECLARE_SECRET_OWNER(OSSL_PARAM, qcrypto::OSSL_PARAM_clear_free)
QCRYPTO_DECLARE_OWNER(X509, X509_free)
QCRYPTO_DECLARE_OWNER(X509_CRL, X509_CRL_free)
QCRYPTO_DECLARE_OWNER(X509_ALGOR, X509_ALGOR_free)
QCRYPTO_DECLARE_OWNER(X509_PUBKEY, X509_PUBKEY_free)
QCRYPTO_DECLARE_OWNER(BIO, BIO_free)
QCRYPTO_DECLARE_OWNER(ASN1_OBJECT, ASN1_OBJECT_free)
QCRYPTO_DECLARE_OWNER(EC_GROUP, EC_GROUP_free)
QCRYPTO_DECLARE_OWNER(EC_POINT, EC_POINT_free)
// ASN1_INTEGER, ASN1_OCTET_STRING, ASN1_BIT_STRING, ... are all the one
// string record, so they share one owner.
QCRYPTO_DECLARE_OWNER(ASN1_STRING, ASN1_STRING_free)
