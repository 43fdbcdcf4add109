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

#include "crypto/cclib/ossl_owners.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/ecurve.h"
#include "tests/support/bn_test_data.h"

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

// Curve definitions used beside the two built-in ones (RFC 4357 parameter
// sets from the public vectors, and secp256k1 for a = 0).
inline const ECURVE_DEF& CryptoProA() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94",
                                 "00000000000000000000000000000000000000000000000000000000000000A6",
                                 "04"
                                 "0000000000000000000000000000000000000000000000000000000000000001"
                                 "8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

// p = 2^255 + 0xC99 with a = p - 3: the 2^255 + c reduction with the faster
// doubling.
inline const ECURVE_DEF& CryptoProB() {
  static const ECURVE_DEF def = {0,
                                 "8000000000000000000000000000000000000000000000000000000000000C99",
                                 "8000000000000000000000000000000000000000000000000000000000000C96",
                                 "3E1AF419A269A5F866A7D3C25C3DF80AE979259373FF2B182F49D4CE7E1BBC8B",
                                 "04"
                                 "0000000000000000000000000000000000000000000000000000000000000001"
                                 "3FA8124359F96680B83D1C3EB2C070E5C545C9858D03ECFB744BF8D717717EFC",
                                 "800000000000000000000000000000015F700CFFF1A624E5E497161BCC8A198F",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

inline const ECURVE_DEF& Secp256k1() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F",
                                 "",
                                 "07",
                                 "04"
                                 "79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798"
                                 "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

// A 192-bit curve (P-192) to run the fixed-width code below 256 bits.
inline const ECURVE_DEF& P192() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC",
                                 "64210519E59C80E70FA7E9AB72243049FEB8DEECC146B9B1",
                                 "04188DA80EB03090F67CBF20EB43A18800F4FF0AFD82FF1012"
                                 "07192B95FFC8DA78631011ED6B24CDD573F977A11E794811",
                                 "FFFFFFFFFFFFFFFFFFFFFFFF99DEF836146BC9B1B4D22831",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
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
