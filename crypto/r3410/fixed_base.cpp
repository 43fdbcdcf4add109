#include "crypto/r3410/fixed_base.h"

#include <openssl/crypto.h>

#include <bit>
#include <cstring>

#include "crypto/bn/bn_owner.h"

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

bool FixedBaseTable::PowSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* ctx) const {
  if (BN_is_negative(e) || BN_num_bits(e) > exponent_bits()) return false;
  const int bytes = limbs_ * 8;
  const int ebytes = (windows_ + 1) / 2;
  std::vector<unsigned char> digits(static_cast<size_t>(ebytes));
  std::vector<std::uint64_t> sel(static_cast<size_t>(limbs_));
  BnCtxFrame frame(ctx);
  BIGNUM* acc = frame.get();
  BIGNUM* factor = frame.get();
  bool ok = acc != nullptr && factor != nullptr && BN_bn2lebinpad(e, digits.data(), ebytes) == ebytes;
  bool have_acc = false;
  for (int i = 0; ok && i < windows_; ++i) {
    const unsigned digit = (digits[static_cast<size_t>(i / 2)] >> (4 * (i & 1))) & 0xF;
    std::memset(sel.data(), 0, static_cast<size_t>(bytes));
    for (int j = 0; j < kEntries; ++j) {
      const std::uint64_t m = MaskEq(static_cast<std::uint64_t>(j), digit);
      const std::uint64_t* entry = Entry(i, j);
      for (int w = 0; w < limbs_; ++w) sel[static_cast<size_t>(w)] |= entry[w] & m;
    }
    if (!have_acc) {
      ok = BN_lebin2bn(reinterpret_cast<const unsigned char*>(sel.data()), bytes, acc) != nullptr;
      have_acc = true;
    } else {
      ok = BN_lebin2bn(reinterpret_cast<const unsigned char*>(sel.data()), bytes, factor) != nullptr &&
           BN_mod_mul_montgomery(acc, acc, factor, mont_, ctx);
    }
  }
  if (ok) ok = BN_from_montgomery(out, acc, mont_, ctx) != 0;
  OPENSSL_cleanse(digits.data(), digits.size());
  OPENSSL_cleanse(sel.data(), sel.size() * sizeof(sel[0]));
  if (acc != nullptr) BN_clear(acc);
  if (factor != nullptr) BN_clear(factor);
  return ok;
}

}  // namespace qcrypto
