#include "crypto/rand/mprand.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

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
// Constant-initialised and never destroyed: there is no initialisation
// guard that a fork could leave half-taken in the child (a thread of the
// parent in the middle of a first start), and the handle outlives static
// destructors.
union MutexSlotStorage {
  constexpr MutexSlotStorage() : slot() {}
  ~MutexSlotStorage() {}  // NOLINT(modernize-use-equals-default): must not destroy the slot
  MutexSlot slot;
};
constinit MutexSlotStorage g_mutex_slot;
MutexSlot& mutex_slot() { return g_mutex_slot.slot; }
std::shared_ptr<platform::NamedMutex> current_handle() {
  MutexSlot& s = mutex_slot();
  std::lock_guard<std::mutex> g(s.lock);
  return s.handle;
}

int placeholder_yes() { return 1; }

// Serialises the placeholder's seeding. A forked child gets it fresh: the
// thread that may have held it (waiting for a person) does not exist there.
std::mutex& seeding_lock() {
  static std::mutex* m = [] {
    pthread_atfork(nullptr, nullptr, [] { new (&seeding_lock()) std::mutex(); });
    return new std::mutex();
  }();
  return *m;
}

// The bytes slot of the method now installed (lock 17 held by the caller).
int draw_installed(unsigned char* buffer, int length) {
  const RAND_METHOD* m = RAND_get_rand_method();
  if (m == nullptr || m->bytes == nullptr) return 0;
  return m->bytes(buffer, length);
}

const RAND_METHOD kPlaceholder = {nullptr, mprand_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, placeholder_yes};

}  // namespace

const RAND_METHOD* mprand_method() { return &kPlaceholder; }

int mprand_bytes(unsigned char* buffer, int length) {
  // One seeding at a time. Taken before lock 17, never under it, so a second
  // request waits here for the person instead of asking twice; a caller that
  // holds lock 17 itself seeds entirely under it.
  const bool caller_holds_rand = CRYPTO_lock_held(CRYPTO_LOCK_RAND) != 0;
  std::unique_lock<std::mutex> seeding(seeding_lock(), std::defer_lock);
  if (!caller_holds_rand) seeding.lock();
  {
    CryptoLockGuard g(CRYPTO_LOCK_RAND);
    // Another request may have finished the seeding while this one waited.
    if (PSE_rand_ready()) return RAND_bytes(buffer, length);
    if (PSE_rand_seed_from_device(nullptr)) return draw_installed(buffer, length);
    // The placeholder stays installed while the person types.
    RAND_set_rand_method(&kPlaceholder);
  }
  SecretBuffer<GRAND_SEED_BYTES> state;
  const int ok = GRAND_install_seeded(state.data(), 0, mprand_key_callback, nullptr);
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_RAND_INIT, ERRLIB_PSE);
    RAND_cleanup();
    RAND_set_rand_method(&kPlaceholder);
    return 0;
  }
  return draw_installed(buffer, length);
}

void mprand_set_callback(RAND_KEY_CALLBACK callback) { g_callback.store(callback); }

int mprand_key_callback(int character, int ordinal, int total, void* user) {
  RAND_KEY_CALLBACK cb = g_callback.load();
  return cb == nullptr ? -1 : cb(character, ordinal, total, user);
}

void mprand_install_fork_handlers() {
  static const bool installed = [] {
    pthread_atfork([] { g_mutex_slot.slot.lock.lock(); }, [] { g_mutex_slot.slot.lock.unlock(); },
                   [] { g_mutex_slot.slot.lock.unlock(); });
    return true;
  }();
  (void)installed;
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
