// Seed blocks, the counting thread and keyboard seeding.
#include <errno.h>
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/grand.h"
#include "crypto/rus/gost3411.h"
#include "platform/os_random.h"
#include "platform/stoppable_thread.h"
#include "platform/time_record.h"

namespace qcrypto {
namespace {

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::atomic<uint32_t> g_collections{0};
// Incremented by the counting thread, read and reset by every collection.
std::atomic<uint32_t> g_jitter{0};
#ifdef QCRYPTO_TEST_HOOKS
std::atomic<GRAND_SEED_SOURCE> g_source{nullptr};
std::atomic<int> g_pause_limit{500};
int pause_limit() { return g_pause_limit.load(); }
#else
constexpr int pause_limit() { return 500; }
#endif

// Guards the counting thread's start and stop.
std::mutex& jitter_lock() {
  static std::mutex m;
  return m;
}
platform::StoppableThread& jitter_thread() {
  static platform::StoppableThread t;
  return t;
}

void put32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct HashCtx {
  GOSTH_CTX ctx{};
  ~HashCtx() { GOSTH_clear(&ctx); }
};

}  // namespace

#ifdef QCRYPTO_TEST_HOOKS
void GRAND_set_seed_source(GRAND_SEED_SOURCE source) { g_source.store(source); }
void GRAND_set_keyboard_pause_limit(int milliseconds) { g_pause_limit.store(milliseconds < 1 ? 1 : milliseconds); }
#endif

int GRAND_collect_seed(unsigned char* out32, uint32_t caller_value) {
  if (out32 == nullptr) return 0;
  SecretBuffer<32> block;
  SecretBuffer<32> os;
  put32(block.bytes, platform::calendar_seconds());
  const auto record = platform::pack_time_record(platform::current_time_record());
  std::memcpy(block.bytes + 4, record.data(), record.size());  // bytes 14-15 stay 0
  put32(block.bytes + 16, platform::processor_time());
  put32(block.bytes + 20, g_collections.fetch_add(1) + 1);
  put32(block.bytes + 24, caller_value);
  put32(block.bytes + 28, g_jitter.exchange(0));
  // The kernel's generator joins the clocks: the block stays unpredictable
  // even where the clocks are coarse or observed.
  // Without it the seed would rest on the clocks alone: refuse.
  if (!platform::os_random_bytes(os.bytes, sizeof(os.bytes))) {
    QERR(ERRLIB_SYS, 0, errno);
    OPENSSL_cleanse(out32, 32);
    return 0;
  }
#ifdef QCRYPTO_TEST_HOOKS
  if (GRAND_SEED_SOURCE source = g_source.load(); source != nullptr) source(block.bytes, os.bytes);
#endif
  HashCtx h;
  if (GOSTH_init(&h.ctx, nullptr, nullptr) != 1 || GOSTH_update(&h.ctx, block.bytes, 32) != 32 ||
      GOSTH_update(&h.ctx, os.bytes, 32) != 32 || GOSTH_final(&h.ctx, out32) != 32) {
    OPENSSL_cleanse(out32, 32);
    return 0;
  }
  return 1;
}

void rand_jitter_start() {
  std::lock_guard<std::mutex> g(jitter_lock());
  if (jitter_thread().running()) return;
  jitter_thread().start(
      [](const std::atomic<bool>& stop) {
        g_jitter.store(0);
        while (!stop.load(std::memory_order_relaxed)) g_jitter.fetch_add(1, std::memory_order_relaxed);
      },
      1024);
}

void rand_jitter_stop() {
  std::lock_guard<std::mutex> g(jitter_lock());
  jitter_thread().stop();
}

bool rand_jitter_running() {
  std::lock_guard<std::mutex> g(jitter_lock());
  return jitter_thread().running();
}

int GRAND_keyboard_seed(unsigned char* out32, RAND_KEY_CALLBACK callback, void* user) {
  if (out32 == nullptr || callback == nullptr) return 0;
  struct JitterStopper {
    ~JitterStopper() { rand_jitter_stop(); }
  } stop_on_exit;
  // A seeding that does not finish leaves nothing of its partial seed.
  struct WipeUnlessDone {
    unsigned char* out;
    bool done = false;
    ~WipeUnlessDone() {
      if (!done) OPENSSL_cleanse(out, 32);
    }
  } wipe{out32};
  int count = 0;
  int last = 0;
  SecretBuffer<32> block;
  while (count < GRAND_KEYBOARD_KEYS) {
    if (!GRAND_collect_seed(block.bytes, 0)) return 0;
    // Only the choice of characters and pauses comes from this generator.
    std::minstd_rand chooser(static_cast<uint32_t>(block.bytes[0]) | (static_cast<uint32_t>(block.bytes[1]) << 8) |
                             (static_cast<uint32_t>(block.bytes[2]) << 16) |
                             (static_cast<uint32_t>(block.bytes[3]) << 24));
    rand_jitter_start();
    int c;
    do {
      c = static_cast<int>(chooser() & 255);
    } while (c == 0 || c == last || kAlphabet.find(static_cast<char>(c)) == std::string_view::npos);
    last = c;
    const int pause = static_cast<int>(chooser() % static_cast<uint32_t>(pause_limit()));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    OPENSSL_cleanse(&chooser, sizeof(chooser));
    const int r = callback(c, count + 1, GRAND_KEYBOARD_KEYS, user);
    // Below 1 is a cancel. Any other key that is not the one asked for (a
    // letter of another alphabet answers with its code above 255) is a
    // wrong key and takes a step back.
    if (r < 1) return 0;
    if (r == c) {
      rand_jitter_stop();
      const uint32_t tsc = static_cast<uint32_t>(platform::timestamp_counter());
      if (!GRAND_collect_seed(block.bytes, tsc)) return 0;
      for (int i = 0; i < 32; ++i) out32[i] ^= block.bytes[i];
      ++count;
    } else if (count > 0) {
      --count;
    }
  }
  wipe.done = true;
  return 1;
}

}  // namespace qcrypto
