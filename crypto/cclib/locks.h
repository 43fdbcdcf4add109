// The crypto library's numbered locks.
//
// 33 recursive mutexes, one per lock number 0-32, shared by every module of the
// library: read and write requests take the same mutex. Numbers in use:
//   3 certificate references, 6 CRL references, 10 private keys and decoded
//   public keys, 11 certificate store, 17 random generator, 18 library
//   reference count and Touch-Memory ports, 24 GOST R 34.10-94 keys, 25 key
//   containers and media libraries, 27 curves and GOST R 34.10-2001 keys,
//   29 shared GOST 28147-89 tables, 30 name-constraints decoder, 31 token I/O.
#pragma once

#include <mutex>

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

// The name of a lock number ("r3410", "pse", ...), or "ERROR" outside 0-32.
const char* CRYPTO_get_lock_name(int type);

// Scoped hold of one numbered lock.
class CryptoLockGuard {
 public:
  explicit CryptoLockGuard(int type, const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : type_(type) {
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
