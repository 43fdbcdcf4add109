// The software GOST generator: seed blocks, derivation, keying, output.
#include <errno.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cclib/locks.h"
#include "crypto/rand/grand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "platform/os_random.h"
#include "tests/crypto/rand/rand_test_support.h"

namespace qcrypto {
namespace {

using testing_support::drain_errors;
using testing_support::ErrCode;
using testing_support::RandTest;
using Bytes = std::vector<unsigned char>;

// What the hook saw last, and what it forces.
struct Capture {
  Bytes block, os;
  int calls = 0;
};
Capture g_capture;

void capture_source(unsigned char* block, unsigned char* os) {
  g_capture.block.assign(block, block + 32);
  g_capture.os.assign(os, os + 32);
  ++g_capture.calls;
}

// Every time-dependent input replaced by constants.
void fixed_source(unsigned char* block, unsigned char* os) {
  for (int i = 0; i < 32; ++i) {
    block[i] = static_cast<unsigned char>(i);
    os[i] = static_cast<unsigned char>(0xA0 + i);
  }
}

Bytes gosth(const Bytes& data) {
  Bytes out(32);
  EXPECT_NE(GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, out.data()), nullptr);
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

uint32_t get32(const Bytes& b, int at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The seed block every collection makes under fixed_source.
Bytes fixed_seed_block() {
  Bytes raw(64);
  fixed_source(raw.data(), raw.data() + 32);
  return gosth(raw);
}

using GrandTest = RandTest;

TEST_F(GrandTest, SeedBlockLayout) {
  GRAND_set_seed_source(capture_source);
  unsigned char out[32];
  const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  ASSERT_EQ(GRAND_collect_seed(out, 0xDEADBEEF), 1);
  const Bytes first = g_capture.block;
  const Bytes first_os = g_capture.os;
  ASSERT_EQ(GRAND_collect_seed(out, 7), 1);
  const Bytes& second = g_capture.block;

  EXPECT_GE(get32(first, 0), before);  // calendar seconds
  EXPECT_LE(get32(first, 0), before + 5);
  EXPECT_LE(get32(first, 4) - get32(first, 0), 1u);  // the time record starts with the same seconds
  EXPECT_LT(first[8] | (first[9] << 8), 1000);       // milliseconds
  EXPECT_LE(first[12] | (first[13] << 8), 1);        // daylight flag
  EXPECT_EQ(first[14], 0);
  EXPECT_EQ(first[15], 0);
  EXPECT_EQ(get32(second, 20), get32(first, 20) + 1);  // the call counter
  EXPECT_EQ(get32(first, 24), 0xDEADBEEFu);            // the caller's value
  EXPECT_EQ(get32(second, 24), 7u);
  EXPECT_EQ(get32(second, 28), 0u);   // no counting thread: the count stays reset
  EXPECT_NE(first_os, Bytes(32, 0));  // the kernel's bytes are there
  EXPECT_NE(first_os, g_capture.os);  // and fresh every time
  // The result is the hash of both halves exactly as the hook left them.
  EXPECT_EQ(Bytes(out, out + 32), gosth(cat(second, g_capture.os)));
}

TEST_F(GrandTest, CountingThreadFeedsTheSeedBlockAndIsResetByIt) {
  GRAND_set_seed_source(capture_source);
  unsigned char out[32];
  rand_jitter_start();
  rand_jitter_start();  // started once only
  EXPECT_TRUE(rand_jitter_running());
  uint32_t seen = 0;
  for (int i = 0; i < 10000 && seen == 0; ++i) {
    std::this_thread::yield();
    ASSERT_EQ(GRAND_collect_seed(out, 0), 1);
    seen = get32(g_capture.block, 28);
  }
  EXPECT_GT(seen, 0u);
  rand_jitter_stop();
  EXPECT_FALSE(rand_jitter_running());
  ASSERT_EQ(GRAND_collect_seed(out, 0), 1);  // whatever was counted up to the stop, then reset
  ASSERT_EQ(GRAND_collect_seed(out, 0), 1);
  EXPECT_EQ(get32(g_capture.block, 28), 0u);
}

TEST_F(GrandTest, PrfIsHashOfSeedAndSeedBlock) {
  GRAND_set_seed_source(fixed_source);
  const Bytes seed = {'s', 'e', 'e', 'd', 1, 2, 3};
  const Bytes h = gosth(cat(seed, fixed_seed_block()));
  for (int n : {1, 8, 32, 33, 70}) {
    Bytes out(static_cast<std::size_t>(n));
    ASSERT_EQ(GRAND_prf(n, out.data(), seed.data(), static_cast<int>(seed.size())), 1);
    for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], h[i % 32]) << n << " " << i;
  }
  unsigned char one;
  EXPECT_EQ(GRAND_prf(0, &one, seed.data(), 7), 1);
  EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
  EXPECT_EQ(GRAND_prf(8, nullptr, seed.data(), 7), 0);
  EXPECT_EQ(GRAND_prf(8, &one, nullptr, 7), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 109, 69}, {69, 109, 69}}));
}

TEST_F(GrandTest, PrfRoundsDifferWithRealSources) {
  const Bytes seed(32, 0x11);
  Bytes out(64);
  ASSERT_EQ(GRAND_prf(64, out.data(), seed.data(), 32), 1);
  EXPECT_NE(Bytes(out.begin(), out.begin() + 32), Bytes(out.begin() + 32, out.end()));
}

// The whole generator under fixed sources: key, IV and buffer from the PRF,
// output = buffer XOR gamma, refills chain on the previous buffer.
TEST_F(GrandTest, ReproducibleFromAFixedSeedAndEqualToTheConstruction) {
  GRAND_set_seed_source(fixed_source);
  const Bytes seed_in(32, 0x5C);
  const Bytes h = gosth(cat(seed_in, fixed_seed_block()));
  Bytes buffer(256);
  for (int i = 0; i < 256; ++i) buffer[i] = h[i % 32];
  GOSTE_CTX ctx{};
  ASSERT_EQ(GOSTE_gamma_init(&ctx, h.data(), h.data(), nullptr), 1);  // key = h, IV = first 8 bytes of h
  Bytes expected;
  for (int block = 0; block < 3; ++block) {
    ASSERT_EQ(GOSTE_gamma_update(&ctx, buffer.data(), buffer.data(), 256), 256);
    expected.insert(expected.end(), buffer.begin(), buffer.end());
  }
  GOSTE_clear(&ctx);

  for (int run = 0; run < 2; ++run) {
    RAND_set_rand_method(GRAND_method());
    Bytes seed = seed_in;
    ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
    EXPECT_EQ(seed, Bytes(expected.begin(), expected.begin() + 32));  // the seed became output
    Bytes rest(3 * 256 - 32);
    ASSERT_EQ(RAND_bytes(rest.data(), static_cast<int>(rest.size())), static_cast<int>(rest.size()));
    EXPECT_EQ(rest, Bytes(expected.begin() + 32, expected.end())) << "run " << run;
    EXPECT_EQ(RAND_cleanup(), 1);
    EXPECT_EQ(GRAND_is_keyed(), 0);
  }
  // Another seed, another stream.
  RAND_set_rand_method(GRAND_method());
  Bytes other(32, 0x5D);
  ASSERT_EQ(RAND_seed(other.data(), 32), 1);
  EXPECT_NE(other, Bytes(expected.begin(), expected.begin() + 32));
}

TEST_F(GrandTest, SplitDrawsEqualOneDraw) {
  GRAND_set_seed_source(fixed_source);
  const unsigned char key[32] = {1, 2, 3};
  const unsigned char iv[8] = {9, 8, 7};
  struct Split {
    std::vector<int> parts;
  };
  const Split splits[] = {{{300}}, {{100, 200}}, {{1, 255, 1, 43}}, {{256, 44}}, {{299, 1}}};
  Bytes reference;
  for (const auto& s : splits) {
    ASSERT_EQ(GRAND_rand_init(key, iv, nullptr), 1);
    Bytes got;
    for (int n : s.parts) {
      Bytes part(static_cast<std::size_t>(n));
      ASSERT_EQ(GRAND_rand_bytes(part.data(), n), n);
      got.insert(got.end(), part.begin(), part.end());
    }
    if (reference.empty()) reference = got;
    EXPECT_EQ(got, reference);
  }
  // A zeroed buffer: the first 256 bytes are the bare gamma, the next are
  // the previous buffer XOR the next gamma.
  GOSTE_CTX ctx{};
  Bytes g(512, 0);
  ASSERT_EQ(GOSTE_gamma_init(&ctx, key, iv, nullptr), 1);
  ASSERT_EQ(GOSTE_gamma_update(&ctx, g.data(), g.data(), 512), 512);
  GOSTE_clear(&ctx);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(reference[i], g[i]);
  for (int i = 256; i < 300; ++i) EXPECT_EQ(reference[i], g[i - 256] ^ g[i]);
}

TEST_F(GrandTest, KeyedGeneratorIsNeverReseeded) {
  GRAND_set_seed_source(fixed_source);
  RAND_set_rand_method(GRAND_method());
  Bytes seed(32, 1);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  Bytes reference(80);
  ASSERT_EQ(RAND_bytes(reference.data(), 80), 80);
  ASSERT_EQ(RAND_cleanup(), 1);

  RAND_set_rand_method(GRAND_method());
  seed.assign(32, 1);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  Bytes got(80);
  ASSERT_EQ(RAND_bytes(got.data(), 40), 40);
  Bytes other(32, 2);
  EXPECT_EQ(RAND_seed(other.data(), 32), 1);
  EXPECT_EQ(other, Bytes(32, 2));  // the seed buffer is not touched either
  ASSERT_EQ(RAND_bytes(got.data() + 40, 40), 40);
  EXPECT_EQ(got, reference);
}

TEST_F(GrandTest, UnkeyedAndBadArguments) {
  unsigned char buf[8];
  EXPECT_EQ(GRAND_rand_bytes(buf, 8), 0);
  const unsigned char key[32] = {};
  const unsigned char iv[8] = {};
  ASSERT_EQ(GRAND_rand_init(key, iv, nullptr), 1);
  EXPECT_EQ(GRAND_rand_bytes(buf, 0), 0);
  EXPECT_EQ(GRAND_rand_bytes(nullptr, 8), 0);
  EXPECT_EQ(GRAND_rand_bytes(buf, -1), 0);
  EXPECT_EQ(GRAND_method_cleanup(), 1);
  EXPECT_EQ(GRAND_rand_bytes(buf, 8), 0);
  EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
  EXPECT_EQ(GRAND_rand_init(nullptr, iv, nullptr), 0);
  EXPECT_EQ(GRAND_is_keyed(), 0);
  EXPECT_EQ(GRAND_gamma_rand_seed(nullptr, 32), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 107, 69}, {69, 110, 69}}));
  EXPECT_EQ(GRAND_gamma_rand_init(buf, nullptr), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 111, 69}}));
}

TEST_F(GrandTest, RecordSlots) {
  const RAND_METHOD* m = GRAND_method();
  EXPECT_EQ(rand_device_table()[0], m);
  EXPECT_NE(m->seed, nullptr);
  EXPECT_NE(m->bytes, nullptr);
  EXPECT_NE(m->cleanup, nullptr);
  EXPECT_NE(m->init, nullptr);
  EXPECT_EQ(m->reserved5, nullptr);
  EXPECT_EQ(m->reserved6, nullptr);
  EXPECT_EQ(m->placeholder, nullptr);
  RAND_set_rand_method(m);
  EXPECT_EQ(RAND_info(nullptr), 1);
  EXPECT_EQ(RAND_is_placeholder(), 0);
}

// 1 MB of output: byte frequencies, bit runs and no repeated 256-byte block.
// A stuck, biased or short-period generator fails by a wide margin; a sound
// one fails with a probability far below 1e-9.
TEST_F(GrandTest, OutputIsStatisticallySane) {
  RAND_set_rand_method(GRAND_method());
  Bytes seed(32, 0x42);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  constexpr int kSize = 1 << 20;
  Bytes data(kSize);
  for (int at = 0; at < kSize; at += 4096) ASSERT_EQ(RAND_bytes(data.data() + at, 4096), 4096);

  std::array<double, 256> counts{};
  for (unsigned char b : data) counts[b] += 1;
  const double expected = kSize / 256.0;
  double chi2 = 0;
  for (double c : counts) chi2 += (c - expected) * (c - expected) / expected;
  EXPECT_LT(chi2, 400.0);  // 255 degrees of freedom: mean 255, sd 22.6
  EXPECT_GT(chi2, 140.0);  // too even is as suspicious as too uneven

  long runs = 1;
  int prev = data[0] & 1;
  for (int i = 0; i < kSize; ++i) {
    for (int bit = (i == 0 ? 1 : 0); bit < 8; ++bit) {
      const int cur = (data[i] >> bit) & 1;
      if (cur != prev) ++runs;
      prev = cur;
    }
  }
  const double n = 8.0 * kSize;
  EXPECT_NEAR(static_cast<double>(runs), n / 2, 6 * std::sqrt(n) / 2);

  std::set<std::string> blocks;
  for (int at = 0; at < kSize; at += 256) blocks.emplace(reinterpret_cast<const char*>(data.data() + at), 256);
  EXPECT_EQ(blocks.size(), static_cast<std::size_t>(kSize / 256));
}

// A forked child has its own stream, never a replay of the parent's.
TEST_F(GrandTest, ForkedChildDoesNotRepeatParent) {
  RAND_set_rand_method(GRAND_method());
  Bytes seed(32, 0x77);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    unsigned char child[64];
    const int n = RAND_bytes(child, 64);
    const bool ok = n == 64 && write(fds[1], child, 64) == 64;
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  unsigned char parent[64];
  ASSERT_EQ(RAND_bytes(parent, 64), 64);
  unsigned char child[64] = {};
  ssize_t got = 0;
  while (got < 64) {
    const ssize_t r = read(fds[0], child + got, static_cast<std::size_t>(64 - got));
    if (r <= 0) break;
    got += r;
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, 64);
  EXPECT_NE(Bytes(parent, parent + 64), Bytes(child, child + 64));
}

// The operating system's randomness is one leg of every seed block: without
// it the clocks alone would key the generator, so seeding must fail instead.
class GrandOsFailureTest : public RandTest {
 protected:
  void TearDown() override {
    platform::os_random_set_failure(0, false);
    RandTest::TearDown();
  }
};

TEST_F(GrandOsFailureTest, NoOsRandomnessFailsSeedingAndDrawing) {
  platform::os_random_set_failure(EIO, true);
  unsigned char block[32];
  std::memset(block, 0x5A, sizeof(block));
  EXPECT_EQ(GRAND_collect_seed(block, 0), 0);
  EXPECT_EQ(Bytes(block, block + 32), Bytes(32, 0));  // no half-made block left behind
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{ERRLIB_SYS, 0, ENOENT}}));

  RAND_set_rand_method(GRAND_method());
  Bytes seed(32, 0x42);
  EXPECT_EQ(RAND_seed(seed.data(), 32), 0);
  EXPECT_EQ(GRAND_is_keyed(), 0);
  const auto errors = drain_errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front().lib, ERRLIB_SYS);
  EXPECT_EQ(errors.back(), (ErrCode{69, 110, 69}));
  unsigned char out[16];
  EXPECT_EQ(RAND_bytes(out, 16), 0);

  // With a key-press callback the keyboard seeding fails as well: no key is
  // asked for a seed that could not be made.
  testing_support::KeyScript script;
  Bytes state(32, 0);
  EXPECT_EQ(GRAND_install_seeded(state.data(), 0, testing_support::KeyScript::callback, &script), 0);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
}

TEST_F(GrandOsFailureTest, FallbackDeviceServesWhenTheCallIsMissing) {
  for (const int e : {ENOSYS, EPERM}) {
    platform::os_random_set_failure(e, false);
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(platform::os_random_bytes(a, sizeof(a))) << e;
    ASSERT_TRUE(platform::os_random_bytes(b, sizeof(b))) << e;
    EXPECT_NE(Bytes(a, a + 32), Bytes(b, b + 32));
    unsigned char block[32];
    EXPECT_EQ(GRAND_collect_seed(block, 0), 1);
  }
  platform::os_random_set_failure(ENOSYS, true);
  unsigned char c[8];
  EXPECT_FALSE(platform::os_random_bytes(c, sizeof(c)));
  EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
}

// fork() while another thread holds numbered locks: the fork waits for them,
// and the child, which has only the forking thread, can draw random bytes
// and take the locks. (Without the fork handlers the child would inherit the
// locks held by a thread it does not have and hang; the alarm turns a hang
// into a failure.)
TEST_F(GrandTest, ForkWhileAnotherThreadHoldsNumberedLocks) {
  RAND_set_rand_method(GRAND_method());
  Bytes seed(32, 0x31);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  std::atomic<bool> holding{false};
  std::atomic<bool> released{false};
  std::thread holder([&] {
    CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, CRYPTO_LOCK_RAND, __FILE__, __LINE__);
    CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, CRYPTO_LOCK_PSE, __FILE__, __LINE__);
    holding = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    released = true;
    CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, CRYPTO_LOCK_PSE, nullptr, 0);
    CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, CRYPTO_LOCK_RAND, nullptr, 0);
  });
  while (!holding) std::this_thread::yield();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);
    unsigned char buf[64];
    bool ok = RAND_bytes(buf, sizeof(buf)) == static_cast<int>(sizeof(buf));
    ok = ok && CRYPTO_try_lock(CRYPTO_LOCK_PSE) == 1;
    if (ok) CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, CRYPTO_LOCK_PSE, nullptr, 0);
    {
      CryptoLockGuard g(CRYPTO_LOCK_RAND);
      ok = ok && CRYPTO_lock_held(CRYPTO_LOCK_RAND) == 1;
    }
    // Straight out, past the sanitizers' exit-time checks: the holder thread
    // they would report as leaked lives only in the parent.
    syscall(SYS_exit_group, ok ? 0 : 1);
  }
  // The fork waited until the other thread let go.
  EXPECT_TRUE(released.load());
  holder.join();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  // The parent's locks work as before.
  EXPECT_EQ(CRYPTO_try_lock(CRYPTO_LOCK_RAND), 1);
  CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, CRYPTO_LOCK_RAND, nullptr, 0);
  unsigned char more[16];
  EXPECT_EQ(RAND_bytes(more, 16), 16);
}

}  // namespace
}  // namespace qcrypto
