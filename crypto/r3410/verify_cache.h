// Per-key memory of verification: the public numbers already found valid
// (so the subgroup checks run once per key, not per signature) and the
// precomputed powers of y that make each later verification cheaper.
#pragma once

#include <array>
#include <memory>

#include "crypto/bn/bn_owner.h"
#include "crypto/r3410/multi_exp.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {

// Slices an exponent below q is cut into for the shared squaring chain.
constexpr int kR3410Slices = 4;
// Window of the precomputed odd powers of each slice base.
constexpr int kR3410SliceWindow = 6;

struct R3410VerifyData {
  BnPtr p, q, a, y;                              // the numbers this data belongs to
  int chain = 0;                                 // bits per slice
  std::array<OddPowers, kR3410Slices> y_powers;  // of y^(2^(chain * k)), Montgomery form mod p
};

// The data stored for the key when its p, q, a and y still equal the stored
// ones, else null.
std::shared_ptr<const R3410VerifyData> R3410VerifyCacheGet(const R3410* key);
// Replaces the key's data.
void R3410VerifyCacheStore(const R3410* key, std::shared_ptr<const R3410VerifyData> data);
// Frees a key's cache (the record's `checked` field); null is ignored.
void R3410VerifyCacheFree(void* cache);

}  // namespace qcrypto
