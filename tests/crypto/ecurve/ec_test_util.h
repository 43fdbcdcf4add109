// Helpers of the curve tests: numbers, curves of the library and their
// OpenSSL twins (the oracle), points compared by affine value.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <memory>
#include <string>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/ecurve.h"
#include "tests/support/bn_test_data.h"
#include "tests/support/ec_test_curves.h"

// OpenSSL's records used as the oracle.

namespace qcrypto::ectest {

using GroupPtr = UniquePtr<EC_GROUP>;
using OsslPointPtr = UniquePtr<EC_POINT>;

using test_support::Hex;
using test_support::ToHex;

inline BnPtr Random(int bits) {
  BnPtr n(BN_new());
  BN_rand(n.get(), bits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  return n;
}

inline BnPtr RandomBelow(const BIGNUM* limit) {
  BnPtr n(BN_new());
  BN_rand_range(n.get(), limit);
  return n;
}

// The OpenSSL group of a library curve (explicit parameters).
inline GroupPtr GroupOf(const ECURVE* c) {
  BnCtxPtr ctx(BN_CTX_new());
  GroupPtr g(EC_GROUP_new_curve_GFp(c->p, ec_num_or_zero(c->a), ec_num_or_zero(c->b), ctx.get()));
  if (g == nullptr) return nullptr;
  BnPtr x(BN_new()), y(BN_new());
  OsslPointPtr gen(EC_POINT_new(g.get()));
  if (!ec_point_affine_xy(c->P, x.get(), y.get(), ctx.get()) ||
      !EC_POINT_set_affine_coordinates(g.get(), gen.get(), x.get(), y.get(), ctx.get()) ||
      !EC_GROUP_set_generator(g.get(), gen.get(), c->q, ec_num_or_zero(c->h))) {
    return nullptr;
  }
  return g;
}

// "INF" or "x:y" of a library point.
inline std::string Describe(const ECPOINT* p) {
  if (ECPOINT_is_infinity(p)) return "INF";
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x(BN_new()), y(BN_new());
  if (!ec_point_affine_xy(p, x.get(), y.get(), ctx.get())) return "ERROR";
  return ToHex(x.get()) + ":" + ToHex(y.get());
}

inline std::string Describe(const EC_GROUP* g, const EC_POINT* p) {
  if (EC_POINT_is_at_infinity(g, p)) return "INF";
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x(BN_new()), y(BN_new());
  if (!EC_POINT_get_affine_coordinates(g, p, x.get(), y.get(), ctx.get())) return "ERROR";
  return ToHex(x.get()) + ":" + ToHex(y.get());
}

// k * G + l * Q in OpenSSL (Q may be null); negative numbers handled by the
// oracle's own reduction modulo the order.
inline std::string OracleMul(const EC_GROUP* g, const BIGNUM* k, const EC_POINT* q, const BIGNUM* l) {
  BnCtxPtr ctx(BN_CTX_new());
  const BIGNUM* order = EC_GROUP_get0_order(g);
  BnPtr kr(BN_new()), lr(BN_new());
  if (k != nullptr) BN_nnmod(kr.get(), k, order, ctx.get());
  if (l != nullptr) BN_nnmod(lr.get(), l, order, ctx.get());
  OsslPointPtr r(EC_POINT_new(g));
  if (!EC_POINT_mul(g, r.get(), k != nullptr ? kr.get() : nullptr, q, q != nullptr ? lr.get() : nullptr, ctx.get())) {
    return "ORACLE FAILED";
  }
  return Describe(g, r.get());
}

// The OpenSSL point with the affine value of a library point.
inline OsslPointPtr ToOssl(const EC_GROUP* g, const ECPOINT* p) {
  BnCtxPtr ctx(BN_CTX_new());
  OsslPointPtr r(EC_POINT_new(g));
  if (ECPOINT_is_infinity(p)) {
    EC_POINT_set_to_infinity(g, r.get());
    return r;
  }
  BnPtr x(BN_new()), y(BN_new());
  if (!ec_point_affine_xy(p, x.get(), y.get(), ctx.get()) ||
      !EC_POINT_set_affine_coordinates(g, r.get(), x.get(), y.get(), ctx.get())) {
    return nullptr;
  }
  return r;
}

inline UniquePtr<ECURVE> Load(const ECURVE_DEF& def, int kind) { return UniquePtr<ECURVE>(ECURVE_init(&def, kind)); }

// A random point of the curve: r * G by the BIGNUM algorithm.
inline UniquePtr<ECPOINT> RandomPoint(ECURVE* c) {
  UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
  BnPtr r = RandomBelow(c->q);
  if (!ec_mul_binary(p.get(), r.get())) return nullptr;
  return p;
}

}  // namespace qcrypto::ectest
