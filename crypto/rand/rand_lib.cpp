// Dispatch to the installed method record, under lock 17.
#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"

namespace qcrypto {
namespace {

// Guarded by lock 17.
const RAND_METHOD* g_method = nullptr;

}  // namespace

const RAND_METHOD* RAND_get_rand_method() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  return g_method;
}

void RAND_set_rand_method(const RAND_METHOD* method) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_method != method) RAND_cleanup();
  g_method = method;
}

int RAND_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const RAND_METHOD* m = g_method;
  if (m == nullptr) return 0;
  if (m->cleanup != nullptr && m->cleanup() == 0) return 0;
  g_method = nullptr;
  return 1;
}

int RAND_seed(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const RAND_METHOD* m = g_method;
  if (m == nullptr) {
    QERR(ERRLIB_RAND, RAND_F_RAND_SEED, RAND_R_METHOD_NOT_SET);
    return 0;
  }
  if (m->seed == nullptr) return 1;
  return m->seed(buffer, length) != 0 ? 1 : 0;
}

int RAND_bytes(unsigned char* buffer, int length) {
  const RAND_METHOD* m = nullptr;
  {
    CryptoLockGuard g(CRYPTO_LOCK_RAND);
    m = g_method;
    if (m == nullptr) {
      QERR(ERRLIB_RAND, RAND_F_RAND_BYTES, RAND_R_METHOD_NOT_SET);
      return 0;
    }
    if (m->bytes == nullptr) return 0;
    if (m->placeholder == nullptr || m->placeholder() == 0) return m->bytes(buffer, length);
  }
  // The placeholder may have to wait for a person; it takes lock 17 itself
  // around everything but that wait. (Records are static: m stays valid.)
  return m->bytes(buffer, length);
}

int RAND_init(void* a, void* b) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const RAND_METHOD* m = g_method;
  if (m == nullptr) {
    QERR(ERRLIB_RAND, RAND_F_RAND_INIT, RAND_R_METHOD_NOT_SET);
    return 0;
  }
  if (m->init == nullptr) return 0;
  return m->init(a, b) != 0 ? 1 : 0;
}

int RAND_info(void* argument) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const RAND_METHOD* m = g_method;
  if (m == nullptr || m->info == nullptr) return 0;
  return m->info(argument) != 0 ? 1 : 0;
}

int RAND_is_placeholder() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const RAND_METHOD* m = g_method;
  if (m == nullptr || m->placeholder == nullptr) return 0;
  return m->placeholder();
}

}  // namespace qcrypto
