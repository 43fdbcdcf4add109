#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

// Moduli beyond any curve in use; a hostile parameter set cannot make one call
// cost more than a few exponentiations of this size.
constexpr int kMaxModulusBits = 4096;

// For a prime p the least non-residue lies below 2*ln(p)^2 (Bach, under GRH)
// and in practice among the first few candidates. A search that runs past
// kPrimeCheckAfter candidates first makes sure p is prime (a perfect-square
// modulus never shows a Jacobi symbol of -1), so a hostile modulus costs one
// primality test rather than the whole bound.
constexpr int kPrimeCheckAfter = 64;
int NonResidueSearchLimit(const BIGNUM* p) {
  const long bits = BN_num_bits(p);
  const long ln = bits * 7 / 10 + 1;  // ln(2) < 0.7
  return static_cast<int>(2 * ln * ln + 16);
}

enum class Outcome { kRoot, kNotSquare, kError };

// p = 3 (mod 4): y = a^((p + 1) / 4).
Outcome SqrtThreeModFour(BIGNUM* y, const BIGNUM* a, const BIGNUM* p, BN_MONT_CTX* mont, BN_CTX* ctx) {
  BnCtxFrame frame(ctx);
  BIGNUM* e = frame.get();
  if (e == nullptr || !BN_copy(e, p) || !BN_add_word(e, 1) || !BN_rshift(e, e, 2)) return Outcome::kError;
  return BN_mod_exp_mont(y, a, e, p, ctx, mont) ? Outcome::kRoot : Outcome::kError;
}

// p = 5 (mod 8), Atkin: g = (2a)^((p - 5) / 8), i = 2a*g^2, y = a*g*(i - 1).
Outcome SqrtFiveModEight(BIGNUM* y, const BIGNUM* a, const BIGNUM* p, BN_MONT_CTX* mont, BN_CTX* ctx) {
  BnCtxFrame frame(ctx);
  BIGNUM* two_a = frame.get();
  BIGNUM* e = frame.get();
  BIGNUM* g = frame.get();
  BIGNUM* i = frame.get();
  if (i == nullptr) return Outcome::kError;
  if (!BN_mod_lshift1(two_a, a, p, ctx) || !BN_copy(e, p) || !BN_sub_word(e, 5) || !BN_rshift(e, e, 3) ||
      !BN_mod_exp_mont(g, two_a, e, p, ctx, mont) || !BN_mod_sqr(i, g, p, ctx) || !BN_mod_mul(i, i, two_a, p, ctx) ||
      !BN_mod_sub(i, i, BN_value_one(), p, ctx) || !BN_mod_mul(y, a, g, p, ctx) || !BN_mod_mul(y, y, i, p, ctx)) {
    return Outcome::kError;
  }
  return Outcome::kRoot;
}

// p = 1 (mod 8), Tonelli-Shanks with p - 1 = 2^e * s, s odd. Every loop is
// bounded: the candidate search by NonResidueSearchLimit, the main loop by e
// (the order exponent m falls at each turn) and the order search by m.
Outcome SqrtTonelliShanks(BIGNUM* y, const BIGNUM* a, const BIGNUM* p, BN_MONT_CTX* mont, BN_CTX* ctx) {
  BnCtxFrame frame(ctx);
  BIGNUM* s = frame.get();
  BIGNUM* p_minus_1 = frame.get();
  BIGNUM* z = frame.get();
  BIGNUM* c = frame.get();
  BIGNUM* t = frame.get();
  BIGNUM* b = frame.get();
  BIGNUM* tmp = frame.get();
  if (tmp == nullptr) return Outcome::kError;
  if (!BN_copy(p_minus_1, p) || !BN_sub_word(p_minus_1, 1)) return Outcome::kError;
  int e = 0;
  while (!BN_is_bit_set(p_minus_1, e)) ++e;
  if (!BN_rshift(s, p_minus_1, e)) return Outcome::kError;

  // A non-residue z: for prime p the Jacobi symbol is the Legendre symbol,
  // so -1 marks one without an exponentiation. Euler's criterion is then
  // checked once; its failure proves p composite.
  const int limit = NonResidueSearchLimit(p);
  bool found = false;
  for (int candidate = 2; candidate < limit && !found; ++candidate) {
    if (candidate == kPrimeCheckAfter && BN_check_prime(p, ctx, nullptr) != 1) return Outcome::kError;
    if (!BN_set_word(z, static_cast<BN_ULONG>(candidate))) return Outcome::kError;
    const int j = BN_kronecker(z, p, ctx);
    if (j == -2) return Outcome::kError;
    found = j == -1;
  }
  if (!found) return Outcome::kError;
  if (!BN_mod_exp_mont(c, z, s, p, ctx, mont)) return Outcome::kError;
  if (!BN_copy(tmp, c)) return Outcome::kError;
  for (int k = 0; k < e - 1; ++k) {
    if (!BN_mod_sqr(tmp, tmp, p, ctx)) return Outcome::kError;
  }
  if (BN_cmp(tmp, p_minus_1) != 0) return Outcome::kError;

  // y = a^((s + 1) / 2), t = a^s; c = z^s has order exactly 2^e.
  if (!BN_mod_exp_mont(t, a, s, p, ctx, mont) || !BN_copy(tmp, s) || !BN_add_word(tmp, 1) || !BN_rshift1(tmp, tmp) ||
      !BN_mod_exp_mont(y, a, tmp, p, ctx, mont)) {
    return Outcome::kError;
  }
  int m = e;
  while (!BN_is_one(t)) {
    // Least i with t^(2^i) = 1; none below m means a is not a square.
    int i = 0;
    if (!BN_copy(tmp, t)) return Outcome::kError;
    while (!BN_is_one(tmp)) {
      if (++i >= m) return Outcome::kNotSquare;
      if (!BN_mod_sqr(tmp, tmp, p, ctx)) return Outcome::kError;
    }
    // b = c^(2^(m - i - 1)); y = y*b, c = b^2, t = t*c, m = i.
    if (!BN_copy(b, c)) return Outcome::kError;
    for (int k = 0; k < m - i - 1; ++k) {
      if (!BN_mod_sqr(b, b, p, ctx)) return Outcome::kError;
    }
    if (!BN_mod_mul(y, y, b, p, ctx) || !BN_mod_sqr(c, b, p, ctx) || !BN_mod_mul(t, t, c, p, ctx)) {
      return Outcome::kError;
    }
    m = i;
  }
  return Outcome::kRoot;
}

// Brings y to the asked parity (p - y has the other one, p being odd).
bool SetParity(BIGNUM* y, const BIGNUM* p, int odd) {
  if (BN_is_zero(y) || (BN_is_odd(y) != 0) == (odd != 0)) return true;
  return BN_sub(y, p, y) != 0;
}

Outcome ModSqrt(BIGNUM* result, const BIGNUM* a, const BIGNUM* p, int odd, BN_CTX* ctx) {
  if (BN_is_negative(p) || !BN_is_odd(p) || BN_cmp(p, BN_value_one()) <= 0 || BN_num_bits(p) > kMaxModulusBits) {
    return Outcome::kError;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* ar = frame.get();
  BIGNUM* y = frame.get();
  BIGNUM* check = frame.get();
  if (check == nullptr || !BN_nnmod(ar, a, p, ctx)) return Outcome::kError;
  if (BN_is_zero(ar)) {
    // 0 is its own only root, and it is even.
    if (odd) return Outcome::kNotSquare;
    BN_zero(result);
    return Outcome::kRoot;
  }
  // Non-squares need no test of their own: every branch ends with the check
  // that the candidate squares to a (Tonelli-Shanks notices even earlier).
  BnMontPtr mont(BN_MONT_CTX_new());
  if (!mont || !BN_MONT_CTX_set(mont.get(), p, ctx)) return Outcome::kError;
  Outcome out;
  const BN_ULONG p_mod_8 = BN_mod_word(p, 8);
  if (p_mod_8 == static_cast<BN_ULONG>(-1)) return Outcome::kError;
  if (p_mod_8 % 4 == 3) {
    out = SqrtThreeModFour(y, ar, p, mont.get(), ctx);
  } else if (p_mod_8 == 5) {
    out = SqrtFiveModEight(y, ar, p, mont.get(), ctx);
  } else {
    out = SqrtTonelliShanks(y, ar, p, mont.get(), ctx);
  }
  if (out != Outcome::kRoot) return out;
  // The formulas give a root only when one exists (and p is prime): check.
  if (!SetParity(y, p, odd) || !BN_mod_sqr(check, y, p, ctx)) return Outcome::kError;
  if (BN_cmp(check, ar) != 0) return Outcome::kNotSquare;
  return BN_copy(result, y) ? Outcome::kRoot : Outcome::kError;
}

}  // namespace

int BN_sqrt(BIGNUM* result, const BIGNUM* a, const BIGNUM* p, int odd, BN_CTX* ctx) {
  if (result == nullptr || a == nullptr || p == nullptr) {
    QERR(ERRLIB_BN, BNX_F_BN_SQRT, ERR_R_PASSED_NULL);
    return 0;
  }
  BnCtxOrOwn context(ctx);
  if (context.get() == nullptr) {
    QERR(ERRLIB_BN, BNX_F_BN_SQRT, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  const Outcome out = ModSqrt(result, a, p, odd, context.get());
  if (out == Outcome::kRoot) return 1;
  if (out == Outcome::kNotSquare) BN_zero(result);
  QERR(ERRLIB_BN, BNX_F_BN_SQRT, ERRLIB_BN);
  return 0;
}

}  // namespace qcrypto
