// Scalar multiplication against OpenSSL's EC_POINT_mul on the same curves:
// the general and the generator multiplications, the window-table algorithm
// and k1 G + k2 Q, for edge-case and random numbers, in both coordinate forms.
#include <vector>

#include "crypto/ec/ec_fp256_adx.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

struct CurveCase {
  const char* name;
  const ECURVE_DEF* def;
  int kind;
  bool adx;  // the BMI2/ADX multiplication (where the processor has it)
};

const CurveCase kCurves[] = {
    {"191/projective", &ECURVE_DEF_191, ECURVE_PROJECTIVE, true},
    {"191/affine", &ECURVE_DEF_191, ECURVE_AFFINE, true},
    {"2^255+0x431/projective", &ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE, true},
    {"2^255+0x431/affine", &ECURVE_DEF_2_255_431, ECURVE_AFFINE, true},
    {"191/projective/portable", &ECURVE_DEF_191, ECURVE_PROJECTIVE, false},
    {"2^255+0x431/affine/portable", &ECURVE_DEF_2_255_431, ECURVE_AFFINE, false},
};

// Numbers that stress the recodings: zero, one, the order and its
// neighbours, multiples of 16 (zero low digits), all-15 4-bit digits, long
// runs of ones and zeros, and random ones; negative and wider than 256 bits.
std::vector<BnPtr> Scalars(const BIGNUM* q) {
  std::vector<BnPtr> out;
  auto add_hex = [&](const char* h) { out.push_back(Hex(h)); };
  add_hex("0");
  add_hex("1");
  add_hex("2");
  add_hex("3");
  add_hex("F");
  add_hex("10");
  add_hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");  // all 4-bit digits 15
  add_hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");   // 252 bits of ones
  add_hex("8000000000000000000000000000000000000000000000000000000000000000");
  add_hex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
  add_hex("1111111111111111111111111111111111111111111111111111111111111111");
  add_hex("1000000000000000000000000000000000000000000000000000000000000001");
  BnCtxPtr ctx(BN_CTX_new());
  for (int delta : {-1, 0, 1}) {
    BnPtr v(BN_dup(q));
    if (delta < 0) BN_sub_word(v.get(), 1);
    if (delta > 0) BN_add_word(v.get(), 1);
    out.push_back(std::move(v));
  }
  BnPtr two_q(BN_new());
  BN_lshift1(two_q.get(), q);
  out.push_back(std::move(two_q));
  for (int i = 0; i < 4; ++i) {
    BnPtr v = RandomBelow(q);
    BN_lshift(v.get(), v.get(), 4);  // a multiple of 16
    BN_mask_bits(v.get(), 256);
    out.push_back(std::move(v));
  }
  for (int i = 0; i < 6; ++i) out.push_back(RandomBelow(q));
  for (int i = 0; i < 2; ++i) out.push_back(Random(256));
  BnPtr neg = RandomBelow(q);
  BN_set_negative(neg.get(), 1);
  out.push_back(std::move(neg));
  BnPtr wide = Random(300);  // beyond the tables and the 256-bit path
  out.push_back(std::move(wide));
  BnPtr wider = Random(600);  // beyond every fixed-width path
  out.push_back(std::move(wider));
  return out;
}

class EcurveOracle : public ::testing::TestWithParam<CurveCase> {
 protected:
  void SetUp() override {
    had_adx_ = fp256::adx_enabled();
    fp256::set_adx_enabled(GetParam().adx);
    curve_ = Load(*GetParam().def, GetParam().kind);
    ASSERT_NE(curve_, nullptr);
    group_ = GroupOf(curve_.get());
    ASSERT_NE(group_, nullptr);
  }
  void TearDown() override { fp256::set_adx_enabled(had_adx_); }
  bool had_adx_ = false;
  UniquePtr<ECURVE> curve_;
  GroupPtr group_;
};

TEST_P(EcurveOracle, GeneralMultiplicationOfGeneratorAndRandomPoint) {
  UniquePtr<ECPOINT> point = RandomPoint(curve_.get());
  ASSERT_NE(point, nullptr);
  OsslPointPtr opoint = ToOssl(group_.get(), point.get());
  for (const auto& k : Scalars(curve_->q)) {
    SCOPED_TRACE("k = " + ToHex(k.get()));
    UniquePtr<ECPOINT> g(ECPOINT_dup(curve_->P));
    ASSERT_EQ(ECPOINT_mul(g.get(), k.get()), 1);
    EXPECT_EQ(Describe(g.get()), OracleMul(group_.get(), k.get(), nullptr, nullptr));
    EXPECT_EQ(g->kind, curve_->kind);

    UniquePtr<ECPOINT> r(ECPOINT_dup(point.get()));
    ASSERT_EQ(ECPOINT_mul(r.get(), k.get()), 1);
    EXPECT_EQ(Describe(r.get()), OracleMul(group_.get(), nullptr, opoint.get(), k.get()));
  }
}

TEST_P(EcurveOracle, GeneratorMultiplicationThroughTheMethodSlot) {
  for (const auto& k : Scalars(curve_->q)) {
    SCOPED_TRACE("k = " + ToHex(k.get()));
    UniquePtr<ECPOINT> g(ECPOINT_dup(curve_->P));
    ASSERT_EQ(curve_->method->point_mul_base(g.get(), k.get()), 1);
    EXPECT_EQ(Describe(g.get()), OracleMul(group_.get(), k.get(), nullptr, nullptr));
  }
}

TEST_P(EcurveOracle, BignumAlgorithmsAgreeWithOracle) {
  UniquePtr<ECPOINT> point = RandomPoint(curve_.get());
  OsslPointPtr opoint = ToOssl(group_.get(), point.get());
  const ECPOINT_FBW* table = curve_->P->fbw;
  for (const auto& k : Scalars(curve_->q)) {
    SCOPED_TRACE("k = " + ToHex(k.get()));
    UniquePtr<ECPOINT> r(ECPOINT_dup(point.get()));
    ASSERT_EQ(ec_mul_binary(r.get(), k.get()), 1);
    EXPECT_EQ(Describe(r.get()), OracleMul(group_.get(), nullptr, opoint.get(), k.get()));
    if (table != nullptr && BN_num_bits(k.get()) <= table->bits) {
      UniquePtr<ECPOINT> g(ECPOINT_dup(curve_->P));
      ASSERT_EQ(ec_mul_window_table(g.get(), k.get(), table), 1);
      EXPECT_EQ(Describe(g.get()), OracleMul(group_.get(), k.get(), nullptr, nullptr));
    }
  }
}

TEST_P(EcurveOracle, GeneratorSum) {
  UniquePtr<ECPOINT> q = RandomPoint(curve_.get());
  OsslPointPtr oq = ToOssl(group_.get(), q.get());
  const auto scalars = Scalars(curve_->q);
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    const BIGNUM* k1 = scalars[i].get();
    const BIGNUM* k2 = scalars[(i * 7 + 3) % scalars.size()].get();
    SCOPED_TRACE("k1 = " + ToHex(k1) + " k2 = " + ToHex(k2));
    UniquePtr<ECPOINT> r(ECPOINT_new(curve_.get()));
    ASSERT_EQ(ECPOINT_mul_generator_sum(r.get(), k1, q.get(), k2), 1);
    EXPECT_EQ(Describe(r.get()), OracleMul(group_.get(), k1, oq.get(), k2));
  }
  // Q = G and Q = -G make the two halves meet (sum doubles or cancels).
  BnPtr k = RandomBelow(curve_->q);
  BnPtr minus_k(BN_new());
  BN_sub(minus_k.get(), curve_->q, k.get());
  UniquePtr<ECPOINT> r(ECPOINT_new(curve_.get()));
  ASSERT_EQ(ECPOINT_mul_generator_sum(r.get(), k.get(), curve_->P, k.get()), 1);
  BnPtr two_k(BN_new());
  BN_lshift1(two_k.get(), k.get());
  EXPECT_EQ(Describe(r.get()), OracleMul(group_.get(), two_k.get(), nullptr, nullptr));
  ASSERT_EQ(ECPOINT_mul_generator_sum(r.get(), k.get(), curve_->P, minus_k.get()), 1);
  EXPECT_TRUE(ECPOINT_is_infinity(r.get()));
}

TEST_P(EcurveOracle, InPlaceResultMayBeTheSecondPoint) {
  UniquePtr<ECPOINT> q = RandomPoint(curve_.get());
  OsslPointPtr oq = ToOssl(group_.get(), q.get());
  BnPtr k1 = RandomBelow(curve_->q), k2 = RandomBelow(curve_->q);
  const std::string expected = OracleMul(group_.get(), k1.get(), oq.get(), k2.get());
  ASSERT_EQ(ECPOINT_mul_generator_sum(q.get(), k1.get(), q.get(), k2.get()), 1);
  EXPECT_EQ(Describe(q.get()), expected);
}

INSTANTIATE_TEST_SUITE_P(Curves, EcurveOracle, ::testing::ValuesIn(kCurves), [](const auto& test_case) {
  std::string n = test_case.param.name;
  for (char& ch : n) {
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return n;
});

// The built-in window table: entry i is 2^(4i) G, recomputed by the oracle.
TEST(EcurveBuiltinTable, EntriesArePowersOfSixteenTimesGenerator) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  ASSERT_NE(c, nullptr);
  const ECPOINT_FBW* t = c->P->fbw;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->count, 64);
  EXPECT_EQ(t->width, 4);
  EXPECT_EQ(t->bits, 256);
  GroupPtr oracle(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  for (int i = 0; i < t->count; ++i) {
    BnPtr k(BN_new());
    BN_set_bit(k.get(), 4 * i);
    EXPECT_EQ(Describe(t->points[i]), OracleMul(oracle.get(), k.get(), nullptr, nullptr)) << "entry " << i;
    EXPECT_EQ(t->points[i]->kind, ECURVE_AFFINE);
  }
  EXPECT_STREQ(c->method->name, "fixed base window");
}

// The built-in curve 191 is OpenSSL's prime256v1: the generic group and the
// named one agree.
TEST(EcurveBuiltinTable, Curve191IsPrime256v1) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  GroupPtr named(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr p(BN_new()), a(BN_new()), b(BN_new());
  ASSERT_TRUE(EC_GROUP_get_curve(named.get(), p.get(), a.get(), b.get(), ctx.get()));
  EXPECT_EQ(BN_cmp(p.get(), c->p), 0);
  EXPECT_EQ(BN_cmp(a.get(), c->a), 0);
  EXPECT_EQ(BN_cmp(b.get(), c->b), 0);
  EXPECT_EQ(BN_cmp(EC_GROUP_get0_order(named.get()), c->q), 0);
  EXPECT_EQ(Describe(named.get(), EC_GROUP_get0_generator(named.get())), Describe(c->P));
}

}  // namespace
}  // namespace qcrypto::ectest
