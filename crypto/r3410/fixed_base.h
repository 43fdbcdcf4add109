// Fixed-base exponentiation modulo p for one base g: a table of
// g^(j * 16^i) in Montgomery form for every 4-bit window i of the exponent,
// so that g^e is one Montgomery product per window and no squaring.
#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace qcrypto {

class FixedBaseTable {
 public:
  // Table for g modulo the odd p of |mont| and exponents below 2^exponent_bits.
  // Null on failure.
  static std::unique_ptr<FixedBaseTable> Build(const BIGNUM* g, const BIGNUM* p, BN_MONT_CTX* mont, int exponent_bits,
                                               BN_CTX* ctx);

  // out = g^e mod p for 0 <= e < 2^exponent_bits: 1 done, -1 e is negative
  // or wider than the table (refused, not truncated), 0 failure. The table is
  // read in full for every window (masked selection), every window costs one
  // fixed-width Montgomery product and the final reduction is masked, so
  // neither the memory trace nor the operation sequence depends on e;
  // temporaries are wiped. The power itself is made public when it leaves
  // (it is a public key, or the value a signature's r is taken from).
  int PowSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* ctx) const;

  int exponent_bits() const { return windows_ * kWindowBits; }

  // Whether the products use the BMI2/ADX code: true on processors that have
  // it, unless switched off; tests run both.
  static bool adx_enabled();
#if defined(QCRYPTO_TEST_HOOKS)
  static void set_adx_enabled(bool enabled);
#endif

 private:
  static constexpr int kWindowBits = 4;
  static constexpr int kEntries = 1 << kWindowBits;

  FixedBaseTable(int limbs, int windows)
      : limbs_(limbs),
        windows_(windows),
        p_(static_cast<size_t>(limbs)),
        table_(static_cast<size_t>(limbs) * kEntries * static_cast<size_t>(windows)) {}
  // r = a * b / 2^(64 * limbs) mod p for a, b < p; r may be a or b. `t` has
  // 2 * limbs + 2 words of scratch. BMI2/ADX rows for a 1024-bit p on
  // processors that have them, portable code otherwise.
  void MontMul(std::uint64_t* r, const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* t) const;
  const std::uint64_t* Entry(int window, int digit) const {
    return table_.data() + (static_cast<size_t>(window) * kEntries + static_cast<size_t>(digit)) * limbs_;
  }

  int limbs_;  // 64-bit words per entry
  int windows_;
  std::vector<std::uint64_t> p_;  // p, little-endian words
  std::uint64_t n0_ = 0;          // -p^-1 mod 2^64
  std::vector<std::uint64_t> table_;
};

}  // namespace qcrypto
