// Pieces the certificate, CRL and key records share.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "crypto/cadb/buffer.h"

namespace qcrypto {

// The contents bytes of an INTEGER (its big-endian magnitude), or null with
// an error.
BUFFER* cadb_integer_bytes(const ASN1_INTEGER* value);
// The name line (the subject or issuer as text in the local code page), or
// null with an error.
BUFFER* cadb_name_text(const X509_NAME* name);
// The GOST R 34.11-94 hash of the contents of the public key's BIT STRING,
// or null with an error.
BUFFER* cadb_fingerprint(const X509_PUBKEY* pub);
BUFFER* cadb_key_fingerprint(const EVP_PKEY* key);

}  // namespace qcrypto
