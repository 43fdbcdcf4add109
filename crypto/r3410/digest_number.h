// The digest as the number the scheme works with.
#pragma once

#include <openssl/bn.h>

namespace qcrypto {

// m = the digest bytes read as one big-endian number, reduced mod q; a
// result of 0 becomes 1.
bool R3410DigestNumber(BIGNUM* m, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx);

}  // namespace qcrypto
