// Helpers shared by the signature and key-agreement code of this folder.
#pragma once

#include <openssl/bn.h>

#include "crypto/ec/ecurve.h"

namespace qcrypto::ecgost_internal {

// k = a number uniform in [1, q - 1]: (bits(q) + 7) / 8 random bytes cut to
// bits(q) bits, drawn again while out of range. A value already below q is
// taken as drawn, so a fed k reproduces its signature. 1 / 0.
int draw_scalar(BIGNUM* k, const BIGNUM* q);

// e = the digest as an unsigned big-endian number, reduced mod q, with 0
// replaced by 1. 1 / 0 (digest missing or empty, big-number failure).
int digest_number(BIGNUM* e, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx);

// The affine coordinates of a finite point, without changing it: x and y are
// set (copied, or computed from a projective point). 1 / 0.
int affine_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y, BN_CTX* ctx);

// Whether the point belongs to `curve` (the same record, or an equal curve).
bool same_curve(const ECPOINT* point, const ECURVE* curve);

// Upper bound of draws before the random source is taken as broken: each draw
// succeeds with probability above 1/2, so 2^-128 for a sound source.
constexpr int kMaxDraws = 128;

}  // namespace qcrypto::ecgost_internal
