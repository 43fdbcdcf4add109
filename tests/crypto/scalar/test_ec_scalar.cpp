// Arithmetic modulo a group order on the fixed-width form, held against
// OpenSSL's BIGNUM arithmetic on random operands and on the edges (0, q - 1,
// values at and above q, digests of every length), and the nonce draw fed
// with chosen bytes.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/ec/ec_scalar.h"
#include "crypto/ec/ecurve.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/support/bn_test_data.h"

namespace qcrypto {
namespace {

using scalar::Fe;
using scalar::ScalarField;
using test_support::Hex;
using test_support::ToHex;

// Orders of every kind the signers meet: the two built-in curves, the
// built-in 34.10-94 q, and odd moduli that are not orders of anything
// (short, not prime, just below 2^256) to exercise the reduction.
std::vector<std::string> Orders() {
  return {ECURVE_DEF_191.q, ECURVE_DEF_2_255_431.q, "920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB",
          "1FFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"};
}

BnPtr RandomBelow(const BIGNUM* q) {
  BnPtr v(BN_new());
  EXPECT_TRUE(BN_rand_range(v.get(), q));
  return v;
}

class ScalarTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    q_ = Hex(GetParam());
    ctx_.reset(BN_CTX_new());
    field_ = scalar::scalar_field_for(q_.get());
    ASSERT_NE(field_, nullptr);
  }
  Fe From(const BIGNUM* x) {
    Fe r{};
    EXPECT_TRUE(scalar::scalar_from_bn(*field_, r, x));
    return r;
  }
  BnPtr To(const Fe& a) {
    BnPtr r(BN_new());
    EXPECT_TRUE(scalar::scalar_to_bn(*field_, r.get(), a));
    return r;
  }
  // The numbers every operation is tried on: edges and random values.
  std::vector<BnPtr> Operands() {
    std::vector<BnPtr> v;
    v.push_back(Hex("0"));
    v.push_back(Hex("1"));
    BnPtr qm1(BN_dup(q_.get()));
    BN_sub_word(qm1.get(), 1);
    v.push_back(std::move(qm1));
    for (int i = 0; i < 40; ++i) v.push_back(RandomBelow(q_.get()));
    return v;
  }

  BnPtr q_;
  BnCtxPtr ctx_;
  std::shared_ptr<const ScalarField> field_;
};

TEST_P(ScalarTest, ContextDescribesQ) {
  EXPECT_EQ(field_->bits, BN_num_bits(q_.get()));
  EXPECT_EQ(field_->bytes, BN_num_bytes(q_.get()));
  // The same q gives the cached context.
  BnPtr again(BN_dup(q_.get()));
  EXPECT_EQ(scalar::scalar_field_for(again.get()), field_);
}

TEST_P(ScalarTest, ProductsAndSumsMatchBignum) {
  auto ops = Operands();
  BnPtr want(BN_new());
  for (size_t i = 0; i < ops.size(); ++i) {
    const BIGNUM* a = ops[i].get();
    const BIGNUM* b = ops[(i * 7 + 3) % ops.size()].get();
    Fe x = From(a), y = From(b), r;
    scalar::scalar_mul(*field_, r, x, y);
    ASSERT_TRUE(BN_mod_mul(want.get(), a, b, q_.get(), ctx_.get()));
    EXPECT_EQ(ToHex(To(r).get()), ToHex(want.get())) << ToHex(a) << " * " << ToHex(b);
    scalar::scalar_add(*field_, r, x, y);
    ASSERT_TRUE(BN_mod_add(want.get(), a, b, q_.get(), ctx_.get()));
    EXPECT_EQ(ToHex(To(r).get()), ToHex(want.get())) << ToHex(a) << " + " << ToHex(b);
  }
}

TEST_P(ScalarTest, SignatureEquationMatchesBignum) {
  // s = r*d + k*e mod q, the shape both signers compute.
  for (int i = 0; i < 20; ++i) {
    BnPtr r = RandomBelow(q_.get()), d = RandomBelow(q_.get()), k = RandomBelow(q_.get()), e = RandomBelow(q_.get());
    Fe rd, ke, s;
    scalar::scalar_mul(*field_, rd, From(r.get()), From(d.get()));
    scalar::scalar_mul(*field_, ke, From(k.get()), From(e.get()));
    scalar::scalar_add(*field_, s, rd, ke);
    BnPtr t1(BN_new()), t2(BN_new()), want(BN_new());
    ASSERT_TRUE(BN_mod_mul(t1.get(), r.get(), d.get(), q_.get(), ctx_.get()));
    ASSERT_TRUE(BN_mod_mul(t2.get(), k.get(), e.get(), q_.get(), ctx_.get()));
    ASSERT_TRUE(BN_mod_add(want.get(), t1.get(), t2.get(), q_.get(), ctx_.get()));
    EXPECT_EQ(ToHex(To(s).get()), ToHex(want.get()));
  }
}

TEST_P(ScalarTest, ConversionReducesAndRefuses) {
  // Values from q up to 2^256 - 1 come in reduced; wider or negative ones are refused.
  BnPtr want(BN_new());
  for (const char* text : {"0", "1"}) {
    BnPtr x(BN_dup(q_.get()));
    BN_add(x.get(), x.get(), Hex(text).get());
    if (BN_num_bits(x.get()) > 256) continue;
    ASSERT_TRUE(BN_nnmod(want.get(), x.get(), q_.get(), ctx_.get()));
    EXPECT_EQ(ToHex(To(From(x.get())).get()), ToHex(want.get()));
  }
  BnPtr top = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
  ASSERT_TRUE(BN_nnmod(want.get(), top.get(), q_.get(), ctx_.get()));
  EXPECT_EQ(ToHex(To(From(top.get())).get()), ToHex(want.get()));
  Fe r{};
  BnPtr wide = Hex("10000000000000000000000000000000000000000000000000000000000000000");
  EXPECT_FALSE(scalar::scalar_from_bn(*field_, r, wide.get()));
  EXPECT_FALSE(scalar::scalar_from_bn(*field_, r, Hex("-1").get()));
  EXPECT_FALSE(scalar::scalar_from_bn(*field_, r, nullptr));
  // 32 fixed bytes read big-endian.
  std::vector<unsigned char> bytes(32);
  for (int i = 0; i < 32; ++i) bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(0xF1 - 7 * i);
  BnPtr as_number(BN_bin2bn(bytes.data(), 32, nullptr));
  ASSERT_TRUE(BN_nnmod(want.get(), as_number.get(), q_.get(), ctx_.get()));
  scalar::scalar_from_bytes(*field_, r, bytes.data());
  EXPECT_EQ(ToHex(To(r).get()), ToHex(want.get()));
}

TEST_P(ScalarTest, RangeCheckOfAPrivateNumber) {
  BnPtr qm1(BN_dup(q_.get())), qp1(BN_dup(q_.get()));
  BN_sub_word(qm1.get(), 1);
  BN_add_word(qp1.get(), 1);
  struct Case {
    BnPtr x;
    bool usable;
  };
  Case cases[] = {
      {Hex("1"), true},
      {BnPtr(BN_dup(qm1.get())), true},
      {Hex("0"), false},
      {BnPtr(BN_dup(q_.get())), false},
      {BnPtr(BN_dup(qp1.get())), false},
      {Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), false},
      {Hex("10000000000000000000000000000000000000000000000000000000000000000"), false},
      {Hex("-1"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scalar::scalar_in_range(*field_, c.x.get()), c.usable) << ToHex(c.x.get());
  }
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(scalar::scalar_in_range(*field_, RandomBelow(q_.get()).get()));
}

TEST_P(ScalarTest, DigestNumberMatchesTheBignumRule) {
  BnPtr want(BN_new());
  std::vector<std::vector<unsigned char>> digests;
  for (size_t len : {0u, 1u, 7u, 31u, 32u, 33u, 63u, 64u, 65u, 100u}) {
    std::vector<unsigned char> d(len);
    if (len > 0) {
      ASSERT_EQ(::RAND_bytes(d.data(), static_cast<int>(len)), 1);
    }
    digests.push_back(d);
  }
  // q itself and zeros give 1.
  std::vector<unsigned char> qb(static_cast<size_t>(BN_num_bytes(q_.get())));
  BN_bn2bin(q_.get(), qb.data());
  digests.push_back(qb);
  digests.push_back(std::vector<unsigned char>(32, 0));
  digests.push_back(std::vector<unsigned char>(32, 0xFF));
  for (const auto& d : digests) {
    Fe e;
    scalar::scalar_from_digest(*field_, e, d.data(), d.size());
    ASSERT_TRUE(BN_digest_mod(want.get(), d.data(), static_cast<int>(d.size()), q_.get(), ctx_.get()));
    EXPECT_EQ(ToHex(To(e).get()), ToHex(want.get())) << "length " << d.size();
  }
  Fe e;
  scalar::scalar_from_digest(*field_, e, qb.data(), qb.size());
  EXPECT_EQ(ToHex(To(e).get()), "01");
}

INSTANTIATE_TEST_SUITE_P(Orders, ScalarTest, ::testing::ValuesIn(Orders()));

TEST(ScalarFieldFor, RefusesWhatMontgomeryCannotTake) {
  // Too small, even, negative, or wider than 256 bits.
  for (const char* q : {"0", "1", "3", "2", "-7", "1000000000000000000000000000000000000000000000000000000000000000F",
                        "920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EA"}) {
    EXPECT_EQ(scalar::scalar_field_for(Hex(q).get()), nullptr) << q;
  }
  EXPECT_EQ(scalar::scalar_field_for(nullptr), nullptr);
  EXPECT_NE(scalar::scalar_field_for(Hex("5").get()), nullptr);
}

// --- the nonce draw -------------------------------------------------------

class ScalarDrawTest : public ::testing::Test {
 protected:
  void SetUp() override { RAND_set_rand_method(RAND_fixed_method()); }
  void TearDown() override { RAND_set_rand_method(nullptr); }
  static std::vector<unsigned char> Bytes(const BIGNUM* v, int width) {
    std::vector<unsigned char> out(static_cast<size_t>(width));
    EXPECT_EQ(BN_bn2binpad(v, out.data(), width), width);
    return out;
  }
};

TEST_F(ScalarDrawTest, RejectsZeroAndOutOfRangeThenTakesTheFirstValidDraw) {
  BnPtr q = Hex("920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB");
  auto field = scalar::scalar_field_for(q.get());
  ASSERT_NE(field, nullptr);
  BnPtr qm1(BN_dup(q.get()));
  BN_sub_word(qm1.get(), 1);
  BnPtr zero = Hex("0");
  std::vector<unsigned char> feed;
  for (const BIGNUM* v : {q.get(), zero.get(), qm1.get()}) {
    auto b = Bytes(v, 32);
    feed.insert(feed.end(), b.begin(), b.end());
  }
  RAND_fixed_set_bytes(feed);
  Fe k;
  BnPtr kb(BN_new());
  ASSERT_EQ(scalar::scalar_draw(*field, k, kb.get()), 1);
  EXPECT_EQ(BN_cmp(kb.get(), qm1.get()), 0);
  BnPtr back(BN_new());
  ASSERT_TRUE(scalar::scalar_to_bn(*field, back.get(), k));
  EXPECT_EQ(BN_cmp(back.get(), qm1.get()), 0);
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
}

TEST_F(ScalarDrawTest, CutsTheDrawToTheBitsOfQ) {
  // q of 255 bits: a draw of all ones is cut to 2^255 - 1, which is >= q and
  // rejected; 0xFF followed by zeros becomes 0x7F00.. < q and is taken.
  BnPtr q255 = Hex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED");
  auto field = scalar::scalar_field_for(q255.get());
  ASSERT_NE(field, nullptr);
  ASSERT_EQ(field->bytes, 32);
  std::vector<unsigned char> feed(32, 0xFF);
  std::vector<unsigned char> second(32, 0);
  second[0] = 0xFF;
  second[31] = 0x05;
  feed.insert(feed.end(), second.begin(), second.end());
  RAND_fixed_set_bytes(feed);
  Fe k;
  BnPtr kb(BN_new());
  ASSERT_EQ(scalar::scalar_draw(*field, k, kb.get()), 1);
  EXPECT_EQ(ToHex(kb.get()), "7F00000000000000000000000000000000000000000000000000000000000005");
}

TEST_F(ScalarDrawTest, GivesUpOnAGeneratorThatNeverFitsAndOnOneThatRunsDry) {
  BnPtr q = Hex("920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB");
  auto field = scalar::scalar_field_for(q.get());
  ASSERT_NE(field, nullptr);
  Fe k;
  BnPtr kb(BN_new());
  RAND_fixed_set_bytes(std::vector<unsigned char>(32 * 200, 0xFF));
  EXPECT_EQ(scalar::scalar_draw(*field, k, kb.get()), -1);
  EXPECT_GT(RAND_fixed_remaining(), 0u);  // it stopped on its own
  EXPECT_TRUE(BN_is_zero(kb.get()));
  RAND_fixed_set_bytes(std::vector<unsigned char>(10, 0x11));
  EXPECT_EQ(scalar::scalar_draw(*field, k, kb.get()), 0);
}

}  // namespace
}  // namespace qcrypto
