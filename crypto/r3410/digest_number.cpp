#include "crypto/r3410/digest_number.h"

namespace qcrypto {

bool R3410DigestNumber(BIGNUM* m, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx) {
  if (length < 0 || (digest == nullptr && length > 0)) return false;
  if (BN_bin2bn(digest, length, m) == nullptr || !BN_nnmod(m, m, q, ctx)) return false;
  return !BN_is_zero(m) || BN_one(m);
}

}  // namespace qcrypto
