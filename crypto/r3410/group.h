// Domain parameters of one operation, prepared for exponentiation: the
// Montgomery context of p and, for the built-in parameters, the fixed-base
// table of a (made once per process).
#pragma once

#include <openssl/bn.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/r3410/fixed_base.h"
#include "crypto/r3410/multi_exp.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/verify_cache.h"

namespace qcrypto {

// Largest p accepted; keeps the work of a hostile parameter set bounded.
constexpr int kR3410MaxPBits = 4096;

class R3410Group {
 public:
  // Checks the shape of p, q, a (pushing |reason_lib|/|func| errors) and
  // prepares them. False on failure.
  bool Prepare(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, BN_CTX* ctx, int lib, int func);

  const BIGNUM* p() const { return p_; }
  const BIGNUM* q() const { return q_; }
  const BIGNUM* a() const { return a_; }
  BN_MONT_CTX* mont() const { return mont_; }
  bool builtin() const { return table_ != nullptr; }
  // Bits per slice when an exponent below q is cut into kR3410Slices slices.
  int chain() const { return (BN_num_bits(q_) + kR3410Slices - 1) / kR3410Slices; }
  // For the built-in parameters: odd powers of a^(2^(chain * k)), Montgomery
  // form; null otherwise.
  const std::array<OddPowers, kR3410Slices>* a_slices() const { return a_slices_; }

  // out = a^e mod p for a secret e (constant-time table scan, or OpenSSL's
  // constant-time exponentiation for explicit parameters).
  bool PowBaseSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* ctx) const;

 private:
  const BIGNUM* p_ = nullptr;
  const BIGNUM* q_ = nullptr;
  const BIGNUM* a_ = nullptr;
  BN_MONT_CTX* mont_ = nullptr;
  const FixedBaseTable* table_ = nullptr;
  const std::array<OddPowers, kR3410Slices>* a_slices_ = nullptr;
  BnMontPtr own_mont_;
};

// The built-in numbers as BIGNUMs (made once; null if that failed).
const BIGNUM* R3410BuiltinP();
const BIGNUM* R3410BuiltinQ();
const BIGNUM* R3410BuiltinA();

}  // namespace qcrypto
