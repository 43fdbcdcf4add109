// Installing the software generator with its seed.
#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/grand.h"

namespace qcrypto {

int GRAND_install_seeded(unsigned char* state32, int from_state, RAND_KEY_CALLBACK callback, void* user) {
  if (state32 == nullptr) return 0;
  bool ok = true;
  if (!from_state) {
    // The person types without lock 17 held (unless the caller holds it);
    // the lock is taken below, only to key the generator from the result.
    ERR_clear_error();
    OPENSSL_cleanse(state32, GRAND_SEED_BYTES);
    ok = callback != nullptr && GRAND_keyboard_seed(state32, callback, user) == 1;
    if (!ok && callback != nullptr) QERR(ERRLIB_RAND, RAND_F_GRAND_GAMMA_RAND_INIT, ERRLIB_RAND);
  }
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  // Whatever was there goes first, so the generator starts unkeyed and the
  // state always ends up as fresh output (seeding replaces it by output).
  RAND_set_rand_method(nullptr);
  GRAND_method_cleanup();
  if (ok) {
    RAND_set_rand_method(GRAND_method());
    ok = RAND_seed(state32, GRAND_SEED_BYTES) == 1;
    if (!ok && !from_state) QERR(ERRLIB_RAND, RAND_F_GRAND_GAMMA_RAND_INIT, ERRLIB_RAND);
  }
  if (!ok) {
    OPENSSL_cleanse(state32, GRAND_SEED_BYTES);
    RAND_set_rand_method(nullptr);
  }
  return ok ? 1 : 0;
}

}  // namespace qcrypto
