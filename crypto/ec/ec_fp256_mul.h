// Scalar multiplication on the fixed-width field, for curves with a prime
// p < 2^256. Each entry returns 1 (done), 0 (failed, error raised, point
// unchanged) or -1 (the curve or the number is not served here).
#pragma once

#include <openssl/bn.h>

#include <cstddef>
#include <memory>

#include "crypto/ec/ec_fp256_point.h"
#include "crypto/ec/ecurve.h"

namespace qcrypto {

// point = k * point; constant time in k within its width class (|k| below
// 2^256, 2^512, ...: fixed-window signed digits, table read by a full masked
// scan). -1 only when the curve is not served (p not an odd prime below
// 2^256); 0 when its form cannot be made (never a slower fallback).
int ec_fp256_mul(ECPOINT* point, const BIGNUM* k);
// point = k * point for the curve's generator (the caller checked that point
// is it), |k| < 2^256; constant time in k (comb of 37 signed 7-bit digits over
// a table of 64 multiples each, masked scan). -1 when the curve is not
// served, the generator has no comb table (small order, or the table could
// not be made) or k is wider: the caller then takes ec_fp256_mul.
int ec_fp256_mul_generator(ECPOINT* point, const BIGNUM* k);
// result = k1 * G + k2 * q, |k1|, |k2| < 2^256; variable time (public numbers).
// -1 whenever the fixed-width code cannot do it.
int ec_fp256_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2);

// The fixed-width forms a curve record keeps (ECURVE::fast): the holder is
// installed on the record's first multiplication (atomically: threads may
// race for it), the forms are made under the holder's own lock, shared with
// other records of the same numbers, and made again only when the record's
// p, a, b or generator no longer are the ones they were made from.
void ec_fast_cache_free(EcFastCache* cache);

namespace fp256 {

// The fixed-width form of a curve by value, from the process-wide cache
// (shared by all curve records with the same p, a and b); null when the curve
// is not served (p not an odd prime below 2^256, or a and b not below 2^256)
// or the form cannot be made.
std::shared_ptr<const Curve> curve_for(const ECURVE* curve);

// Jacobian form of any point of the curve (affine points get Z = 1).
bool jac_from_point(const Curve& c, Jac& out, const ECPOINT* point, BN_CTX* ctx);
// Stores the value of `p` into `point` in the form of the point's curve
// (affine, or Jacobian with Z = 1). The point is changed only on success.
bool jac_to_point(const Curve& c, ECPOINT* point, const Jac& p);

#if defined(QCRYPTO_TEST_HOOKS)
// Replaces the allocator of curve forms and comb tables (null, null restores
// OPENSSL_malloc / OPENSSL_free); lets tests make those builds fail.
void set_table_allocator(void* (*allocate)(std::size_t), void (*release)(void*));
// The comb table the record uses for its generator, as an identity (null
// when it has none yet).
const void* comb_table_of(const ECURVE* curve);
#endif

}  // namespace fp256
}  // namespace qcrypto
