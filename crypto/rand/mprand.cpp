#include "crypto/rand/mprand.h"

#include <openssl/crypto.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand_device.h"
#include "platform/named_mutex.h"

namespace qcrypto {
namespace {

std::atomic<RAND_KEY_CALLBACK> g_callback{nullptr};

struct MutexSlot {
  std::mutex lock;  // guards the handle, not the named mutex
  std::shared_ptr<platform::NamedMutex> handle;
};
MutexSlot& mutex_slot() {
  static MutexSlot* slot = new MutexSlot();  // outlives static destructors
  return *slot;
}
std::shared_ptr<platform::NamedMutex> current_handle() {
  MutexSlot& s = mutex_slot();
  std::lock_guard<std::mutex> g(s.lock);
  return s.handle;
}

int placeholder_yes() { return 1; }

const RAND_METHOD kPlaceholder = {nullptr, mprand_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, placeholder_yes};

}  // namespace

const RAND_METHOD* mprand_method() { return &kPlaceholder; }

int mprand_bytes(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  RAND_cleanup();
  RAND_set_rand_method(nullptr);
  if (!PSE_rand_seed_from_device(nullptr)) {
    SecretBuffer<GRAND_SEED_BYTES> state;
    const int ok = GRAND_install_seeded(state.data(), 0, mprand_key_callback, nullptr);
    if (!ok) {
      QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERRLIB_PSE);
      RAND_cleanup();
      RAND_set_rand_method(&kPlaceholder);
      return 0;
    }
  }
  const RAND_METHOD* m = RAND_get_rand_method();
  if (m == nullptr || m->bytes == nullptr) return 0;
  return m->bytes(buffer, length);
}

void mprand_set_callback(RAND_KEY_CALLBACK callback) { g_callback.store(callback); }

int mprand_key_callback(int character, int ordinal, int total, void* user) {
  RAND_KEY_CALLBACK cb = g_callback.load();
  return cb == nullptr ? -1 : cb(character, ordinal, total, user);
}

int mprand_mutex_create() {
  MutexSlot& s = mutex_slot();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.handle) s.handle = platform::NamedMutex::open(kRandomMutexName);
  return s.handle ? 1 : 0;
}

void mprand_mutex_close() {
  std::shared_ptr<platform::NamedMutex> old;
  {
    MutexSlot& s = mutex_slot();
    std::lock_guard<std::mutex> g(s.lock);
    old = std::move(s.handle);
  }
}

int mprand_lock() {
  auto h = current_handle();
  return h && h->lock() ? 1 : 0;
}

int mprand_unlock() {
  auto h = current_handle();
  return h && h->unlock() ? 1 : 0;
}

}  // namespace qcrypto
