// GOST key records as OpenSSL 3 keys of the library's provider, and back.
#pragma once

#include <openssl/evp.h>

#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {

// A new EVP_PKEY ("R3410" / "ECR3410" of the provider) over the record; the
// EVP_PKEY holds one more reference to it, so no numbers are copied. A record
// with a private number gives a key pair, else a public key. Null on failure.
EVP_PKEY* evp_pkey_from_r3410(R3410* key);
EVP_PKEY* evp_pkey_from_ecgost(ECGOST* key);

// The record inside a key of the provider (no new reference: it lives as long
// as the EVP_PKEY), or null for any other key.
R3410* evp_pkey_get0_r3410(EVP_PKEY* pkey);
ECGOST* evp_pkey_get0_ecgost(EVP_PKEY* pkey);

}  // namespace qcrypto
