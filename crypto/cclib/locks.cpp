#include "crypto/cclib/locks.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qcrypto {
namespace {

// A recursive lock over a plain mutex: the owner and depth are ours, so the
// forking thread can release in the child what it took before the fork (a
// pthread recursive mutex refuses that, its owner being a thread id the child
// no longer has).
struct NumberedLock {
  std::mutex mutex;
  std::atomic<std::thread::id> owner{};
  int depth = 0;  // only touched by the owner
};

using LockTable = std::array<NumberedLock, CRYPTO_NUM_LOCKS>;

void prepare_fork();
void release_after_fork();

// Made once, on first use from any thread, and never destroyed: a lock may be
// taken from a static destructor of another module at process exit.
LockTable& lock_table() {
  static std::once_flag once;
  static LockTable* table = nullptr;
  std::call_once(once, [] {
    table = new LockTable();
    pthread_atfork(prepare_fork, release_after_fork, release_after_fork);
  });
  return *table;
}

constexpr const char* kLockNames[CRYPTO_NUM_LOCKS] = {
    "<<ERROR>>",     "err",           "err_hash",     "x509",     "x509_info",  "x509_pkey", "x509_crl",
    "x509_req",      "dsa",           "rsa",          "evp_pkey", "x509_store", "ssl_ctx",   "ssl_cert",
    "ssl_session",   "ssl_sess_cert", "ssl",          "rand",     "malloc",     "bio",       "gethostbyname",
    "getservbyname", "readdir",       "rsa_blinding", "r3410",    "pse",        "mask",      "ecgost",
    "cms",           "rus",           "asn1",         "Vexil",    "pse_cache",
};

#if !defined(NDEBUG) || defined(QCRYPTO_TEST_HOOKS)
// The numbers the calling thread holds, one bit each.
thread_local uint64_t t_held = 0;

void check_order(int type, const char* file, int line) {
  const uint64_t above = t_held >> (type + 1);
  if (above == 0) return;
  const int held = type + 1 + std::countr_zero(above);
  std::fprintf(stderr, "numbered lock order violated at %s:%d: taking %d (%s) while holding %d (%s)\n",
               file != nullptr ? file : "?", line, type, kLockNames[type], held, kLockNames[held]);
  std::abort();
}
void note_taken(int type) { t_held |= uint64_t{1} << type; }
void note_released(int type) { t_held &= ~(uint64_t{1} << type); }
#else
void check_order(int, const char*, int) {}
void note_taken(int) {}
void note_released(int) {}
#endif

void take(int type, const char* file, int line) {
  NumberedLock& l = lock_table()[static_cast<std::size_t>(type)];
  const auto self = std::this_thread::get_id();
  if (l.owner.load(std::memory_order_relaxed) == self) {
    ++l.depth;
    return;
  }
  check_order(type, file, line);
  l.mutex.lock();
  l.owner.store(self, std::memory_order_relaxed);
  l.depth = 1;
  note_taken(type);
}

void release(int type) {
  NumberedLock& l = lock_table()[static_cast<std::size_t>(type)];
  if (l.owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;  // not ours to release
  if (--l.depth > 0) return;
  l.owner.store(std::thread::id{}, std::memory_order_relaxed);
  note_released(type);
  l.mutex.unlock();
}

// The forking thread holds every lock across the fork, taken in order, so no
// other thread is inside one when the child is made.
void prepare_fork() {
  for (int i = 0; i < CRYPTO_NUM_LOCKS; ++i) take(i, __FILE__, __LINE__);
}

void release_after_fork() {
  for (int i = CRYPTO_NUM_LOCKS - 1; i >= 0; --i) release(i);
}

}  // namespace

void CRYPTO_lock(int mode, int type, const char* file, int line) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return;
  if (mode & CRYPTO_LOCK) {
    take(type, file, line);
  } else {
    release(type);
  }
}

int CRYPTO_lock_held(int type) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return 0;
  return lock_table()[static_cast<std::size_t>(type)].owner.load(std::memory_order_relaxed) ==
                 std::this_thread::get_id()
             ? 1
             : 0;
}

int CRYPTO_try_lock(int type) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return 0;
  NumberedLock& l = lock_table()[static_cast<std::size_t>(type)];
  const auto self = std::this_thread::get_id();
  if (l.owner.load(std::memory_order_relaxed) == self) {
    ++l.depth;
    return 1;
  }
  if (!l.mutex.try_lock()) return 0;  // a try never waits, so it cannot break the order
  l.owner.store(self, std::memory_order_relaxed);
  l.depth = 1;
  note_taken(type);
  return 1;
}

void CRYPTO_locks_prepare() { lock_table(); }

const char* CRYPTO_get_lock_name(int type) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return "ERROR";
  return kLockNames[type];
}

unsigned char* CCLIB_reverse(unsigned char* bytes, int length) {
  if (bytes != nullptr && length > 0) std::reverse(bytes, bytes + length);
  return bytes;
}

}  // namespace qcrypto
