// The device search and seeding from a device.
#include "crypto/rand/rand_device.h"

#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand_hw.h"

namespace qcrypto {
namespace {

// Guarded by lock 17.
int g_device_code = 0;

const RAND_METHOD* const kTable[RAND_DEVICE_TABLE_ROWS] = {
    GRAND_method(),
    CRYPTON_rand_method(),
    ACCORD_rand_method(),
    SABLE_rand_method(),
};

const RAND_METHOD* method_of(unsigned char code) {
  switch (code) {
    case RAND_DEVICE_CRYPTON:
      return CRYPTON_rand_method();
    case RAND_DEVICE_ACCORD:
      return ACCORD_rand_method();
    case RAND_DEVICE_SABLE:
      return SABLE_rand_method();
    default:
      return nullptr;
  }
}

}  // namespace

const unsigned char RAND_DEFAULT_DEVICES[4] = {RAND_DEVICE_CRYPTON, RAND_DEVICE_ACCORD, RAND_DEVICE_SABLE, 0};

const RAND_METHOD* const* rand_device_table() { return kTable; }

int PSE_rand_ready() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  return RAND_get_rand_method() != nullptr && RAND_is_placeholder() == 0 ? 1 : 0;
}

void PSE_rand_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (RAND_get_rand_method() != nullptr) {
    RAND_cleanup();
    RAND_set_rand_method(nullptr);
  }
  g_device_code = 0;
}

int PSE_rand_device_code() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  return g_device_code;
}

int PSE_rand_open_device(const unsigned char* list, unsigned char* out, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (PSE_rand_ready()) return 1;
  if (out == nullptr || length < 1) return 0;
  if (list == nullptr) list = RAND_DEFAULT_DEVICES;
  bool answered = false;
  for (const unsigned char* code = list; *code != 0 && !answered; ++code) {
    const RAND_METHOD* m = method_of(*code);
    if (m == nullptr) continue;
    RAND_set_rand_method(m);
    CRYPTON_INIT_ARGS crypton_args{0, CRYPTON_SEARCH_FLAGS};
    void* b = *code == RAND_DEVICE_CRYPTON ? &crypton_args : nullptr;
    if (RAND_init(nullptr, b) == 0 || RAND_bytes(out, length) != length) {
      PSE_rand_cleanup();
      ERR_clear_error();  // a device that is not there is no error
    }
    if (PSE_rand_ready()) {
      g_device_code = *code;
      answered = true;
    }
  }
  if (!answered) {
    PSE_rand_cleanup();
    OPENSSL_cleanse(out, static_cast<std::size_t>(length));
  }
  return answered ? 1 : 0;
}

int PSE_rand_seed_from_device(const unsigned char* list) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (PSE_rand_ready()) return 1;
  SecretBuffer<GRAND_SEED_BYTES> seed;
  bool ok = PSE_rand_open_device(list, seed.data(), static_cast<int>(seed.size())) == 1;
  if (ok) {
    const int code = g_device_code;
    RAND_cleanup();  // closes the device
    RAND_set_rand_method(nullptr);
    GRAND_method_cleanup();  // the board's seed, never an older key
    RAND_set_rand_method(GRAND_method());
    ok = RAND_seed(seed.data(), static_cast<int>(seed.size())) == 1;
    g_device_code = code;
  }
  if (!ok) PSE_rand_cleanup();
  return ok ? 1 : 0;
}

}  // namespace qcrypto
