// Whole-block paths of the modes and the choice between the portable
// multi-block code and the AVX2 code.
#include <cpuid.h>
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_round.h"
#include "crypto/rus/gost28147_scrub.h"

namespace qcrypto {
namespace gost_detail {
namespace {

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<int> g_path{static_cast<int>(Path::kAuto)};
std::atomic<int> g_round_path{static_cast<int>(RoundPath::kAuto)};
std::atomic<uint64_t> g_kernel_runs[static_cast<int>(Kernel::kCount)];
#endif

// XCR0: the state the operating system saves on a context switch.
uint64_t xgetbv0() {
  uint32_t lo = 0, hi = 0;
  asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return uint64_t{hi} << 32 | lo;
}

}  // namespace

#ifdef QCRYPTO_TEST_HOOKS
void set_path(Path path) { g_path.store(static_cast<int>(path), std::memory_order_relaxed); }

Path get_path() { return static_cast<Path>(g_path.load(std::memory_order_relaxed)); }

void set_round_path(RoundPath path) { g_round_path.store(static_cast<int>(path), std::memory_order_relaxed); }

uint64_t kernel_runs(Kernel k) { return g_kernel_runs[static_cast<int>(k)].load(std::memory_order_relaxed); }

void count_kernel(Kernel k) { g_kernel_runs[static_cast<int>(k)].fetch_add(1, std::memory_order_relaxed); }
#endif

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    // The vector code is compiled with BMI2 as well, and the compiler uses it
    // (rorx, shrx): a processor or virtual machine that offers AVX2 without it
    // would stop on an illegal instruction.
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0;
  }();
  return has;
}

bool cpu_has_avx512vbmi() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0) return false;
    // SSE, AVX, opmask, upper halves of ZMM0-15 and ZMM16-31 all enabled.
    if ((xgetbv0() & 0xe6) != 0xe6) return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    return (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 && (b & bit_AVX512VL) != 0 && (c & bit_AVX512VBMI) != 0;
  }();
  return has;
}

bool avx2_selected() {
#ifdef QCRYPTO_TEST_HOOKS
  if (get_path() == Path::kPortable) return false;
#endif
  return cpu_has_avx2();
}

namespace {

// Nanoseconds for a short serial run of the round (feedback encryption of a
// few blocks), the best of several tries so that an interruption does not
// decide. Timing a constant-time round tells nothing about a key: the run
// uses a fixed key, table and buffer.
int64_t serial_run_ns(const CtRound& round) {
  alignas(64) static const unsigned char kNibbles[kNibbleBytes] = {};
  static const uint32_t kKey[8] = {};
  constexpr size_t kBlocks = 16;
  unsigned char buf[8 * kBlocks] = {};
  int64_t best = INT64_MAX;
  for (int attempt = 0; attempt < 7; ++attempt) {
    uint32_t n1 = 0, n2 = 0;
    const auto start = std::chrono::steady_clock::now();
    round.fbe(kNibbles, kKey, n1, n2, buf, buf, kBlocks);
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    if (ns < best) best = ns;
  }
  return best;
}

// Every constant-time round the processor runs; where there are several,
// the one that ran the serial loop fastest here (which one wins differs
// between processor generations, with the latency of the byte permute and of
// the simple vector operations).
const CtRound* choose_ct_round() {
  // Every round is compiled with AVX2 and BMI2 as well.
  if (!cpu_has_avx2()) return nullptr;
  if (!cpu_has_avx512vbmi()) return &kShuffleRound;
  const CtRound* const candidates[] = {&kAvx512Round, &kAvx512NarrowRound, &kShuffleRound512};
  // One untimed run each first, so that none pays for the first touch of its
  // code or for the vector unit waking up.
  for (const CtRound* c : candidates) (void)serial_run_ns(*c);
  const CtRound* best = nullptr;
  int64_t best_ns = INT64_MAX;
  for (const CtRound* c : candidates) {
    const int64_t ns = serial_run_ns(*c);
    if (ns < best_ns) {
      best_ns = ns;
      best = c;
    }
  }
  return best;
}

const CtRound* auto_ct_round() {
  static std::once_flag once;
  static const CtRound* chosen = nullptr;
  std::call_once(once, [] { chosen = choose_ct_round(); });
  return chosen;
}

}  // namespace

const CtRound* ct_round() {
#ifdef QCRYPTO_TEST_HOOKS
  switch (static_cast<RoundPath>(g_round_path.load(std::memory_order_relaxed))) {
    case RoundPath::kTable:
      return nullptr;
    case RoundPath::kAvx512:
      return cpu_has_avx512vbmi() && cpu_has_avx2() ? &kAvx512Round : nullptr;
    case RoundPath::kAvx512Narrow:
      return cpu_has_avx512vbmi() && cpu_has_avx2() ? &kAvx512NarrowRound : nullptr;
    case RoundPath::kShuffle:
      if (cpu_has_avx512vbmi() && cpu_has_avx2()) return &kShuffleRound512;
      return cpu_has_avx2() ? &kShuffleRound : nullptr;
    case RoundPath::kShuffleAvx2:
      return cpu_has_avx2() ? &kShuffleRound : nullptr;
    case RoundPath::kAuto:
      break;
  }
#endif
  return auto_ct_round();
}

bool ct_round_selected() { return ct_round() != nullptr; }

namespace {

// Sized with room over the deepest kernel frames measured: about 4 KiB for
// the AVX2 code, under 512 bytes for the table code; the constant-time rounds
// spill their key vectors and tables (up to 512 bytes each, more with the
// sanitizers' redzones).
constexpr size_t kScrubCtRound = 4096;

void scrub_after(size_t vector_blocks, size_t blocks) {
  const CtRound* ct = vector_blocks < blocks ? ct_round() : nullptr;
  if (vector_blocks > 0) QCRYPTO_GOST_COUNT_KERNEL(Kernel::kAvx2);
  if (vector_blocks < blocks) QCRYPTO_GOST_COUNT_KERNEL(ct != nullptr ? ct->kernel : Kernel::kTable);
  if (vector_blocks > 0) {
    scrub_stack<8192>();
  } else if (ct != nullptr) {
    scrub_stack<kScrubCtRound>();
  } else {
    scrub_stack<1024>();
  }
}

}  // namespace
}  // namespace gost_detail

using gost_detail::load_le32;
using gost_detail::store_le32;

void rus_ecb_blocks(const GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks, int encrypt) {
  size_t done = 0;
  if (gost_detail::avx2_selected()) done = gost_detail::ecb_avx2(ctx->table, ctx->key, in, out, blocks, encrypt != 0);
  if (done < blocks) {
    gost_detail::ecb_portable(ctx->table, ctx->key, in + 8 * done, out + 8 * done, blocks - done, encrypt != 0);
  }
  gost_detail::scrub_after(done, blocks);
}

void rus_gamma_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks) {
  uint32_t n3 = ctx->N3, n4 = ctx->N4;
  size_t done = 0;
  if (gost_detail::avx2_selected()) done = gost_detail::gamma_avx2(ctx->table, ctx->key, n3, n4, in, out, blocks);
  if (done < blocks) {
    gost_detail::gamma_portable(ctx->table, ctx->key, n3, n4, in + 8 * done, out + 8 * done, blocks - done);
  }
  ctx->N3 = n3;
  ctx->N4 = n4;
  gost_detail::scrub_after(done, blocks);
}

void rus_gamma_fbd_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks) {
  uint32_t n1 = ctx->N1, n2 = ctx->N2;
  size_t done = 0;
  if (gost_detail::avx2_selected()) done = gost_detail::fbd_avx2(ctx->table, ctx->key, n1, n2, in, out, blocks);
  if (done < blocks) {
    gost_detail::fbd_portable(ctx->table, ctx->key, n1, n2, in + 8 * done, out + 8 * done, blocks - done);
  }
  ctx->N1 = n1;
  ctx->N2 = n2;
  gost_detail::scrub_after(done, blocks);
}

// Each block's gamma is the encryption of the previous cipher block, so this
// path is serial; it keeps the key in locals so the rounds run from registers.
void rus_gamma_fbe_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks) {
  if (const gost_detail::CtRound* ct = gost_detail::ct_round()) {
    QCRYPTO_GOST_COUNT_KERNEL(ct->kernel);
    ct->fbe(gost_detail::nibbles_of(ctx->table), ctx->key, ctx->N1, ctx->N2, in, out, blocks);
    gost_detail::scrub_stack<gost_detail::kScrubCtRound>();
    return;
  }
  QCRYPTO_GOST_COUNT_KERNEL(gost_detail::Kernel::kTable);
  const uint32_t* t = ctx->table;
  uint32_t k[8];
  for (int i = 0; i < 8; ++i) k[i] = ctx->key[i];
  uint32_t n1 = ctx->N1, n2 = ctx->N2;
  for (size_t i = 0; i < blocks; ++i, in += 8, out += 8) {
    gost_detail::gost_encrypt(t, k, n1, n2);
    n1 ^= load_le32(in);
    n2 ^= load_le32(in + 4);
    store_le32(out, n1);
    store_le32(out + 4, n2);
  }
  ctx->N1 = n1;
  ctx->N2 = n2;
  OPENSSL_cleanse(k, sizeof(k));
}

void rus_mac_blocks(GOSTE_CTX* ctx, const unsigned char* data, size_t blocks) {
  if (const gost_detail::CtRound* ct = gost_detail::ct_round()) {
    QCRYPTO_GOST_COUNT_KERNEL(ct->kernel);
    ct->mac(gost_detail::nibbles_of(ctx->table), ctx->key, ctx->N1, ctx->N2, data, blocks);
    gost_detail::scrub_stack<gost_detail::kScrubCtRound>();
  } else {
    QCRYPTO_GOST_COUNT_KERNEL(gost_detail::Kernel::kTable);
    const uint32_t* t = ctx->table;
    uint32_t k[8];
    for (int i = 0; i < 8; ++i) k[i] = ctx->key[i];
    uint32_t n1 = ctx->N1, n2 = ctx->N2;
    for (size_t i = 0; i < blocks; ++i, data += 8) {
      n1 ^= load_le32(data);
      n2 ^= load_le32(data + 4);
      gost_detail::gost_mac16(t, k, n1, n2);
    }
    ctx->N1 = n1;
    ctx->N2 = n2;
    OPENSSL_cleanse(k, sizeof(k));
  }
  const size_t counted = static_cast<size_t>(ctx->mac_blocks) + blocks;
  ctx->mac_blocks = counted >= 2 ? 2 : static_cast<int32_t>(counted);
}

}  // namespace qcrypto
