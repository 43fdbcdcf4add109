// Products of several powers modulo p in Montgomery form, sharing one chain
// of squarings (interleaved sliding windows). For public exponents only: the
// sequence of operations follows the exponent bits.
#pragma once

#include <openssl/bn.h>

#include <span>
#include <vector>

#include "crypto/bn/bn_owner.h"

namespace qcrypto {

// g, g^3, g^5, ..., g^(2^window - 1) of one base, in Montgomery form.
struct OddPowers {
  int window = 0;
  std::vector<BnPtr> odd;  // odd[i] = g^(2i + 1)
};

// Fills |out| from |g_mont| (g in Montgomery form).
bool MakeOddPowers(OddPowers* out, const BIGNUM* g_mont, int window, BN_MONT_CTX* mont, BN_CTX* ctx);

// One factor: powers^(bits [offset, offset + chain) of e).
struct ExpTerm {
  const OddPowers* powers;
  const BIGNUM* e;
  int offset;
};

// out = product of all terms (Montgomery form), each exponent slice being
// |chain| bits long.
bool MultiExpMont(BIGNUM* out, std::span<const ExpTerm> terms, int chain, BN_MONT_CTX* mont, BN_CTX* ctx);

// bases[k] = g^(2^(chain * k)) for k = 0..count-1, Montgomery form in and out:
// the bases that split one exponent into |count| slices of |chain| bits.
bool MakeSliceBases(std::span<BnPtr> bases, const BIGNUM* g_mont, int chain, BN_MONT_CTX* mont, BN_CTX* ctx);

}  // namespace qcrypto
