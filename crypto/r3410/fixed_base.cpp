#include "crypto/r3410/fixed_base.h"

#include <openssl/crypto.h>

#include <algorithm>
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
  std::unique_ptr<FixedBaseTable> t(new FixedBaseTable(mont, limbs, windows));
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

void FixedBaseTable::MontMul(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b,
                             std::uint64_t* t) const {
  using u128 = unsigned __int128;
  const int n = limbs_;
  const std::uint64_t* p = p_.data();
  std::memset(t, 0, static_cast<size_t>(n + 2) * sizeof(std::uint64_t));
  // Coarsely integrated operand scanning: t = (t + a*b[i] + m*p) / 2^64.
  for (int i = 0; i < n; ++i) {
    std::uint64_t carry = 0;
    for (int j = 0; j < n; ++j) {
      const u128 acc = static_cast<u128>(a[j]) * b[i] + t[j] + carry;
      t[j] = static_cast<std::uint64_t>(acc);
      carry = static_cast<std::uint64_t>(acc >> 64);
    }
    u128 top = static_cast<u128>(t[n]) + carry;
    t[n] = static_cast<std::uint64_t>(top);
    t[n + 1] = static_cast<std::uint64_t>(top >> 64);
    const std::uint64_t m = t[0] * n0_;
    u128 acc = static_cast<u128>(m) * p[0] + t[0];
    carry = static_cast<std::uint64_t>(acc >> 64);
    for (int j = 1; j < n; ++j) {
      acc = static_cast<u128>(m) * p[j] + t[j] + carry;
      t[j - 1] = static_cast<std::uint64_t>(acc);
      carry = static_cast<std::uint64_t>(acc >> 64);
    }
    top = static_cast<u128>(t[n]) + carry;
    t[n - 1] = static_cast<std::uint64_t>(top);
    t[n] = t[n + 1] + static_cast<std::uint64_t>(top >> 64);
  }
  // t < 2p: subtract p, and keep t where that borrowed past the top word.
  std::uint64_t borrow = 0;
  for (int j = 0; j < n; ++j) {
    const u128 d = static_cast<u128>(t[j]) - p[j] - borrow;
    r[j] = static_cast<std::uint64_t>(d);
    borrow = static_cast<std::uint64_t>(d >> 64) & 1;
  }
  // t[n] is 0 or 1 (t < 2p): t < p exactly when it is 0 and the low words borrowed.
  const std::uint64_t keep_t = 0 - (borrow & (~t[n] & 1));
  for (int j = 0; j < n; ++j) r[j] = (t[j] & keep_t) | (r[j] & ~keep_t);
}

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
  std::vector<std::uint64_t> acc(n), sel(n), t(n + 2);
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
  const bool ok = BN_lebin2bn(reinterpret_cast<const unsigned char*>(acc.data()), static_cast<int>(n * 8), out) != nullptr;
  OPENSSL_cleanse(digits.data(), digits.size());
  OPENSSL_cleanse(sel.data(), n * sizeof(std::uint64_t));
  OPENSSL_cleanse(acc.data(), n * sizeof(std::uint64_t));
  OPENSSL_cleanse(t.data(), (n + 2) * sizeof(std::uint64_t));
  return ok ? 1 : 0;
}

}  // namespace qcrypto
