#include <openssl/crypto.h>

#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"

namespace qcrypto {

int BN_rand_bytes(BIGNUM* number, int length) {
  if (number == nullptr || length < 0) {
    QERR(ERRLIB_BN, BNX_F_BN_RAND_BYTES, ERR_R_PASSED_NULL);
    return 0;
  }
  if (length == 0) {
    BN_zero(number);
    return 1;
  }
  unsigned char* buf = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(length)));
  if (buf == nullptr) {
    QERR(ERRLIB_BN, BNX_F_BN_RAND_BYTES, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  int ok = 0;
  if (RAND_bytes(buf, length) < length) {
    QERR(ERRLIB_BN, BNX_F_BN_RAND_BYTES, ERRLIB_RAND);
  } else if (BN_bin2bn(buf, length, number) == nullptr) {
    QERR(ERRLIB_BN, BNX_F_BN_RAND_BYTES, ERR_R_MEMORY_ALLOC);
  } else {
    ok = 1;
  }
  OPENSSL_clear_free(buf, static_cast<size_t>(length));
  return ok;
}

int BN_rand_bits(BIGNUM* number, int bits) {
  if (bits < 0 || !BN_rand_bytes(number, (bits + 7) / 8)) return 0;
  // BN_mask_bits refuses a number already shorter than the mask, which is a
  // valid draw: only a longer one is cut.
  return BN_num_bits(number) <= bits || BN_mask_bits(number, bits);
}

int BN_digest_mod(BIGNUM* m, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx) {
  if (length < 0 || (digest == nullptr && length > 0)) return 0;
  if (BN_bin2bn(digest, length, m) == nullptr || !BN_nnmod(m, m, q, ctx)) return 0;
  return !BN_is_zero(m) || BN_one(m);
}

}  // namespace qcrypto
