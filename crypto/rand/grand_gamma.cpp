// The generator itself: state, derivation, keying, output and the record.
#include <openssl/crypto.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/grand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "platform/time_record.h"

namespace qcrypto {
namespace {

constexpr unsigned kKeyed = 1;

// Process-wide, guarded by lock 17.
struct GrandState {
  GOSTE_CTX cipher;
  unsigned char buffer[GRAND_BUFFER_BYTES];
  int position;   // read position in the buffer
  int available;  // bytes still unread there
  unsigned flags;
};
GrandState g_state{};

// Set in a child of fork(): its copy of the state must not repeat the
// parent's output, so the first draw there re-keys.
std::atomic<bool> g_forked{false};
void on_fork_child() { g_forked.store(true); }
const bool g_fork_hook = [] {
  pthread_atfork(nullptr, nullptr, on_fork_child);
  return true;
}();

void wipe_state() {
  GOSTE_clear(&g_state.cipher);
  OPENSSL_cleanse(&g_state, sizeof(g_state));
}

// The key and buffer do not outlive the process's static objects.
struct WipeAtExit {
  ~WipeAtExit() { GRAND_method_cleanup(); }
} g_wipe_at_exit;

// Steps 3 and 4 of seeding: key, IV and buffer derived from `seed`.
bool key_from(const unsigned char* seed, int length) {
  SecretBuffer<32> key;
  SecretBuffer<8> iv;
  if (!GRAND_prf(32, key.bytes, seed, length) || !GRAND_prf(8, iv.bytes, seed, length)) return false;
  if (!GRAND_rand_init(key.bytes, iv.bytes, nullptr)) return false;
  if (!GRAND_prf(GRAND_BUFFER_BYTES, g_state.buffer, seed, length)) {
    wipe_state();
    return false;
  }
  return true;
}

// A forked child re-keys from its inherited buffer and fresh seed blocks
// (which carry the child's own clocks and kernel randomness).
bool rekey_after_fork() {
  SecretBuffer<GRAND_BUFFER_BYTES> old;
  std::memcpy(old.bytes, g_state.buffer, sizeof(old.bytes));
  wipe_state();
  return key_from(old.bytes, sizeof(old.bytes));
}

int grand_info(void*) { return 1; }

const RAND_METHOD kGrandMethod = {
    GRAND_gamma_rand_seed,
    GRAND_rand_bytes,
    GRAND_method_cleanup,
    GRAND_gamma_rand_init,
    nullptr,
    nullptr,
    grand_info,
    nullptr,
};

}  // namespace

const RAND_METHOD* GRAND_method() { return &kGrandMethod; }

int GRAND_prf(int out_length, unsigned char* out, const unsigned char* seed, int seed_length) {
  if (out == nullptr || seed == nullptr || out_length < 0 || seed_length < 0) {
    QERR(ERRLIB_RAND, RAND_F_GRAND_PRF, ERRLIB_RAND);
    return 0;
  }
  SecretBuffer<32> block;
  SecretBuffer<32> h;
  GOSTH_CTX ctx{};
  int done = 0;
  bool ok = true;
  while (ok && done < out_length) {
    const uint32_t tsc = static_cast<uint32_t>(platform::timestamp_counter());
    ok = GRAND_collect_seed(block.bytes, tsc) == 1 && GOSTH_init(&ctx, nullptr, nullptr) == 1 &&
         (seed_length == 0 || GOSTH_update(&ctx, seed, seed_length) == seed_length) &&
         GOSTH_update(&ctx, block.bytes, 32) == 32 && GOSTH_final(&ctx, h.bytes) == 32;
    if (ok) {
      const int n = std::min(32, out_length - done);
      std::memcpy(out + done, h.bytes, static_cast<std::size_t>(n));
      done += n;
    }
  }
  GOSTH_clear(&ctx);
  if (!ok) {
    OPENSSL_cleanse(out, static_cast<std::size_t>(out_length));
    QERR(ERRLIB_RAND, RAND_F_GRAND_PRF, ERRLIB_RAND);
    return 0;
  }
  return 1;
}

int GRAND_rand_init(const unsigned char* key, const unsigned char* iv, const unsigned char* sbox) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  wipe_state();
  if (key == nullptr || iv == nullptr || GOSTE_gamma_init(&g_state.cipher, key, iv, sbox) != 1) {
    wipe_state();
    QERR(ERRLIB_RAND, RAND_F_GRAND_RAND_INIT, ERRLIB_RAND);
    return 0;
  }
  g_state.flags |= kKeyed;
  g_forked.store(false);  // a key made in this process is this process's own
  return 1;
}

int GRAND_rand_bytes(unsigned char* out, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (!(g_state.flags & kKeyed) || out == nullptr || length < 1) return 0;
  if (g_forked.exchange(false) && !rekey_after_fork()) {
    QERR(ERRLIB_RAND, RAND_F_GRAND_RAND_BYTES, ERRLIB_RAND);
    return 0;
  }
  int done = 0;
  while (done < length) {
    if (g_state.available == 0) {
      if (GOSTE_gamma_update(&g_state.cipher, g_state.buffer, g_state.buffer, GRAND_BUFFER_BYTES) !=
          GRAND_BUFFER_BYTES) {
        OPENSSL_cleanse(out, static_cast<std::size_t>(done));
        QERR(ERRLIB_RAND, RAND_F_GRAND_RAND_BYTES, ERRLIB_RAND);
        return 0;
      }
      g_state.available = GRAND_BUFFER_BYTES;
      g_state.position = 0;
    }
    const int n = std::min(g_state.available, length - done);
    std::memcpy(out + done, g_state.buffer + g_state.position, static_cast<std::size_t>(n));
    g_state.position += n;
    g_state.available -= n;
    done += n;
  }
  return done;
}

int GRAND_gamma_rand_seed(unsigned char* seed, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.flags & kKeyed) return 1;
  const bool ok = seed != nullptr && length >= 0 && key_from(seed, length) &&
                  (length == 0 || GRAND_rand_bytes(seed, length) == length);
  if (!ok) {
    wipe_state();
    QERR(ERRLIB_RAND, RAND_F_GRAND_GAMMA_RAND_SEED, ERRLIB_RAND);
    return 0;
  }
  return 1;
}

int GRAND_gamma_rand_init(void* out32, void* args) {
  const auto* a = static_cast<const GRAND_INIT_ARGS*>(args);
  SecretBuffer<32> local;
  // The keys are collected before lock 17 is taken (unless the caller holds
  // it already): a person may take minutes, and the lock is for the mixing.
  bool ok = out32 != nullptr && a != nullptr && GRAND_keyboard_seed(local.data(), a->callback, a->user) == 1;
  if (ok) {
    CryptoLockGuard g(CRYPTO_LOCK_RAND);
    const bool was_keyed = (g_state.flags & kKeyed) != 0;
    ok = GRAND_gamma_rand_seed(local.data(), 32) == 1;
    // A generator that was keyed already ignores the seed; the caller still
    // gets output, never the raw keyboard seed.
    if (ok && was_keyed) ok = GRAND_rand_bytes(local.data(), 32) == 32;
  }
  if (!ok) {
    QERR(ERRLIB_RAND, RAND_F_GRAND_GAMMA_RAND_INIT, ERRLIB_RAND);
    return 0;
  }
  std::memcpy(out32, local.data(), 32);
  return 1;
}

int GRAND_method_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  wipe_state();
  return 1;
}

int GRAND_is_keyed() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  return (g_state.flags & kKeyed) ? 1 : 0;
}

}  // namespace qcrypto
