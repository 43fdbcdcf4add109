// Scalar multiplication on the fixed-width field, for curves with a prime
// p < 2^256. Each entry returns 1 (done), 0 (failed, error raised, point
// unchanged) or -1 (the curve or the number is not served here: the caller
// uses the BIGNUM algorithms).
#pragma once

#include <openssl/bn.h>

#include <memory>

#include "crypto/ec/ec_fp256_point.h"
#include "crypto/ec/ecurve.h"

namespace qcrypto {

// point = k * point; constant time in k for |k| < 2^512 (fixed-window signed
// digits, table read by a full masked scan).
int ec_fp256_mul(ECPOINT* point, const BIGNUM* k);
// point = k * point for the curve's generator (the caller checked that point
// is it), |k| < 2^256; constant time in k (comb of 37 signed 7-bit digits over
// a table of 64 multiples each, masked scan).
int ec_fp256_mul_generator(ECPOINT* point, const BIGNUM* k);
// result = k1 * G + k2 * q, |k1|, |k2| < 2^256; variable time (public numbers).
int ec_fp256_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2);

namespace fp256 {

// The fixed-width form of a curve, shared by all curve records with the same
// p, a and b; null when the curve is not served (p not an odd prime below
// 2^256, or a and b not below 2^256).
std::shared_ptr<const Curve> curve_for(const ECURVE* curve);

// Jacobian form of any point of the curve (affine points get Z = 1).
bool jac_from_point(const Curve& c, Jac& out, const ECPOINT* point, BN_CTX* ctx);
// Stores the value of `p` into `point` in the form of the point's curve
// (affine, or Jacobian with Z = 1). The point is changed only on success.
bool jac_to_point(const Curve& c, ECPOINT* point, const Jac& p);

}  // namespace fp256
}  // namespace qcrypto
