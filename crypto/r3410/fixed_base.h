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

  // out = g^e mod p, 0 <= e < 2^exponent_bits. The table is read in full
  // for every window (masked selection) and every window costs one product,
  // so neither the memory trace nor the operation sequence depends on e;
  // temporaries are wiped.
  bool PowSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* ctx) const;

  int exponent_bits() const { return windows_ * kWindowBits; }

 private:
  static constexpr int kWindowBits = 4;
  static constexpr int kEntries = 1 << kWindowBits;

  FixedBaseTable(BN_MONT_CTX* mont, int limbs, int windows)
      : mont_(mont),
        limbs_(limbs),
        windows_(windows),
        table_(static_cast<size_t>(limbs) * kEntries * static_cast<size_t>(windows)) {}
  const std::uint64_t* Entry(int window, int digit) const {
    return table_.data() + (static_cast<size_t>(window) * kEntries + static_cast<size_t>(digit)) * limbs_;
  }

  BN_MONT_CTX* mont_;  // not owned; lives as long as the table's owner
  int limbs_;          // 64-bit words per entry
  int windows_;
  std::vector<std::uint64_t> table_;
};

}  // namespace qcrypto
