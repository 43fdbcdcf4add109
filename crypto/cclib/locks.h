// The crypto library's numbered locks.
//
// 33 recursive locks, one per lock number 0-32, shared by every module of the
// library: read and write requests take the same lock. Numbers in use:
//   3 certificate references, 6 CRL references, 10 private keys and decoded
//   public keys, 11 certificate store, 17 random generator, 18 library
//   reference count and Touch-Memory ports, 24 GOST R 34.10-94 keys, 25 key
//   containers and media libraries, 27 curves and GOST R 34.10-2001 keys,
//   29 shared GOST 28147-89 tables, 30 name-constraints decoder, 31 token I/O.
//
// Lock order: a thread that holds numbered locks takes a further one only if
// its number is higher than every lock it holds (taking a lock it already
// holds again is always allowed). The nestings in the code today:
//   17 -> 25  the generator's key-container state (PSE_rand_init and
//             PSE_rand_save_state read and write the container under 17)
//   17 -> 29  keying the generator builds the shared cipher and hash tables
//   27 -> 27  curve tables (recursive only)
// 24 (94 keys) and 27 (2001 keys, curves) are leaves: nothing is taken under
// them. The error layer's own mutexes are leaves below every numbered lock.
// Builds with test hooks or assertions check the order on every take and
// abort with both lock names on a violation.
//
// No lock is held while the library waits for a person: keyboard seeding
// collects its keys before taking lock 17 and takes it only to mix them in.
//
// fork(): the first use of the locks registers fork handlers. The forking
// thread takes every numbered lock in order before the fork and releases them
// after it in parent and child, so a child never inherits a lock held by a
// thread it does not have. A child of a multi-threaded parent may therefore
// use everything that runs under the numbered locks (random bytes, signing,
// the error queue); it must not fork while itself holding a numbered lock
// (the order check reports that), and process-wide caches guarded by other
// mutexes (curve and table caches) are only safe in a child when the parent
// was not using them at the moment of the fork.

#pragma once

namespace qcrypto {

enum CryptoLock : int {
  CRYPTO_LOCK_X509 = 3,
  CRYPTO_LOCK_X509_CRL = 6,
  CRYPTO_LOCK_EVP_PKEY = 10,
  CRYPTO_LOCK_X509_STORE = 11,
  CRYPTO_LOCK_RAND = 17,
  CRYPTO_LOCK_MALLOC = 18,
  CRYPTO_LOCK_R3410 = 24,
  CRYPTO_LOCK_PSE = 25,
  CRYPTO_LOCK_MASK = 26,
  CRYPTO_LOCK_ECGOST = 27,
  CRYPTO_LOCK_CMS = 28,
  CRYPTO_LOCK_RUS = 29,
  CRYPTO_LOCK_ASN1 = 30,
  CRYPTO_LOCK_VEXIL = 31,
  CRYPTO_LOCK_PSE_CACHE = 32,
};

constexpr int CRYPTO_NUM_LOCKS = 33;

// Mode bits of CRYPTO_lock.
constexpr int CRYPTO_LOCK = 1;
constexpr int CRYPTO_UNLOCK = 2;
constexpr int CRYPTO_READ = 4;
constexpr int CRYPTO_WRITE = 8;

// Takes (mode has CRYPTO_LOCK) or releases lock number `type`. Numbers outside
// 0-32 are ignored. The table is made on first use, once per process.
void CRYPTO_lock(int mode, int type, const char* file, int line);

// Takes lock number `type` only if that needs no waiting: 1 when taken (or
// already held by the calling thread, which then holds it once more), 0 when
// another thread holds it or the number is outside 0-32.
int CRYPTO_try_lock(int type);

// 1 when the calling thread holds lock number `type`.
int CRYPTO_lock_held(int type);

// Makes the table and registers its fork handlers now rather than on first
// use. The library calls it while it loads, to fix the order of the fork
// handlers before any thread could hold a lock.
void CRYPTO_locks_prepare();

// The name of a lock number ("r3410", "pse", ...), or "ERROR" outside 0-32.
const char* CRYPTO_get_lock_name(int type);

// Scoped hold of one numbered lock.
class CryptoLockGuard {
 public:
  explicit CryptoLockGuard(int type, const char* file = __builtin_FILE(), int line = __builtin_LINE()) : type_(type) {
    CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, type_, file, line);
  }
  ~CryptoLockGuard() { CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, type_, nullptr, 0); }
  CryptoLockGuard(const CryptoLockGuard&) = delete;
  CryptoLockGuard& operator=(const CryptoLockGuard&) = delete;

 private:
  int type_;
};

// Byte reversal in place; nothing for null or a length below 1. Returns `bytes`.
unsigned char* CCLIB_reverse(unsigned char* bytes, int length);

}  // namespace qcrypto
