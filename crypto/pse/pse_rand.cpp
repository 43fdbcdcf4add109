#include "crypto/pse/pse_rand.h"

#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_device.h"

namespace qcrypto {
namespace {

struct State32 {
  unsigned char bytes[PSE_OPAQUE_PLAIN_BYTES] = {};
  ~State32() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

}  // namespace

int PSE_rand_init(PseOpaqueStore* container, unsigned char* block, int* out, RAND_KEY_CALLBACK callback, void* user) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (out != nullptr) *out = 0;
  if (PSE_rand_ready()) return 1;
  State32 state;
  const bool with_container = container != nullptr && block != nullptr;
  const bool have_state = with_container && PSE_read_opaque(container, block, state.bytes) != nullptr;
  bool ok;
  if (!have_state && callback == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERR_R_INTERNAL);
    PSE_rand_cleanup();
    ok = false;
  } else {
    ok = GRAND_install_seeded(state.bytes, have_state ? 1 : 0, callback, user) == 1;
  }
  if (ok && with_container && out != nullptr) {
    ok = PSE_write_opaque(container, state.bytes, block) != nullptr;
    if (ok) *out = PSE_OPAQUE_BLOCK_BYTES;
  }
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERRLIB_PSE);
    PSE_rand_cleanup();
    return 0;
  }
  return 1;
}

int PSE_rand_save_state(PseOpaqueStore* container, unsigned char* block) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  State32 state;
  if (container == nullptr || block == nullptr ||
      RAND_bytes(state.bytes, sizeof(state.bytes)) != PSE_OPAQUE_PLAIN_BYTES ||
      PSE_write_opaque(container, state.bytes, block) == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_SAVE_STATE, ERRLIB_PSE);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
