// Whole-block paths of the modes and the choice between the portable
// multi-block code and the AVX2 code.
#include <cpuid.h>
#include <openssl/crypto.h>

#include <atomic>

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

bool ct_round_selected() {
#ifdef QCRYPTO_TEST_HOOKS
  if (static_cast<RoundPath>(g_round_path.load(std::memory_order_relaxed)) == RoundPath::kTable) return false;
#endif
  return cpu_has_avx512vbmi();
}

namespace {

// Sized with room over the deepest kernel frames measured: about 4 KiB for
// the AVX2 code, under 512 bytes for the table code; the AVX-512 code spills
// its key vectors (512 bytes, more with the sanitizers' redzones).
constexpr size_t kScrubAvx512 = 4096;

void scrub_after(size_t vector_blocks, size_t blocks) {
  const bool ct_tail = vector_blocks < blocks && ct_round_selected();
  if (vector_blocks > 0) QCRYPTO_GOST_COUNT_KERNEL(Kernel::kAvx2);
  if (vector_blocks < blocks) QCRYPTO_GOST_COUNT_KERNEL(ct_tail ? Kernel::kAvx512 : Kernel::kTable);
  if (vector_blocks > 0) {
    scrub_stack<8192>();
  } else if (ct_tail) {
    scrub_stack<kScrubAvx512>();
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
  if (gost_detail::ct_round_selected()) {
    QCRYPTO_GOST_COUNT_KERNEL(gost_detail::Kernel::kAvx512);
    gost_detail::fbe_avx512(gost_detail::nibbles_of(ctx->table), ctx->key, ctx->N1, ctx->N2, in, out, blocks);
    gost_detail::scrub_stack<gost_detail::kScrubAvx512>();
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
  if (gost_detail::ct_round_selected()) {
    QCRYPTO_GOST_COUNT_KERNEL(gost_detail::Kernel::kAvx512);
    gost_detail::mac_avx512(gost_detail::nibbles_of(ctx->table), ctx->key, ctx->N1, ctx->N2, data, blocks);
    gost_detail::scrub_stack<gost_detail::kScrubAvx512>();
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
