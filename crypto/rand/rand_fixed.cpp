// The deterministic test method: a queue of given bytes.
#include "crypto/rand/rand_fixed.h"

#ifdef QCRYPTO_TEST_HOOKS

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "crypto/cclib/locks.h"

namespace qcrypto {
namespace {

// Guarded by lock 17. The queue may hold key material of a test: it is wiped
// whenever it is replaced or consumed.
struct FixedQueue {
  std::vector<unsigned char> data;
  std::size_t next = 0;

  void wipe() {
    if (!data.empty()) OPENSSL_cleanse(data.data(), data.size());
    data.clear();
    next = 0;
  }
  ~FixedQueue() { wipe(); }
};

FixedQueue& queue() {
  static FixedQueue q;
  return q;
}

int fixed_seed(unsigned char*, int) { return 1; }

int fixed_bytes(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (buffer == nullptr || length <= 0) return 0;
  FixedQueue& q = queue();
  const std::size_t n = std::min(static_cast<std::size_t>(length), q.data.size() - q.next);
  if (n > 0) {
    std::memcpy(buffer, q.data.data() + q.next, n);
    OPENSSL_cleanse(q.data.data() + q.next, n);
    q.next += n;
  }
  if (q.next == q.data.size()) q.wipe();
  return static_cast<int>(n);
}

int fixed_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  queue().wipe();
  return 1;
}

const RAND_METHOD kFixedMethod = {
    fixed_seed, fixed_bytes, fixed_cleanup, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

const RAND_METHOD* RAND_fixed_method() { return &kFixedMethod; }

void RAND_fixed_set_bytes(std::span<const unsigned char> bytes) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  FixedQueue& q = queue();
  q.wipe();
  q.data.assign(bytes.begin(), bytes.end());
}

void RAND_fixed_add_bytes(std::span<const unsigned char> bytes) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  FixedQueue& q = queue();
  // Compact first, so consumed (already wiped) bytes do not pile up.
  std::vector<unsigned char> merged;
  merged.reserve(q.data.size() - q.next + bytes.size());
  merged.insert(merged.end(), q.data.begin() + static_cast<std::ptrdiff_t>(q.next), q.data.end());
  merged.insert(merged.end(), bytes.begin(), bytes.end());
  q.wipe();
  q.data = std::move(merged);
}

std::size_t RAND_fixed_remaining() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const FixedQueue& q = queue();
  return q.data.size() - q.next;
}

}  // namespace qcrypto

#endif  // QCRYPTO_TEST_HOOKS
