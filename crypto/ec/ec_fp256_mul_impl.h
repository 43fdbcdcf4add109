// The scalar multiplications of the fixed-width code as templates over the
// field multiplication, instantiated once with the portable multiplication
// (ec_fp256_mul.cpp) and once per BMI2/ADX reduction (ec_fp256_adx.cpp, where
// the assembly is inlined into the loops). Private to those two files.
//
// - Any point (mul): signed 5-bit windows (Booth recoding, digits -16..16)
//   over a table of 1P..16P; every table read scans all 16 entries with
//   masks, and the number of doublings and additions is fixed by the width
//   class of the number (a multiple of 256 bits). Constant time in k.
// - The generator (mul_generator): a comb of 37 signed 7-bit digits; row i
//   of the table holds 1..64 times 2^(7i) G in affine form, so the product
//   is 37 mixed additions and no doubling. Masked scans of 64 entries;
//   constant time in k.
// - k1 G + k2 Q for verification (mul_generator_sum): the same comb rows read
//   directly, plus a width-5 NAF of k2 over Q; variable time, public numbers
//   only.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ct.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "crypto/ec/ec_fp256_select.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto::fp256 {

inline constexpr int kCombWidth = 7;
inline constexpr int kCombRows = 37;                        // 37 * 7 = 259 > 256 + 1
inline constexpr int kCombEntries = 1 << (kCombWidth - 1);  // 64
inline constexpr int kVarWidth = 5;
inline constexpr int kVarEntries = 1 << (kVarWidth - 1);  // 16

// The comb rows of a generator: kCombRows rows of kCombEntries affine points.
struct GenTable {
  Aff* points = nullptr;  // from the table allocator
  void (*release)(void*) = nullptr;
  GenTable() = default;
  GenTable(const GenTable&) = delete;
  GenTable& operator=(const GenTable&) = delete;
  ~GenTable();
};

// |k| as little-endian bytes in a width class of 32, 64, 96, ... bytes (the
// class is the only thing the run time depends on). Wiped when it goes.
class Scalar {
 public:
  Scalar() = default;
  Scalar(const Scalar&) = delete;
  Scalar& operator=(const Scalar&) = delete;
  ~Scalar();
  // false when |k| needs more than `max_bytes` (0: no limit) or the bytes
  // cannot be stored (alloc_failed() then tells).
  bool load(const BIGNUM* k, int max_bytes);
  bool alloc_failed() const { return alloc_failed_; }
  const unsigned char* bytes() const { return heap_ != nullptr ? heap_ : inline_; }
  int length() const { return length_; }
  bool negative() const { return negative_; }
  // `count` bits from bit `pos` (bits outside the number are 0). Positions are
  // public; the bits are not branched on.
  unsigned bits(int pos, int count) const {
    const unsigned char* b = bytes();
    unsigned v = 0;
    for (int t = 0; t < count; ++t) {
      const int i = pos + t;
      if (i >= 0 && i < 8 * length_) v |= ((static_cast<unsigned>(b[i >> 3]) >> (i & 7)) & 1u) << t;
    }
    return v;
  }

 private:
  unsigned char inline_[64];
  unsigned char* heap_ = nullptr;
  int length_ = 0;
  bool negative_ = false;
  bool alloc_failed_ = false;
};

// Signed digit of a Booth window: `in` holds w + 1 bits, the lowest being the
// top bit of the window below. Digit = low + in_0 - 2^w * top, as magnitude and
// a sign mask, without branches.
struct Digit {
  u64 magnitude;
  u64 negative;  // all ones for a negative digit
};
inline Digit booth(unsigned in, int w) {
  const u64 c = in & 1u;
  const u64 u = in >> 1;
  const u64 top = (u >> (w - 1)) & 1u;
  const u64 d = c + u - (top << w);
  const u64 m = 0 - top;
  return {(d ^ m) - m, m};
}

inline void select_jac(Jac& out, const Jac* table, int n, u64 index) {
  static_assert(sizeof(Jac) == 12 * sizeof(u64));
  select_words(reinterpret_cast<u64*>(&out), reinterpret_cast<const u64*>(table), n, 12, index);
}
inline void select_aff(Aff& out, const Aff* table, int n, u64 index) {
  static_assert(sizeof(Aff) == 8 * sizeof(u64));
  select_words(reinterpret_cast<u64*>(&out), reinterpret_cast<const u64*>(table), n, 8, index);
}

// Width-5 NAF of a 256-bit number (little-endian bytes); returns its length.
int wnaf5(const unsigned char* bytes, signed char* out, int capacity);

template <class O>
bool store_jac(const Curve& c, ECPOINT* point, const Jac& p) {
  UniquePtr<ECPOINT> t(ECPOINT_new(point->curve));
  if (t == nullptr) return false;
  Aff a{};
  if (!jac_to_affine<O>(c, a, p)) {
    if (!ECPOINT_set_infinity(t.get())) return false;
  } else {
    // A product leaves as a BIGNUM, whose length depends on its value. Every
    // caller publishes it (a public key, the point behind a signature's r) or
    // hands it out as the agreed value; the Jacobian form it came from stays
    // secret.
    QCRYPTO_CT_DECLASSIFY(&a, sizeof a);
    SecretBnPtr x(BN_new()), y(BN_new());
    const bool ok = x != nullptr && y != nullptr && fe_to_bn(c.f, x.get(), a.x) && fe_to_bn(c.f, y.get(), a.y) &&
                    ec_point_set_affine_xy(t.get(), x.get(), y.get());
    OPENSSL_cleanse(&a, sizeof a);
    if (!ok) return false;
  }
  ec_point_swap_coords(point, t.get());
  return true;
}

template <class O>
int mul(const Curve& c, ECPOINT* point, const Scalar& s) {
  BnCtxPtr ctx = EcNewCtx();
  Jac P;
  if (ctx == nullptr || !jac_from_point(c, P, point, ctx.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  // T[i] = (i + 1) P
  Jac T[kVarEntries];
  T[0] = P;
  for (int i = 1; i < kVarEntries; ++i) {
    const int n = i + 1;
    if (n % 2 == 0) {
      jac_double<O>(c, T[i], T[n / 2 - 1]);
    } else {
      jac_add<O>(c, T[i], T[i - 1], P);
    }
  }
  const int windows = (8 * s.length() + kVarWidth) / kVarWidth;
  Jac acc{};
  Jac sel;
  for (int i = windows - 1; i >= 0; --i) {
    if (i != windows - 1) {
      for (int d = 0; d < kVarWidth; ++d) jac_double<O>(c, acc, acc);
    }
    const Digit digit = booth(s.bits(kVarWidth * i - 1, kVarWidth + 1), kVarWidth);
    select_jac(sel, T, kVarEntries, digit.magnitude);
    fe_cneg(c.f, sel.Y, digit.negative);
    jac_add<O>(c, acc, acc, sel);
  }
  OPENSSL_cleanse(&sel, sizeof sel);
  if (s.negative()) fe_neg(c.f, acc.Y, acc.Y);
  const bool ok = store_jac<O>(c, point, acc);
  OPENSSL_cleanse(&acc, sizeof acc);
  OPENSSL_cleanse(T, sizeof T);
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return 1;
}

template <class O>
int mul_generator(const Curve& c, const GenTable& table, ECPOINT* point, const Scalar& s) {
  Jac acc{};
  Aff sel;
  for (int i = 0; i < kCombRows; ++i) {
    const Digit digit = booth(s.bits(kCombWidth * i - 1, kCombWidth + 1), kCombWidth);
    select_aff(sel, &table.points[static_cast<std::size_t>(i) * kCombEntries], kCombEntries, digit.magnitude);
    fe_cneg(c.f, sel.y, digit.negative);
    jac_add_affine<O>(c, acc, acc, sel, ct_zero_mask(digit.magnitude));
  }
  OPENSSL_cleanse(&sel, sizeof sel);
  if (s.negative()) fe_neg(c.f, acc.Y, acc.Y);
  const bool ok = store_jac<O>(c, point, acc);
  OPENSSL_cleanse(&acc, sizeof acc);
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return 1;
}

template <class O>
int mul_generator_sum(const Curve& c, const GenTable& table, ECPOINT* result, const Scalar& s1, const ECPOINT* q,
                      const Scalar& s2) {
  BnCtxPtr ctx = EcNewCtx();
  Jac Q;
  if (ctx == nullptr || !jac_from_point(c, Q, q, ctx.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  // k1 G: one comb entry per row.
  Jac acc1{};
  for (int i = 0; i < kCombRows; ++i) {
    const Digit digit = booth(s1.bits(kCombWidth * i - 1, kCombWidth + 1), kCombWidth);
    if (digit.magnitude == 0) continue;
    Aff e = table.points[static_cast<std::size_t>(i) * kCombEntries + digit.magnitude - 1];
    if (digit.negative != 0) fe_neg(c.f, e.y, e.y);
    jac_add_affine<O>(c, acc1, acc1, e, 0);
  }
  // k2 Q: width-5 NAF over Q, 3Q, ..., 15Q.
  signed char naf[264];
  const int len = wnaf5(s2.bytes(), naf, static_cast<int>(sizeof naf));
  Jac odd[8];
  Jac q2;
  odd[0] = Q;
  jac_double<O>(c, q2, Q);
  for (int i = 1; i < 8; ++i) jac_add<O>(c, odd[i], odd[i - 1], q2);
  Jac acc2{};
  bool started = false;
  for (int i = len - 1; i >= 0; --i) {
    if (started) jac_double<O>(c, acc2, acc2);
    // NOLINTNEXTLINE(bugprone-signed-char-misuse): a digit is signed (odd, -15..15), widened with its sign
    const int d = naf[i];
    if (d == 0) continue;
    Jac e = odd[(d > 0 ? d : -d) >> 1];
    if (d < 0) fe_neg(c.f, e.Y, e.Y);
    jac_add<O>(c, acc2, acc2, e);
    started = true;
  }
  if (s1.negative()) fe_neg(c.f, acc1.Y, acc1.Y);
  if (s2.negative()) fe_neg(c.f, acc2.Y, acc2.Y);
  jac_add<O>(c, acc1, acc1, acc2);
  UniquePtr<ECPOINT> out(ECPOINT_new(q->curve));
  if (out == nullptr || !store_jac<O>(c, out.get(), acc1)) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  ec_point_swap_coords(result, out.get());
  result->curve = q->curve;
  return 1;
}

#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
// The three multiplications with the BMI2/ADX reduction that suits c.f.form
// (ec_fp256_adx.cpp).
int mul_adx(const Curve& c, ECPOINT* point, const Scalar& s);
int mul_generator_adx(const Curve& c, const GenTable& table, ECPOINT* point, const Scalar& s);
int mul_generator_sum_adx(const Curve& c, const GenTable& table, ECPOINT* result, const Scalar& s1, const ECPOINT* q,
                          const Scalar& s2);
#endif

}  // namespace qcrypto::fp256
