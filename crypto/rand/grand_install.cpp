// Installing the software generator with its seed.
#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/grand.h"

namespace qcrypto {

int GRAND_install_seeded(unsigned char* state32, int from_state, RAND_KEY_CALLBACK callback, void* user) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (state32 == nullptr) return 0;
  // Whatever was there goes first, so the generator starts unkeyed and the
  // state always ends up as fresh output.
  RAND_set_rand_method(nullptr);
  GRAND_method_cleanup();
  RAND_set_rand_method(GRAND_method());
  int ok = 0;
  if (from_state) {
    ok = RAND_seed(state32, GRAND_SEED_BYTES);
  } else if (callback != nullptr) {
    ERR_clear_error();
    GRAND_INIT_ARGS args{callback, user};
    ok = RAND_init(state32, &args);
  }
  if (!ok) {
    OPENSSL_cleanse(state32, GRAND_SEED_BYTES);
    RAND_set_rand_method(nullptr);
  }
  return ok;
}

}  // namespace qcrypto
