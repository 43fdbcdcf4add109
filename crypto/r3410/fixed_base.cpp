#include "crypto/r3410/fixed_base.h"

#include <openssl/crypto.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ct.h"

namespace qcrypto {
namespace {

static_assert(std::endian::native == std::endian::little, "table words are little-endian byte images");

// All ones when a == b, else 0, without a branch on the values.
inline std::uint64_t MaskEq(std::uint64_t a, std::uint64_t b) {
  std::uint64_t x = a ^ b;
  std::uint64_t m = ((x | (0 - x)) >> 63) - 1;  // x == 0 -> all ones
  __asm__("" : "+r"(m));                        // keep the compiler from making it a branch
  return m;
}

}  // namespace

std::unique_ptr<FixedBaseTable> FixedBaseTable::Build(const BIGNUM* g, const BIGNUM* p, BN_MONT_CTX* mont,
                                                      int exponent_bits, BN_CTX* ctx) {
  if (exponent_bits <= 0 || BN_is_zero(p)) return nullptr;
  const int limbs = (BN_num_bytes(p) + 7) / 8;
  const int windows = (exponent_bits + kWindowBits - 1) / kWindowBits;
  std::unique_ptr<FixedBaseTable> t(new FixedBaseTable(limbs, windows));
  // p and -p^-1 mod 2^64 (Newton's iteration; each step doubles the correct
  // low bits) for the fixed-width products.
  if (!BN_is_odd(p) || BN_bn2lebinpad(p, reinterpret_cast<unsigned char*>(t->p_.data()), limbs * 8) != limbs * 8) {
    return nullptr;
  }
  std::uint64_t inv = t->p_[0];
  for (int i = 0; i < 5; ++i) inv *= 2 - t->p_[0] * inv;
  t->n0_ = 0 - inv;
  BnCtxFrame frame(ctx);
  BIGNUM* base = frame.get();  // g^(16^i), Montgomery form
  BIGNUM* cur = frame.get();
  BIGNUM* one = frame.get();
  if (one == nullptr) return nullptr;
  if (!BN_nnmod(base, g, p, ctx) || !BN_to_montgomery(base, base, mont, ctx) ||
      !BN_to_montgomery(one, BN_value_one(), mont, ctx)) {
    return nullptr;
  }
  const int bytes = limbs * 8;
  for (int i = 0; i < windows; ++i) {
    if (!BN_copy(cur, one)) return nullptr;
    for (int j = 0; j < kEntries; ++j) {
      auto* dst = reinterpret_cast<unsigned char*>(
          t->table_.data() + (static_cast<size_t>(i) * kEntries + static_cast<size_t>(j)) * limbs);
      if (BN_bn2lebinpad(cur, dst, bytes) != bytes) return nullptr;
      if (j + 1 < kEntries && !BN_mod_mul_montgomery(cur, cur, base, mont, ctx)) return nullptr;
    }
    // cur = base^15: one more product gives base^16, the next window's base.
    if (!BN_mod_mul_montgomery(base, cur, base, mont, ctx)) return nullptr;
  }
  return t;
}

namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// r = t - p when that is not negative, else t, for t < 2p held in n words
// plus the top word t[n] (0 or 1); d has n words of scratch. Masked: no
// branch on the numbers.
inline void SubtractOnce(u64* r, const u64* t, const u64* p, u64* d, int n) {
  u64 borrow = 0;
  for (int j = 0; j < n; ++j) {
    const u128 x = static_cast<u128>(t[j]) - p[j] - borrow;
    d[j] = static_cast<u64>(x);
    borrow = static_cast<u64>(x >> 64) & 1;
  }
  // t < p exactly when the top word is 0 and the low words borrowed.
  const u64 keep_t = 0 - (borrow & (~t[n] & 1));
  for (int j = 0; j < n; ++j) r[j] = (t[j] & keep_t) | (d[j] & ~keep_t);
}

// r = a * b / 2^(64 n) mod p for a, b < p (coarsely integrated operand
// scanning), then one masked subtraction. N > 0 fixes the width at compile
// time; N = 0 takes it from n. `t` has 2n + 2 words of scratch.
template <int N>
inline void MontMulImpl(u64* r, const u64* a, const u64* b, const u64* p, u64 n0, u64* t, int n_runtime) {
  const int n = N > 0 ? N : n_runtime;
  for (int j = 0; j < n + 2; ++j) t[j] = 0;
  for (int i = 0; i < n; ++i) {
    const u64 bi = b[i];
    u64 carry = 0;
    for (int j = 0; j < n; ++j) {
      const u128 acc = static_cast<u128>(a[j]) * bi + t[j] + carry;
      t[j] = static_cast<u64>(acc);
      carry = static_cast<u64>(acc >> 64);
    }
    u128 top = static_cast<u128>(t[n]) + carry;
    t[n] = static_cast<u64>(top);
    t[n + 1] = static_cast<u64>(top >> 64);
    const u64 m = t[0] * n0;
    u128 acc = static_cast<u128>(m) * p[0] + t[0];
    carry = static_cast<u64>(acc >> 64);
    for (int j = 1; j < n; ++j) {
      acc = static_cast<u128>(m) * p[j] + t[j] + carry;
      t[j - 1] = static_cast<u64>(acc);
      carry = static_cast<u64>(acc >> 64);
    }
    top = static_cast<u128>(t[n]) + carry;
    t[n - 1] = static_cast<u64>(top);
    t[n] = t[n + 1] + static_cast<u64>(top >> 64);
  }
  SubtractOnce(r, t, p, t + n + 2, n);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(QCRYPTO_NO_ASM)
#define QCRYPTO_R3410_HAVE_ADX 1

bool CpuHasAdx() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return ((b >> 8) & 1u) != 0 && ((b >> 19) & 1u) != 0;  // BMI2 and ADX
}

std::atomic<bool>& AdxSwitch() {
  static std::atomic<bool> enabled{CpuHasAdx()};
  return enabled;
}

// One word of a row: t[j] += lo(x[j] * rdx) on the CF chain and the high
// word of the previous product on the OF chain; r9 / r11 hold that high word
// in turn. Straight-line code: no branch and no address depends on the
// numbers.
#define QCRYPTO_ROW_STEP(OFF) \
  "mulxq " #OFF               \
  "(%[x]), %%r8, %%r9\n\t"    \
  "movq " #OFF                \
  "(%[t]), %%r10\n\t"         \
  "adcxq %%r8, %%r10\n\t"     \
  "adoxq %%r11, %%r10\n\t"    \
  "movq %%r10, " #OFF         \
  "(%[t])\n\t"                \
  "movq %%r9, %%r11\n\t"
// The same for the reduction row, storing one word lower (the row's lowest
// word becomes 0 and is dropped: the division by 2^64).
#define QCRYPTO_RED_STEP(OFF, LOWER) \
  "mulxq " #OFF                      \
  "(%[x]), %%r8, %%r9\n\t"           \
  "movq " #OFF                       \
  "(%[t]), %%r10\n\t"                \
  "adcxq %%r8, %%r10\n\t"            \
  "adoxq %%r11, %%r10\n\t"           \
  "movq %%r10, " #LOWER              \
  "(%[t])\n\t"                       \
  "movq %%r9, %%r11\n\t"

// t[0..17] += x * y (t[17] is set: the row's carries).
__attribute__((target("bmi2,adx"))) inline void Row16(u64* t, const u64* x, u64 y) {
  asm volatile(
      "movq %[y], %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "xorl %%r11d, %%r11d\n\t"
      QCRYPTO_ROW_STEP(0)
      QCRYPTO_ROW_STEP(8)
      QCRYPTO_ROW_STEP(16)
      QCRYPTO_ROW_STEP(24)
      QCRYPTO_ROW_STEP(32)
      QCRYPTO_ROW_STEP(40)
      QCRYPTO_ROW_STEP(48)
      QCRYPTO_ROW_STEP(56)
      QCRYPTO_ROW_STEP(64)
      QCRYPTO_ROW_STEP(72)
      QCRYPTO_ROW_STEP(80)
      QCRYPTO_ROW_STEP(88)
      QCRYPTO_ROW_STEP(96)
      QCRYPTO_ROW_STEP(104)
      QCRYPTO_ROW_STEP(112)
      QCRYPTO_ROW_STEP(120)
      "movq 128(%[t]), %%r10\n\t"
      "adcxq %%rax, %%r10\n\t"
      "adoxq %%r11, %%r10\n\t"
      "movq %%r10, 128(%[t])\n\t"
      "movl $0, %%r10d\n\t"
      "adcxq %%rax, %%r10\n\t"
      "adoxq %%rax, %%r10\n\t"
      "movq %%r10, 136(%[t])\n\t"
      :
      : [t] "r"(t), [x] "r"(x), [y] "r"(y)
      : "rax", "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

// m = t[0] * n0; t = (t + m * p) / 2^64 over t[0..17] (t[17] is consumed).
__attribute__((target("bmi2,adx"))) inline void Reduce16(u64* t, const u64* x, u64 n0) {
  asm volatile(
      "movq (%[t]), %%rdx\n\t"
      "imulq %[n0], %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq (%[x]), %%r8, %%r11\n\t"
      "movq (%[t]), %%r10\n\t"
      "adcxq %%r8, %%r10\n\t"
      QCRYPTO_RED_STEP(8, 0)
      QCRYPTO_RED_STEP(16, 8)
      QCRYPTO_RED_STEP(24, 16)
      QCRYPTO_RED_STEP(32, 24)
      QCRYPTO_RED_STEP(40, 32)
      QCRYPTO_RED_STEP(48, 40)
      QCRYPTO_RED_STEP(56, 48)
      QCRYPTO_RED_STEP(64, 56)
      QCRYPTO_RED_STEP(72, 64)
      QCRYPTO_RED_STEP(80, 72)
      QCRYPTO_RED_STEP(88, 80)
      QCRYPTO_RED_STEP(96, 88)
      QCRYPTO_RED_STEP(104, 96)
      QCRYPTO_RED_STEP(112, 104)
      QCRYPTO_RED_STEP(120, 112)
      "movq 128(%[t]), %%r10\n\t"
      "adcxq %%rax, %%r10\n\t"
      "adoxq %%r11, %%r10\n\t"
      "movq %%r10, 120(%[t])\n\t"
      "movq 136(%[t]), %%r10\n\t"
      "adcxq %%rax, %%r10\n\t"
      "adoxq %%rax, %%r10\n\t"
      "movq %%r10, 128(%[t])\n\t"
      :
      : [t] "r"(t), [x] "r"(x), [n0] "r"(n0)
      : "rax", "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

#undef QCRYPTO_ROW_STEP
#undef QCRYPTO_RED_STEP

// r = a * b / 2^1024 mod p with the rows above; t has 34 words of scratch.
void MontMulAdx16(u64* r, const u64* a, const u64* b, const u64* p, u64 n0, u64* t) {
  for (int j = 0; j < 18; ++j) t[j] = 0;
  for (int i = 0; i < 16; ++i) {
    Row16(t, a, b[i]);
    Reduce16(t, p, n0);
  }
  SubtractOnce(r, t, p, t + 18, 16);
}
#endif

}  // namespace

void FixedBaseTable::MontMul(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* t) const {
#if defined(QCRYPTO_R3410_HAVE_ADX)
  if (limbs_ == 16 && AdxSwitch().load(std::memory_order_relaxed)) {
    MontMulAdx16(r, a, b, p_.data(), n0_, t);
    return;
  }
#endif
  if (limbs_ == 16) {
    MontMulImpl<16>(r, a, b, p_.data(), n0_, t, 16);
  } else {
    MontMulImpl<0>(r, a, b, p_.data(), n0_, t, limbs_);
  }
}

bool FixedBaseTable::adx_enabled() {
#if defined(QCRYPTO_R3410_HAVE_ADX)
  return AdxSwitch().load(std::memory_order_relaxed);
#else
  return false;
#endif
}

#if defined(QCRYPTO_TEST_HOOKS)
void FixedBaseTable::set_adx_enabled(bool enabled) {
#if defined(QCRYPTO_R3410_HAVE_ADX)
  AdxSwitch().store(enabled && CpuHasAdx(), std::memory_order_relaxed);
#else
  (void)enabled;
#endif
}
#endif

int FixedBaseTable::PowSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* /*ctx*/) const {
  if (out == nullptr || e == nullptr || BN_is_negative(e)) return -1;
  const size_t n = static_cast<size_t>(limbs_);
  const int ebytes = (windows_ + 1) / 2;
  std::vector<unsigned char> digits(static_cast<size_t>(ebytes));
  // A fixed-length export: it fails only for an e wider than ebytes.
  if (BN_bn2lebinpad(e, digits.data(), ebytes) != ebytes) return -1;
  if (windows_ % 2 != 0) {
    // The top byte holds one window: a digit in its high half is beyond the table.
    std::uint64_t beyond = digits[static_cast<size_t>(ebytes - 1)] >> 4;
    QCRYPTO_CT_DECLASSIFY(&beyond, sizeof beyond);  // only whether e fits
    if (beyond != 0) {
      OPENSSL_cleanse(digits.data(), digits.size());
      return -1;
    }
  }
  std::vector<std::uint64_t> acc(n), sel(n), t(2 * n + 2);
  for (int i = 0; i < windows_; ++i) {
    const unsigned digit = (digits[static_cast<size_t>(i / 2)] >> (4 * (i & 1))) & 0xF;
    std::fill(sel.begin(), sel.end(), 0);
    for (int j = 0; j < kEntries; ++j) {
      const std::uint64_t m = MaskEq(static_cast<std::uint64_t>(j), digit);
      const std::uint64_t* entry = Entry(i, j);
      for (size_t w = 0; w < n; ++w) sel[w] |= entry[w] & m;
    }
    if (i == 0) {
      acc = sel;
    } else {
      MontMul(acc.data(), acc.data(), sel.data(), t.data());
    }
  }
  // Out of Montgomery form: one product with 1.
  std::fill(sel.begin(), sel.end(), 0);
  sel[0] = 1;
  MontMul(acc.data(), acc.data(), sel.data(), t.data());
  // The power is public from here (see the header).
  QCRYPTO_CT_DECLASSIFY(acc.data(), n * sizeof(std::uint64_t));
  const bool ok =
      BN_lebin2bn(reinterpret_cast<const unsigned char*>(acc.data()), static_cast<int>(n * 8), out) != nullptr;
  OPENSSL_cleanse(digits.data(), digits.size());
  OPENSSL_cleanse(sel.data(), n * sizeof(std::uint64_t));
  OPENSSL_cleanse(acc.data(), n * sizeof(std::uint64_t));
  OPENSSL_cleanse(t.data(), t.size() * sizeof(std::uint64_t));
  return ok ? 1 : 0;
}

}  // namespace qcrypto
