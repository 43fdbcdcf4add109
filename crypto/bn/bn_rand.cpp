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

}  // namespace qcrypto
