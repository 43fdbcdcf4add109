// Signing and verification of a ready digest: the published example, the
// nonce draw, digest reduction, hostile signatures and keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/ec/ecgost_codes.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/ecgost/ecgost_test_util.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

// The curve of the example is the built-in curve over 2^255 + 0x431; both
// point forms must give the same numbers.
class EcgostRfcExample : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    v_ = ReadVectorFile("gost3410-2001_rfc5832_example.txt");
    ASSERT_FALSE(v_["k"].empty()) << "vector file not found";
    curve_ = LoadCurve(&ECURVE_DEF_2_255_431, GetParam());
    ASSERT_NE(curve_, nullptr);
    key_ = MakeKey(curve_.get(), Hex(v_["d"]).get());
    ASSERT_NE(key_, nullptr);
  }
  std::vector<unsigned char> Digest() { return Bytes(v_["e"]); }

  std::map<std::string, std::string> v_;
  CurvePtr curve_;
  KeyPtr key_;
};

TEST_P(EcgostRfcExample, CurveIsTheExampleCurve) {
  for (auto [name, number] : {std::pair{"p", curve_->p}, {"a", curve_->a}, {"b", curve_->b}, {"q", curve_->q}}) {
    EXPECT_EQ(BN_cmp(number, Hex(v_[name]).get()), 0) << name;
  }
  BnPtr gx(BN_new()), gy(BN_new());
  ECPOINT* g = ECPOINT_dup(curve_->P);
  ASSERT_TRUE(ECPOINT_to_affine(g));
  EXPECT_EQ(BN_cmp(g->X, Hex(v_["Gx"]).get()), 0);
  EXPECT_EQ(BN_cmp(g->Y, Hex(v_["Gy"]).get()), 0);
  ECPOINT_free(g);
}

TEST_P(EcgostRfcExample, PublicPointFromPrivate) {
  EXPECT_EQ(key_->Q->kind, ECURVE_AFFINE);
  EXPECT_EQ(ToHex(key_->Q->X), v_["Qx"]);
  EXPECT_EQ(ToHex(key_->Q->Y), v_["Qy"]);
}

TEST_P(EcgostRfcExample, FedNonceGivesExactSignature) {
  auto k = Bytes(v_["k"]);
  FixedRandom rand(k);
  auto e = Digest();
  SigPtr sig(ECGOST_do_sign(e.data(), static_cast<int>(e.size()), key_.get()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(ToHex(sig->r), v_["r"]);
  EXPECT_EQ(ToHex(sig->s), v_["s"]);
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
  EXPECT_EQ(ECGOST_do_verify(e.data(), static_cast<int>(e.size()), sig.get(), key_.get()), 1);
}

TEST_P(EcgostRfcExample, DigestSlotWritesRawAndDer) {
  auto e = Digest();
  std::vector<unsigned char> out(static_cast<size_t>(ECGOST_size(key_.get())));
  ASSERT_EQ(out.size(), 72u);
  unsigned int len = 999;
  {
    FixedRandom rand(Bytes(v_["k"]));
    ASSERT_EQ(ECGOST_sign_digest(0, key_.get(), e.data(), 32, out.data(), &len), 1);
  }
  ASSERT_EQ(len, 64u);
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 64), Bytes(v_["r"] + v_["s"]));
  EXPECT_EQ(ECGOST_verify_digest(0, key_.get(), e.data(), 32, out.data(), 64), 1);
  {
    FixedRandom rand(Bytes(v_["k"]));
    ASSERT_EQ(ECGOST_sign_digest(1, key_.get(), e.data(), 32, out.data(), &len), 1);
  }
  // r has its top bit clear (no padding byte), s has 7 leading zero bits.
  std::vector<unsigned char> der = Bytes(
      "3044"
      "0220" +
      v_["r"] + "0220" + v_["s"]);
  ASSERT_EQ(len, der.size());
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + len), der);
  EXPECT_EQ(ECGOST_verify_digest(1, key_.get(), e.data(), 32, out.data(), static_cast<int>(len)), 1);
  // The other form of the same bytes does not verify.
  EXPECT_EQ(ECGOST_verify_digest(0, key_.get(), e.data(), 32, out.data(), static_cast<int>(len)), 0);
}

// The draw keeps only values in [1, q - 1] as they come: q itself, values
// above q and zero are thrown away, not reduced into range.
TEST_P(EcgostRfcExample, OutOfRangeNonceDrawsAreDiscarded) {
  std::vector<unsigned char> feed;
  for (const char* bad : {"8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B3",
                          "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                          "8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B4",
                          "0000000000000000000000000000000000000000000000000000000000000000"}) {
    auto b = Bytes(bad);
    feed.insert(feed.end(), b.begin(), b.end());
  }
  auto k = Bytes(v_["k"]);
  feed.insert(feed.end(), k.begin(), k.end());
  FixedRandom rand(feed);
  auto e = Digest();
  SigPtr sig(ECGOST_do_sign(e.data(), 32, key_.get()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(ToHex(sig->r), v_["r"]);
  EXPECT_EQ(ToHex(sig->s), v_["s"]);
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
}

TEST_P(EcgostRfcExample, DrySourceFailsCleanly) {
  FixedRandom rand(std::vector<unsigned char>(16, 0x11));  // half a draw
  auto e = Digest();
  EXPECT_EQ(ECGOST_do_sign(e.data(), 32, key_.get()), nullptr);
  EXPECT_TRUE(QueueHas(ECGOST_F_ECGOST_DO_SIGN, ERRLIB_ECGOST));
  unsigned char out[72];
  unsigned int len = 5;
  EXPECT_EQ(ECGOST_sign_digest(1, key_.get(), e.data(), 32, out, &len), 0);
  EXPECT_EQ(len, 0u);
}

// Digests whose number is 0 mod q sign as the number 1; larger ones are reduced.
TEST_P(EcgostRfcExample, DigestNumberIsReducedAndZeroIsOne) {
  const std::string q = v_["q"];
  struct Case {
    std::string digest, same_as;
  };
  const Case cases[] = {
      {q, "01"},
      {std::string(64, '0'), "01"},
      {"00", "01"},
      // q + 5 as a 32-byte digest, and a 33-byte digest 2q + 5.
      {"8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B8", "05"},
      {"0100000000000000000000000000000002A1FD1431252EC2A98B39F8327599EB6B", "05"},
  };
  for (const auto& c : cases) {
    auto d1 = Bytes(c.digest);
    auto d2 = Bytes(c.same_as);
    SigPtr s1, s2;
    {
      FixedRandom rand(Bytes(v_["k"]));
      s1.reset(ECGOST_do_sign(d1.data(), static_cast<int>(d1.size()), key_.get()));
    }
    {
      FixedRandom rand(Bytes(v_["k"]));
      s2.reset(ECGOST_do_sign(d2.data(), static_cast<int>(d2.size()), key_.get()));
    }
    ASSERT_NE(s1, nullptr) << c.digest;
    ASSERT_NE(s2, nullptr) << c.same_as;
    EXPECT_EQ(BN_cmp(s1->s, s2->s), 0) << c.digest;
    EXPECT_EQ(ECGOST_do_verify(d2.data(), static_cast<int>(d2.size()), s1.get(), key_.get()), 1) << c.digest;
  }
  // The digest is read as delivered: its byte reverse is another number.
  auto reversed = Bytes(v_["e"]);
  std::reverse(reversed.begin(), reversed.end());
  SigPtr sig(ECGOST_SIG_new());
  BN_copy(sig->r, Hex(v_["r"]).get());
  BN_copy(sig->s, Hex(v_["s"]).get());
  EXPECT_EQ(ECGOST_do_verify(reversed.data(), 32, sig.get(), key_.get()), 0);
}

// Each change of the example's signature, digest or key: result and reason.
TEST_P(EcgostRfcExample, TamperedInputsAreRejected) {
  BnPtr q = Hex(v_["q"]);
  BnPtr r = Hex(v_["r"]);
  BnPtr s = Hex(v_["s"]);
  struct Case {
    const char* name;
    std::string r, s, e;
    int expected;
    int reason;  // 0: not checked
  };
  auto plus = [](const BIGNUM* a, long add) {
    BnPtr v(BN_dup(a));
    if (add >= 0)
      BN_add_word(v.get(), static_cast<BN_ULONG>(add));
    else
      BN_sub_word(v.get(), static_cast<BN_ULONG>(-add));
    return ToHex(v.get());
  };
  BnPtr r_plus_q(BN_new());
  BN_add(r_plus_q.get(), r.get(), q.get());
  std::string e = v_["e"];
  std::string e_flip = e;
  e_flip[63] = e_flip[63] == '5' ? '4' : '5';
  const Case cases[] = {
      {"valid", v_["r"], v_["s"], e, 1, 0},
      {"r+1", plus(r.get(), 1), v_["s"], e, 0, ECGOST_R_SIGNATURE_FAILURE},
      {"s-1", v_["r"], plus(s.get(), -1), e, 0, ECGOST_R_SIGNATURE_FAILURE},
      {"digest", v_["r"], v_["s"], e_flip, 0, ECGOST_R_SIGNATURE_FAILURE},
      {"swapped", v_["s"], v_["r"], e, 0, ECGOST_R_SIGNATURE_FAILURE},
      {"r=0", "0", v_["s"], e, 0, ECGOST_R_ZERO_R},
      {"s=0", v_["r"], "0", e, 0, ECGOST_R_ZERO_S},
      {"r=q", v_["q"], v_["s"], e, 0, ECGOST_R_R_TOO_BIG},
      {"s=q", v_["r"], v_["q"], e, 0, ECGOST_R_S_TOO_BIG},
      {"r+q", ToHex(r_plus_q.get()), v_["s"], e, 0, ECGOST_R_R_TOO_BIG},
      {"s=2^256-1", v_["r"], std::string(64, 'F'), e, 0, ECGOST_R_S_TOO_BIG},
      {"r=-r", "-" + v_["r"], v_["s"], e, 0, ECGOST_R_ZERO_R},
  };
  for (const auto& c : cases) {
    SigPtr sig(ECGOST_SIG_new());
    BIGNUM* rp = sig->r;
    BIGNUM* sp = sig->s;
    ASSERT_NE(BN_hex2bn(&rp, c.r.c_str()), 0);
    ASSERT_NE(BN_hex2bn(&sp, c.s.c_str()), 0);
    auto digest = Bytes(c.e);
    ERR_clear_error();
    EXPECT_EQ(ECGOST_do_verify(digest.data(), 32, sig.get(), key_.get()), c.expected) << c.name;
    if (c.reason != 0) {
      EXPECT_TRUE(QueueHas(ECGOST_F_ECGOST_DO_VERIFY, c.reason)) << c.name;
    }
  }
  // Another key (d + 1) does not verify the example.
  BnPtr d2 = Hex(v_["d"]);
  BN_add_word(d2.get(), 1);
  KeyPtr other = MakeKey(curve_.get(), d2.get());
  ASSERT_NE(other, nullptr);
  SigPtr sig(ECGOST_SIG_new());
  BN_copy(sig->r, r.get());
  BN_copy(sig->s, s.get());
  auto digest = Bytes(e);
  EXPECT_EQ(ECGOST_do_verify(digest.data(), 32, sig.get(), other.get()), 0);
}

// Public points no signature may be checked against: an error (-1), never "valid".
TEST_P(EcgostRfcExample, BadPublicPointsAreErrors) {
  auto e = Digest();
  SigPtr sig(ECGOST_SIG_new());
  BN_copy(sig->r, Hex(v_["r"]).get());
  BN_copy(sig->s, Hex(v_["s"]).get());
  BnPtr qx = Hex(v_["Qx"]), qy = Hex(v_["Qy"]);
  BnPtr qy1(BN_dup(qy.get()));
  BN_add_word(qy1.get(), 1);
  BnPtr qx_p(BN_new());
  BN_add(qx_p.get(), qx.get(), curve_->p);
  BnPtr zero(BN_new());
  struct Case {
    const char* name;
    const BIGNUM* x;
    const BIGNUM* y;
    bool infinity;
  };
  const Case cases[] = {
      {"infinity", nullptr, nullptr, true},
      {"off the curve", qx.get(), qy1.get(), false},
      {"x + p", qx_p.get(), qy.get(), false},
      {"origin", zero.get(), zero.get(), false},
  };
  for (const auto& c : cases) {
    KeyPtr key(ECGOST_new(curve_.get()));
    if (c.infinity) {
      ASSERT_TRUE(ECPOINT_set_infinity(key->Q));
    } else {
      SetAffine(key->Q, c.x, c.y);
    }
    EXPECT_EQ(ECGOST_do_verify(e.data(), 32, sig.get(), key.get()), -1) << c.name;
    EXPECT_EQ(ECGOST_verify_digest(1, key.get(), e.data(), 32, nullptr, 0), 0) << c.name;
    EXPECT_EQ(ECGOST_is_pubkey_valid(key->Q, 0), 0) << c.name;
  }
  // The forgery a point at infinity would allow: r = x((s / e) * P) mod q.
  KeyPtr key(ECGOST_new(curve_.get()));
  BnPtr forged_s = Hex("1234567890");
  BN_CTX* ctx = BN_CTX_new();
  BnPtr ev = Hex(v_["e"]), z(BN_new());
  BN_mod_inverse(z.get(), ev.get(), curve_->q, ctx);
  BN_mod_mul(z.get(), z.get(), forged_s.get(), curve_->q, ctx);
  ECPOINT* c = ECPOINT_dup(curve_->P);
  ASSERT_TRUE(ECPOINT_mul(c, z.get()));
  SigPtr forged(ECGOST_SIG_new());
  ASSERT_NE(ECPOINT_get_x(forged->r, c, ctx), nullptr);
  BN_nnmod(forged->r, forged->r, curve_->q, ctx);
  BN_copy(forged->s, forged_s.get());
  ECPOINT_free(c);
  BN_CTX_free(ctx);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, forged.get(), key.get()), -1);
}

TEST_P(EcgostRfcExample, MissingPartsAreErrors) {
  auto e = Digest();
  SigPtr sig(ECGOST_SIG_new());
  BN_copy(sig->r, Hex(v_["r"]).get());
  BN_copy(sig->s, Hex(v_["s"]).get());
  EXPECT_EQ(ECGOST_do_verify(nullptr, 32, sig.get(), key_.get()), -1);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 0, sig.get(), key_.get()), -1);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, nullptr, key_.get()), -1);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, sig.get(), nullptr), -1);
  ECGOST_SIG half{sig->r, nullptr};
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, &half, key_.get()), -1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EcgostRfcExample, ::testing::Values(ECURVE_AFFINE, ECURVE_PROJECTIVE));

// The same example as an independent library's vector files carry it: the
// digest byte-reversed and the signature as s || r.
TEST(EcgostBotanVectors, SignAndVerify) {
  auto sign = ReadVectorFile("botan_gost_3410_sign.vec");
  auto verify = ReadVectorFile("botan_gost_3410_verify.vec");
  ASSERT_FALSE(sign["Signature"].empty());
  ASSERT_FALSE(verify["Signature"].empty());
  CurvePtr curve = LoadCurve(&ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  ASSERT_EQ(BN_cmp(curve->q, Hex(sign["Order"]).get()), 0);
  KeyPtr key = MakeKey(curve.get(), Hex(sign["X"]).get());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(BN_cmp(key->Q->X, Hex(verify["Px"]).get()), 0);
  EXPECT_EQ(BN_cmp(key->Q->Y, Hex(verify["Py"]).get()), 0);

  auto digest = Bytes(sign["Msg"]);
  std::reverse(digest.begin(), digest.end());
  auto s_r = Bytes(sign["Signature"]);
  std::vector<unsigned char> r_s(s_r.begin() + 32, s_r.end());
  r_s.insert(r_s.end(), s_r.begin(), s_r.begin() + 32);

  unsigned char out[72];
  unsigned int len = 0;
  {
    FixedRandom rand(Bytes(sign["Nonce"]));
    ASSERT_EQ(ECGOST_sign_digest(0, key.get(), digest.data(), 32, out, &len), 1);
  }
  EXPECT_EQ(std::vector<unsigned char>(out, out + len), r_s);

  auto vdigest = Bytes(verify["Msg"]);
  std::reverse(vdigest.begin(), vdigest.end());
  auto vs_r = Bytes(verify["Signature"]);
  std::vector<unsigned char> vr_s(vs_r.begin() + 32, vs_r.end());
  vr_s.insert(vr_s.end(), vs_r.begin(), vs_r.begin() + 32);
  EXPECT_EQ(ECGOST_verify_digest(0, key.get(), vdigest.data(), 32, vr_s.data(), 64), 1);
  EXPECT_EQ(ECGOST_verify_digest(0, key.get(), vdigest.data(), 32, vs_r.data(), 64), 0);
}

// A failed derivation keeps the earlier public point.
TEST(EcgostGeneratePubkey, FailureKeepsThePoint) {
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  BnPtr d = Hex("1D2C3B4A");
  KeyPtr key = MakeKey(curve.get(), d.get());
  ASSERT_NE(key, nullptr);
  const std::string x = ToHex(key->Q->X), y = ToHex(key->Q->Y);
  BnPtr q_plus(BN_dup(curve->q));
  BN_add_word(q_plus.get(), 7);
  struct Case {
    const char* name;
    const BIGNUM* d;
    bool protect;
  };
  BnPtr zero(BN_new());
  const Case cases[] = {{"d = 0", zero.get(), false},
                        {"d = q", curve->q, false},
                        {"d > q", q_plus.get(), false},
                        {"protected d", d.get(), true}};
  for (const auto& c : cases) {
    ASSERT_NE(BN_copy(key->d, c.d), nullptr);
    if (c.protect) key->tag = BN_new();
    ERR_clear_error();
    EXPECT_EQ(ECGOST_generate_pubkey(key.get()), 0) << c.name;
    EXPECT_TRUE(QueueHas(ECGOST_F_ECGOST_GENERATE_PUBKEY, ERRLIB_ECGOST)) << c.name;
    EXPECT_EQ(ToHex(key->Q->X), x) << c.name;
    EXPECT_EQ(ToHex(key->Q->Y), y) << c.name;
    BN_clear_free(key->tag);
    key->tag = nullptr;
  }
  // The same key derives again once d is sound; q - 1 gives -P.
  BnPtr q1(BN_dup(curve->q));
  BN_sub_word(q1.get(), 1);
  ASSERT_NE(BN_copy(key->d, q1.get()), nullptr);
  ASSERT_EQ(ECGOST_generate_pubkey(key.get()), 1);
  ECPOINT* g = ECPOINT_dup(curve->P);
  ASSERT_TRUE(ECPOINT_to_affine(g));
  EXPECT_EQ(BN_cmp(key->Q->X, g->X), 0);
  BnPtr neg(BN_new());
  BN_sub(neg.get(), curve->p, g->Y);
  EXPECT_EQ(BN_cmp(key->Q->Y, neg.get()), 0);
  ECPOINT_free(g);
}

// Keys that must not sign: no curve order, no d, d out of range, d still protected, provider-bound.
TEST(EcgostSign, UnusableKeysGiveNoSignature) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  unsigned char digest[32] = {1, 2, 3};
  unsigned char out[72];
  for (int c = 0; c < 4; ++c) {
    KeyPtr key = MakeKey(curve.get(), Hex("123456789").get());
    ASSERT_NE(key, nullptr);
    if (c == 0) BN_zero(key->d);
    if (c == 1) BN_copy(key->d, curve->q);
    if (c == 2) key->tag = BN_new();
    if (c == 3) key->provider = 1;
    ERR_clear_error();
    if (c < 3) {
      EXPECT_EQ(ECGOST_do_sign(digest, 32, key.get()), nullptr) << c;
    }
    unsigned int len = 77;
    EXPECT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, out, &len), 0) << c;
    EXPECT_EQ(len, 0u) << c;
    EXPECT_NE(ERR_peek_error(), 0u) << c;
  }
  unsigned int len = 77;
  EXPECT_EQ(ECGOST_sign_digest(1, nullptr, digest, 32, out, &len), 0);
  EXPECT_EQ(len, 0u);
}

// Messages hashed with GOST R 34.11-94, signed and verified on both built-in
// curves and both point forms; any change of the message fails.
TEST(EcgostSign, HashedMessagesRoundTrip) {
  SystemRandom rand;
  for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    for (int kind : {ECURVE_AFFINE, ECURVE_PROJECTIVE}) {
      CurvePtr curve = LoadCurve(def, kind);
      ASSERT_NE(curve, nullptr);
      for (int i = 0; i < 3; ++i) {
        KeyPtr key = MakeKey(curve.get(), RandomBelow(curve->q).get());
        ASSERT_NE(key, nullptr);
        auto message = RandomBytes(100 + static_cast<size_t>(i));
        unsigned char digest[32];
        ASSERT_NE(GOSTH_digest(message.data(), static_cast<int>(message.size()), nullptr, nullptr, digest), nullptr);
        for (int form : {0, 1}) {
          std::vector<unsigned char> sig(static_cast<size_t>(ECGOST_size(key.get())));
          unsigned int len = 0;
          ASSERT_EQ(ECGOST_sign_digest(form, key.get(), digest, 32, sig.data(), &len), 1);
          ASSERT_LE(len, sig.size());
          EXPECT_EQ(ECGOST_verify_digest(form, key.get(), digest, 32, sig.data(), static_cast<int>(len)), 1);
          message[static_cast<size_t>(i)] ^= 0x40;
          unsigned char other[32];
          GOSTH_digest(message.data(), static_cast<int>(message.size()), nullptr, nullptr, other);
          message[static_cast<size_t>(i)] ^= 0x40;
          EXPECT_EQ(ECGOST_verify_digest(form, key.get(), other, 32, sig.data(), static_cast<int>(len)), 0);
        }
      }
    }
  }
}

// Two signatures of one digest use different nonces.
TEST(EcgostSign, NoncesDiffer) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  KeyPtr key = MakeKey(curve.get(), RandomBelow(curve->q).get());
  unsigned char digest[32] = {9};
  SigPtr a(ECGOST_do_sign(digest, 32, key.get()));
  SigPtr b(ECGOST_do_sign(digest, 32, key.get()));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(BN_cmp(a->r, b->r), 0);
  EXPECT_EQ(ECGOST_do_verify(digest, 32, a.get(), key.get()), 1);
  EXPECT_EQ(ECGOST_do_verify(digest, 32, b.get(), key.get()), 1);
}

TEST(EcgostKeyRecord, DefaultCurveAndReferences) {
  KeyPtr key(ECGOST_new(nullptr));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->curve->nid, ECURVE_NID_DEFAULT);
  EXPECT_EQ(key->curve->kind, ECURVE_PROJECTIVE);
  EXPECT_TRUE(ECPOINT_is_infinity(key->Q));
  EXPECT_TRUE(BN_is_zero(key->d));
  EXPECT_EQ(key->tag, nullptr);
  EXPECT_EQ(ECGOST_size(key.get()), 72);
  EXPECT_EQ(ECGOST_up_ref(key.get()), 2);
  ECGOST_free(key.get());
  EXPECT_EQ(key->references, 1);
  // The key holds its own reference to a curve it was given.
  CurvePtr curve = LoadCurve(&ECURVE_DEF_2_255_431, ECURVE_AFFINE);
  int before = curve->references;
  {
    KeyPtr k2(ECGOST_new(curve.get()));
    EXPECT_EQ(curve->references, before + 1);
    k2->secret = static_cast<unsigned char*>(OPENSSL_malloc(ECGOST_SECRET_BYTES));
    memset(k2->secret, 0x5a, ECGOST_SECRET_BYTES);
  }
  EXPECT_EQ(curve->references, before);
}

}  // namespace
}  // namespace qcrypto
