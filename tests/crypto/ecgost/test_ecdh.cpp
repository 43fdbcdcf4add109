// Key agreement: both sides agree, the value matches an independent
// computation, and hostile peer points are refused in every mode.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <string>
#include <vector>

#include "crypto/ec/ecgost_codes.h"
#include "tests/crypto/ecgost/ecgost_test_util.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

struct Affine {
  BnPtr x, y;
};

Affine AffineOf(const ECPOINT* point) {
  ECPOINT* copy = ECPOINT_dup(point);
  EXPECT_TRUE(ECPOINT_to_affine(copy));
  Affine a{BnPtr(BN_dup(copy->X)), BnPtr(BN_dup(copy->Y))};
  ECPOINT_free(copy);
  return a;
}

// k * (x, y) on the curve given by its numbers, computed by OpenSSL: the x
// coordinate, or an empty pointer for the point at infinity.
BnPtr ReferenceProductX(const ECURVE* curve, const BIGNUM* k, const BIGNUM* x, const BIGNUM* y) {
  BN_CTX* ctx = BN_CTX_new();
  Affine g = AffineOf(curve->P);
  EC_GROUP* group = EC_GROUP_new_curve_GFp(curve->p, curve->a, curve->b, ctx);
  EC_POINT* gen = EC_POINT_new(group);
  EC_POINT_set_affine_coordinates(group, gen, g.x.get(), g.y.get(), ctx);
  BnPtr one(BN_new());
  BN_one(one.get());
  EC_GROUP_set_generator(group, gen, curve->q, curve->h != nullptr ? curve->h : one.get());
  EC_POINT* in = EC_POINT_new(group);
  EC_POINT* out = EC_POINT_new(group);
  BnPtr rx;
  if (EC_POINT_set_affine_coordinates(group, in, x, y, ctx) && EC_POINT_mul(group, out, nullptr, in, k, ctx) &&
      !EC_POINT_is_at_infinity(group, out)) {
    rx.reset(BN_new());
    EC_POINT_get_affine_coordinates(group, out, rx.get(), nullptr, ctx);
  }
  EC_POINT_free(out);
  EC_POINT_free(in);
  EC_POINT_free(gen);
  EC_GROUP_free(group);
  BN_CTX_free(ctx);
  return rx;
}

class EcdhAgreement : public ::testing::TestWithParam<std::tuple<const ECURVE_DEF*, int>> {
 protected:
  void SetUp() override {
    curve_ = LoadCurve(std::get<0>(GetParam()), std::get<1>(GetParam()));
    ASSERT_NE(curve_, nullptr);
  }
  SystemRandom rand_;
  CurvePtr curve_;
};

TEST_P(EcdhAgreement, BothSidesAgreeWithTheReference) {
  for (int mode : {0, 2}) {
    EcdhPtr a(ECDH_new(curve_.get(), mode));
    EcdhPtr b(ECDH_new(curve_.get(), mode));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->mode, mode);
    ASSERT_EQ(ECDH_generate_key(a.get()), 1);
    ASSERT_EQ(ECDH_generate_key(b.get()), 1);
    EXPECT_NE(BN_cmp(a->private_key, b->private_key), 0);
    EXPECT_EQ(ECGOST_is_pubkey_valid(a->public_key, 1), 1);
    ASSERT_EQ(ECDH_compute_key(b->public_key, a.get()), 1);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    ASSERT_NE(a->shared, nullptr);
    EXPECT_EQ(BN_cmp(a->shared, b->shared), 0);
    Affine qb = AffineOf(b->public_key);
    BnPtr ref = ReferenceProductX(curve_.get(), a->private_key, qb.x.get(), qb.y.get());
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(BN_cmp(a->shared, ref.get()), 0) << "mode " << mode;
    EXPECT_EQ(ECDH_size(a.get()), 32);
    // The public point is private * P.
    Affine g = AffineOf(curve_->P);
    BnPtr pub_x = ReferenceProductX(curve_.get(), a->private_key, g.x.get(), g.y.get());
    Affine qa = AffineOf(a->public_key);
    EXPECT_EQ(BN_cmp(qa.x.get(), pub_x.get()), 0);
  }
}

// A signing key's agreement object: copies of d and Q, mode 2 for a curve with a cofactor.
TEST_P(EcdhAgreement, FromSigningKey) {
  KeyPtr ka = MakeKey(curve_.get(), RandomBelow(curve_->q).get());
  KeyPtr kb = MakeKey(curve_.get(), RandomBelow(curve_->q).get());
  EcdhPtr a(ECGOST_to_ECDH(ka.get()));
  EcdhPtr b(ECGOST_to_ECDH(kb.get()));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->mode, 2);
  EXPECT_EQ(BN_cmp(a->private_key, ka->d), 0);
  EXPECT_EQ(ECPOINT_cmp(a->public_key, ka->Q), 0);
  // Generating keeps the copied pair.
  ASSERT_EQ(ECDH_generate_key(a.get()), 1);
  EXPECT_EQ(BN_cmp(a->private_key, ka->d), 0);
  ASSERT_EQ(ECDH_compute_key(kb->Q, a.get()), 1);
  ASSERT_EQ(ECDH_compute_key(ka->Q, b.get()), 1);
  EXPECT_EQ(BN_cmp(a->shared, b->shared), 0);
  // A still protected d gives no object.
  ka->tag = BN_new();
  EXPECT_EQ(ECGOST_to_ECDH(ka.get()), nullptr);
  // A public-only key gives an object that can draw its own private number.
  KeyPtr pub(ECGOST_new(curve_.get()));
  ECPOINT_copy(pub->Q, kb->Q);
  EcdhPtr c(ECGOST_to_ECDH(pub.get()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->private_key, nullptr);
  ASSERT_EQ(ECDH_generate_key(c.get()), 1);
  ASSERT_NE(c->private_key, nullptr);
  EXPECT_NE(ECPOINT_cmp(c->public_key, kb->Q), 0);
}

// Peer points that must never be multiplied, in both modes; each failure also
// forgets the earlier shared value.
TEST_P(EcdhAgreement, HostilePeersAreRefused) {
  CurvePtr other =
      LoadCurve(std::get<0>(GetParam()) == &ECURVE_DEF_191 ? &ECURVE_DEF_2_255_431 : &ECURVE_DEF_191, ECURVE_AFFINE);
  for (int mode : {0, 2}) {
    EcdhPtr a(ECDH_new(curve_.get(), mode));
    EcdhPtr b(ECDH_new(curve_.get(), mode));
    ASSERT_EQ(ECDH_generate_key(a.get()), 1);
    ASSERT_EQ(ECDH_generate_key(b.get()), 1);
    Affine good = AffineOf(b->public_key);
    BnPtr y1(BN_dup(good.y.get()));
    BN_add_word(y1.get(), 1);
    BnPtr x_p(BN_new());
    BN_add(x_p.get(), good.x.get(), curve_->p);
    BnPtr zero(BN_new());
    BnPtr minus_y(BN_new());
    BN_sub(minus_y.get(), curve_->p, good.y.get());
    struct Case {
      const char* name;
      const BIGNUM* x;
      const BIGNUM* y;
      bool infinity;
      bool ok;
    };
    const Case cases[] = {
        {"valid", good.x.get(), good.y.get(), false, true}, {"negated", good.x.get(), minus_y.get(), false, true},
        {"infinity", nullptr, nullptr, true, false},        {"off the curve", good.x.get(), y1.get(), false, false},
        {"x + p", x_p.get(), good.y.get(), false, false},   {"origin", zero.get(), zero.get(), false, false},
    };
    for (const auto& c : cases) {
      PointPtr peer(ECPOINT_new(curve_.get()));
      if (c.infinity) {
        ASSERT_TRUE(ECPOINT_set_infinity(peer.get()));
      } else {
        SetAffine(peer.get(), c.x, c.y);
      }
      ASSERT_EQ(ECDH_compute_key(b->public_key, a.get()), 1);
      ERR_clear_error();
      EXPECT_EQ(ECDH_compute_key(peer.get(), a.get()), c.ok ? 1 : 0) << c.name << " mode " << mode;
      if (!c.ok) {
        EXPECT_EQ(a->shared, nullptr) << c.name;
        EXPECT_TRUE(QueueHas(ECGOST_F_ECDH_COMPUTE_KEY, ERRLIB_ECGOST)) << c.name;
      }
    }
    // A point of another curve, valid there.
    EcdhPtr foreign(ECDH_new(other.get(), 0));
    ASSERT_EQ(ECDH_generate_key(foreign.get()), 1);
    EXPECT_EQ(ECDH_compute_key(foreign->public_key, a.get()), 0);
    EXPECT_EQ(ECDH_compute_key(nullptr, a.get()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Curves, EcdhAgreement,
                         ::testing::Combine(::testing::Values(&ECURVE_DEF_191, &ECURVE_DEF_2_255_431),
                                            ::testing::Values(ECURVE_AFFINE, ECURVE_PROJECTIVE)));

// The x = 0 point of curve 191 (b is a square there) lies on the curve but is
// refused as a peer.
TEST(EcdhEdges, PointWithZeroXIsRefused) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  BnPtr y(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_NE(BN_mod_sqrt(y.get(), curve->b, curve->p, ctx.get()), nullptr) << "b is not a square";
  BnPtr zero(BN_new());
  PointPtr peer(ECPOINT_new(curve.get()));
  SetAffine(peer.get(), zero.get(), y.get());
  ASSERT_EQ(ECPOINT_lies(peer.get()), 1);
  EXPECT_EQ(ECGOST_is_pubkey_valid(peer.get(), 0), 0);
  EcdhPtr a(ECDH_new(curve.get(), 0));
  ASSERT_EQ(ECDH_generate_key(a.get()), 1);
  EXPECT_EQ(ECDH_compute_key(peer.get(), a.get()), 0);
}

// The private number is uniform in [1, q - 1]: out-of-range draws are thrown
// away (the fed value q would otherwise become 0 and q + 1 would become 1).
TEST(EcdhEdges, PrivateDrawDiscardsOutOfRange) {
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  std::vector<unsigned char> feed = Fixed(curve->q, 32);
  BnPtr q1(BN_dup(curve->q));
  BN_add_word(q1.get(), 1);
  auto above = Fixed(q1.get(), 32);
  feed.insert(feed.end(), above.begin(), above.end());
  feed.insert(feed.end(), 32, 0);
  auto k = Bytes("00000000000000000000000000000000000000000000000000000000000000AB");
  feed.insert(feed.end(), k.begin(), k.end());
  EcdhPtr a(ECDH_new(curve.get(), 0));
  {
    FixedRandom rand(feed);
    ASSERT_EQ(ECDH_generate_key(a.get()), 1);
    EXPECT_EQ(RAND_fixed_remaining(), 0u);
  }
  EXPECT_EQ(ToHex(a->private_key), "AB");
  // A dry source leaves the object without a key.
  EcdhPtr b(ECDH_new(curve.get(), 0));
  {
    FixedRandom rand(std::vector<unsigned char>(8, 1));
    EXPECT_EQ(ECDH_generate_key(b.get()), 0);
  }
  EXPECT_EQ(b->private_key, nullptr);
  EXPECT_EQ(b->public_key, nullptr);
  EXPECT_EQ(ECDH_compute_key(a->public_key, b.get()), 0);
}

TEST(EcdhEdges, ModeNeedsACofactor) {
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  EXPECT_EQ(EcdhPtr(ECDH_new(curve.get(), 1))->mode, 1);
  EXPECT_EQ(EcdhPtr(ECDH_new(curve.get(), 7))->mode, 0);
  BN_free(curve->h);
  curve->h = nullptr;
  EXPECT_EQ(EcdhPtr(ECDH_new(curve.get(), 2))->mode, 0);
  EXPECT_EQ(ECDH_new(nullptr, 0), nullptr);
}

// A curve with cofactor 8 (Curve25519 in short Weierstrass form): points with
// a small-order part exist on it.
class EcdhCofactorCurve : public ::testing::Test {
 protected:
  void SetUp() override {
    curve_.reset(ECURVE_new(ECURVE_PROJECTIVE));
    ASSERT_NE(curve_, nullptr);
    ASSERT_TRUE(BN_hex2bn(&curve_->p, "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED"));
    ASSERT_TRUE(BN_hex2bn(&curve_->a, "2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA984914A144"));
    ASSERT_TRUE(BN_hex2bn(&curve_->b, "7B425ED097B425ED097B425ED097B425ED097B425ED097B4260B5E9C7710C864"));
    ASSERT_TRUE(BN_hex2bn(&curve_->q, "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED"));
    SetAffine(curve_->P, Hex("2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAD245A").get(),
              Hex("20AE19A1B8A086B4E01EDD2C7748D14C923D4D7E6D7C61B229E9C5A27ECED3D9").get());
    ASSERT_EQ(ECPOINT_lies(curve_->P), 1);
    // G + T with T of order 2, and a point of order 4.
    g_plus_t_ = Point("71C71C71C71C71C71C71C71C71C71C71C71C71C71C71C71C71C71C71C71EEB63",
                      "387C4536E46FCBC4E0C9E3FC4A61138A1DCCACDED58FD8DE320CEA98DBAB460B");
    order4_ = Point("2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAD2452",
                    "6BE4F497F9A9C2AFC21FA77AD7F4A6EF635A11C7284A9363E9A248EF9C884415");
  }
  PointPtr Point(const char* x, const char* y) {
    PointPtr p(ECPOINT_new(curve_.get()));
    SetAffine(p.get(), Hex(x).get(), Hex(y).get());
    EXPECT_EQ(ECPOINT_lies(p.get()), 1);
    return p;
  }
  void SetCofactor() { ASSERT_TRUE(BN_hex2bn(&curve_->h, "8")); }

  SystemRandom rand_;
  CurvePtr curve_;
  PointPtr g_plus_t_, order4_;
};

// Without a cofactor (mode 0) the order check refuses both points.
TEST_F(EcdhCofactorCurve, PlainModeChecksTheOrder) {
  EcdhPtr a(ECDH_new(curve_.get(), 2));
  EXPECT_EQ(a->mode, 0);
  ASSERT_EQ(ECDH_generate_key(a.get()), 1);
  EXPECT_EQ(ECDH_compute_key(curve_->P, a.get()), 1);
  EXPECT_EQ(ECDH_compute_key(g_plus_t_.get(), a.get()), 0);
  EXPECT_EQ(ECDH_compute_key(order4_.get(), a.get()), 0);
  EXPECT_EQ(ECGOST_is_pubkey_valid(g_plus_t_.get(), 0), 1);
  EXPECT_EQ(ECGOST_is_pubkey_valid(g_plus_t_.get(), 1), 0);
}

// A curve record without an order (q empty, as ECURVE_new leaves it) cannot
// prove the order of anything: the full check refuses instead of passing on
// 0 * point = infinity.
TEST_F(EcdhCofactorCurve, NoOrderMeansNoFullCheck) {
  BN_zero(curve_->q);
  EXPECT_EQ(ECGOST_is_pubkey_valid(g_plus_t_.get(), 0), 1);
  EXPECT_EQ(ECGOST_is_pubkey_valid(g_plus_t_.get(), 1), 0);
  EXPECT_EQ(ECGOST_is_pubkey_valid(curve_->P, 1), 0);
  EcdhPtr a(ECDH_new(curve_.get(), 0));
  a->private_key = Hex("1234567").release();
  EXPECT_EQ(ECDH_compute_key(g_plus_t_.get(), a.get()), 0);
  EXPECT_EQ(a->shared, nullptr);
  ERR_clear_error();
}

// With the cofactor the small-order part is cleared: G + T agrees exactly like
// G, and a point of small order alone gives the point at infinity (refused).
TEST_F(EcdhCofactorCurve, CofactorModesClearTheSmallPart) {
  SetCofactor();
  for (int mode : {1, 2}) {
    for (int round = 0; round < 4; ++round) {
      EcdhPtr a(ECDH_new(curve_.get(), mode));
      ASSERT_EQ(a->mode, mode);
      // An odd private number: reduced mod q, (d mod 2) * T would survive.
      BnPtr d = RandomBelow(curve_->q);
      if (!BN_is_odd(d.get())) BN_sub_word(d.get(), 1);
      a->private_key = BN_dup(d.get());
      ASSERT_EQ(ECDH_generate_key(a.get()), 1);
      ASSERT_EQ(BN_cmp(a->private_key, d.get()), 0);
      ASSERT_EQ(ECDH_compute_key(curve_->P, a.get()), 1);
      BnPtr with_g(BN_dup(a->shared));
      ASSERT_EQ(ECDH_compute_key(g_plus_t_.get(), a.get()), 1) << mode;
      EXPECT_EQ(BN_cmp(a->shared, with_g.get()), 0) << "mode " << mode << " d " << ToHex(a->private_key);
      EXPECT_EQ(ECDH_compute_key(order4_.get(), a.get()), 0);
      // Mode 2 agrees with plain d * G on points of order q; mode 1 with 8d * G.
      Affine g = AffineOf(curve_->P);
      BnPtr t(BN_dup(a->private_key));
      if (mode == 1) BN_mul_word(t.get(), 8);
      BnPtr ref = ReferenceProductX(curve_.get(), t.get(), g.x.get(), g.y.get());
      EXPECT_EQ(BN_cmp(with_g.get(), ref.get()), 0) << "mode " << mode;
    }
  }
}

}  // namespace
}  // namespace qcrypto
