#include "crypto/pse/pse_rand.h"

#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_device.h"

namespace qcrypto {

int PSE_rand_init(PSE* container, unsigned char* block, int* out, RAND_KEY_CALLBACK callback, void* user) {
  if (out != nullptr) *out = 0;
  SecretBuffer<PSE_OPAQUE_PLAIN_BYTES> state;
  const bool with_container = container != nullptr && block != nullptr;
  bool have_state = false;
  {
    CryptoLockGuard g(CRYPTO_LOCK_RAND);
    if (PSE_rand_ready()) return 1;
    have_state = with_container && PSE_read_opaque(container, block, state.data()) != nullptr;
    if (!have_state && callback == nullptr) {
      QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERR_R_INTERNAL);
      QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERRLIB_PSE);
      PSE_rand_cleanup();
      return 0;
    }
  }
  // Without a saved state the keys are asked for outside lock 17; the
  // installation takes it for the keying only.
  bool ok = GRAND_install_seeded(state.data(), have_state ? 1 : 0, callback, user) == 1;
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (ok && with_container && out != nullptr) {
    ok = PSE_write_opaque(container, state.data(), block) != nullptr;
    if (ok) *out = PSE_OPAQUE_BLOCK_BYTES;
  }
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERRLIB_PSE);
    PSE_rand_cleanup();
    return 0;
  }
  return 1;
}

int PSE_rand_save_state(PSE* container, unsigned char* block) {
  SecretBuffer<PSE_OPAQUE_PLAIN_BYTES> state;
  // The draw takes lock 17 itself; should it meet the placeholder, the
  // person it asks for keys is not kept waiting behind the lock.
  bool ok = container != nullptr && block != nullptr &&
            RAND_bytes(state.data(), static_cast<int>(state.size())) == PSE_OPAQUE_PLAIN_BYTES;
  if (ok) {
    CryptoLockGuard g(CRYPTO_LOCK_RAND);
    ok = PSE_write_opaque(container, state.data(), block) != nullptr;
  }
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_SAVE_STATE, ERRLIB_PSE);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
