// The fixed-width code against the BIGNUM code: field operations of every
// multiplication variant, point operations (special cases included) and the
// three scalar multiplications, on curves of every field shape.
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "crypto/ec/ec_fp256_adx.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "ec_portable_addsub.h"
#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

using fp256::Fe;
using fp256::Field;
using fp256::Jac;

struct NamedDef {
  const char* name;
  const ECURVE_DEF* def;
};

std::vector<NamedDef> AllCurves() {
  return {{"191", &ECURVE_DEF_191},       {"2^255+0x431", &ECURVE_DEF_2_255_431},
          {"CryptoPro-A", &CryptoProA()}, {"CryptoPro-B", &CryptoProB()},
          {"secp256k1", &Secp256k1()},    {"P-192", &P192()}};
}

// Values that find carry and reduction mistakes: 0, 1, 2, p - 1, p - 2,
// words of all ones, 2^255 mod p, and random ones.
std::vector<BnPtr> FieldValues(const BIGNUM* p) {
  std::vector<BnPtr> v;
  BnCtxPtr ctx(BN_CTX_new());
  for (const char* h : {"0", "1", "2", "FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                        "8000000000000000000000000000000000000000000000000000000000000000",
                        "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}) {
    BnPtr n = Hex(h);
    BN_nnmod(n.get(), n.get(), p, ctx.get());
    v.push_back(std::move(n));
  }
  for (int d : {1, 2}) {
    BnPtr n(BN_dup(p));
    BN_sub_word(n.get(), d);
    v.push_back(std::move(n));
  }
  for (int i = 0; i < 24; ++i) v.push_back(RandomBelow(p));
  return v;
}

std::string FeHex(const Field& f, const Fe& a) {
  BnPtr n(BN_new());
  EXPECT_TRUE(fp256::fe_to_bn(f, n.get(), a));
  return ToHex(n.get());
}

template <class O>
void CheckFieldOps(const Field& f, const BIGNUM* p, const char* variant) {
  SCOPED_TRACE(variant);
  BnCtxPtr ctx(BN_CTX_new());
  const auto values = FieldValues(p);
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < values.size(); j += 3) {
      const BIGNUM* x = values[i].get();
      const BIGNUM* y = values[(i + j) % values.size()].get();
      SCOPED_TRACE("x = " + ToHex(x) + " y = " + ToHex(y));
      Fe a, b, r;
      ASSERT_TRUE(fp256::fe_from_bn(f, a, x, ctx.get()));
      ASSERT_TRUE(fp256::fe_from_bn(f, b, y, ctx.get()));
      BnPtr want(BN_new());
      O::mul(f, r, a, b);
      BN_mod_mul(want.get(), x, y, p, ctx.get());
      EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "mul";
      O::sqr(f, r, a);
      BN_mod_sqr(want.get(), x, p, ctx.get());
      EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "sqr";
      fp256::fe_add(f, r, a, b);
      BN_mod_add(want.get(), x, y, p, ctx.get());
      EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "add";
      fp256::fe_sub(f, r, a, b);
      BN_mod_sub(want.get(), x, y, p, ctx.get());
      EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "sub";
      // Masks are exact: equal only to itself, zero only for 0.
      EXPECT_EQ(fp256::fe_equal(a, b) != 0, BN_cmp(x, y) == 0);
      EXPECT_EQ(fp256::fe_is_zero(a) != 0, BN_is_zero(x) == 1);
    }
    const BIGNUM* x = values[i].get();
    Fe a, r;
    ASSERT_TRUE(fp256::fe_from_bn(f, a, x, ctx.get()));
    BnPtr want(BN_new());
    fp256::fe_neg(f, r, a);
    BN_mod_sub(want.get(), p, x, p, ctx.get());
    EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "neg " << ToHex(x);
    fp256::fe_inv<O>(f, r, a);
    if (BN_is_zero(x)) {
      EXPECT_EQ(FeHex(f, r), "0");
    } else {
      ASSERT_NE(BN_mod_inverse(want.get(), x, p, ctx.get()), nullptr);
      EXPECT_EQ(FeHex(f, r), ToHex(want.get())) << "inv " << ToHex(x);
    }
  }
}

TEST(EcurveFastField, EveryVariantMatchesBignum) {
  for (const auto& nc : AllCurves()) {
    SCOPED_TRACE(nc.name);
    UniquePtr<ECURVE> c = Load(*nc.def, ECURVE_PROJECTIVE);
    ASSERT_NE(c, nullptr);
    Field f;
    ASSERT_TRUE(fp256::field_init(f, c->p));
    CheckFieldOps<fp256::PortableOps>(f, c->p, "portable");
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
    if (!fp256::cpu_has_adx()) continue;
    CheckFieldOps<fp256::AdxOps>(f, c->p, "adx");
    if (f.form == fp256::kFieldP256) CheckFieldOps<fp256::AdxP256Ops>(f, c->p, "adx p256");
    if (f.form == fp256::kFieldC255) CheckFieldOps<fp256::AdxC255Ops>(f, c->p, "adx 2^255+c");
#endif
  }
}

// The 2^255 + c reduction is written for any c < 2^64, not only the small c
// of the built-in curves: with c near 2^64 the high word of m * c is large.
TEST(EcurveFastField, ReductionHoldsForAWideC) {
  BnPtr p = Hex("800000000000000000000000000000000000000000000000FFFFFFFFFFFFFF87");
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_EQ(BN_check_prime(p.get(), ctx.get(), nullptr), 1);
  Field f;
  ASSERT_TRUE(fp256::field_init(f, p.get()));
  ASSERT_EQ(f.form, fp256::kFieldC255);
  CheckFieldOps<fp256::PortableOps>(f, p.get(), "portable");
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
  if (fp256::cpu_has_adx()) CheckFieldOps<fp256::AdxC255Ops>(f, p.get(), "adx 2^255+c");
#endif
}

// Builds without the inline assembly (the fuzzing one) run the portable
// addition and subtraction; they must give the limbs the assembly gives, the
// carries out of the top limb and the borrows included.
TEST(EcurveFastField, PortableAddSubMatchTheAssembly) {
  ASSERT_TRUE(portable_build());
  for (const auto& nc : AllCurves()) {
    SCOPED_TRACE(nc.name);
    UniquePtr<ECURVE> c = Load(*nc.def, ECURVE_PROJECTIVE);
    ASSERT_NE(c, nullptr);
    Field f;
    ASSERT_TRUE(fp256::field_init(f, c->p));
    BnCtxPtr ctx(BN_CTX_new());
    const auto values = FieldValues(c->p);
    for (const auto& x : values) {
      for (const auto& y : values) {
        Fe a, b, asm_r, portable_r;
        ASSERT_TRUE(fp256::fe_from_bn(f, a, x.get(), ctx.get()));
        ASSERT_TRUE(fp256::fe_from_bn(f, b, y.get(), ctx.get()));
        fp256::fe_add(f, asm_r, a, b);
        portable_fe_add(f, portable_r, a, b);
        ASSERT_EQ(std::memcmp(asm_r.v, portable_r.v, sizeof asm_r.v), 0)
            << "add " << ToHex(x.get()) << " " << ToHex(y.get());
        fp256::fe_sub(f, asm_r, a, b);
        portable_fe_sub(f, portable_r, a, b);
        ASSERT_EQ(std::memcmp(asm_r.v, portable_r.v, sizeof asm_r.v), 0)
            << "sub " << ToHex(x.get()) << " " << ToHex(y.get());
      }
    }
  }
}

TEST(EcurveFastField, FormsAreRecognised) {
  struct Case {
    const ECURVE_DEF* def;
    int form;
  };
  const Case cases[] = {{&ECURVE_DEF_191, fp256::kFieldP256},
                        {&ECURVE_DEF_2_255_431, fp256::kFieldC255},
                        {&CryptoProA(), fp256::kFieldGeneric},
                        {&CryptoProB(), fp256::kFieldC255},
                        {&P192(), fp256::kFieldGeneric}};
  for (const auto& c : cases) {
    UniquePtr<ECURVE> curve = Load(*c.def, ECURVE_AFFINE);
    Field f;
    ASSERT_TRUE(fp256::field_init(f, curve->p));
    EXPECT_EQ(f.form, c.form) << c.def->p;
  }
}

TEST(EcurveFastField, UnservedModuli) {
  for (const char* h : {"0", "2", "3", "10", "1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}) {
    Field f;
    EXPECT_FALSE(fp256::field_init(f, Hex(h).get())) << h;
  }
  BnPtr negative = Hex("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
  BN_set_negative(negative.get(), 1);
  Field f;
  EXPECT_FALSE(fp256::field_init(f, negative.get()));
}

// Hostile explicit curves: a composite p is left to the BIGNUM code, whose
// inversions notice a missing inverse.
TEST(EcurveFastField, CompositeModuliAreNotServed) {
  UniquePtr<ECURVE> c(ECURVE_new(ECURVE_PROJECTIVE));
  BnPtr m = Hex("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
  BN_mul_word(m.get(), 3);  // odd, composite, 258 bits
  BN_rshift(m.get(), m.get(), 3);
  BN_set_bit(m.get(), 0);
  BnCtxPtr ctx(BN_CTX_new());
  while (BN_check_prime(m.get(), ctx.get(), nullptr) == 1) BN_add_word(m.get(), 2);
  ASSERT_TRUE(BN_copy(c->p, m.get()));
  BN_set_word(c->a, 1);
  BN_set_word(c->b, 1);
  EXPECT_EQ(fp256::curve_for(c.get()), nullptr);
  BN_set_word(c->p, 1000003);  // prime
  EXPECT_NE(fp256::curve_for(c.get()), nullptr);
}

// The same point in another Jacobian representation: (l^2 X, l^3 Y, l Z).
Jac Rescale(const Field& f, const Jac& p, const BIGNUM* l) {
  Fe lf, l2, l3;
  BnCtxPtr ctx(BN_CTX_new());
  EXPECT_TRUE(fp256::fe_from_bn(f, lf, l, ctx.get()));
  fp256::fe_sqr(f, l2, lf);
  fp256::fe_mul(f, l3, l2, lf);
  Jac r;
  fp256::fe_mul(f, r.X, p.X, l2);
  fp256::fe_mul(f, r.Y, p.Y, l3);
  fp256::fe_mul(f, r.Z, p.Z, lf);
  return r;
}

std::string JacDescribe(const fp256::Curve& c, const Jac& p) {
  fp256::Aff a;
  if (!fp256::jac_to_affine<fp256::PortableOps>(c, a, p)) return "INF";
  return FeHex(c.f, a.x) + ":" + FeHex(c.f, a.y);
}

template <class O>
void CheckPointOps(ECURVE* curve, const fp256::Curve& c, const char* variant) {
  SCOPED_TRACE(variant);
  BnCtxPtr ctx(BN_CTX_new());
  UniquePtr<ECPOINT> inf(ECPOINT_new(curve));
  ASSERT_TRUE(ECPOINT_set_infinity(inf.get()));
  Jac jinf;
  ASSERT_TRUE(fp256::jac_from_point(c, jinf, inf.get(), ctx.get()));
  for (int round = 0; round < 12; ++round) {
    UniquePtr<ECPOINT> p = RandomPoint(curve);
    UniquePtr<ECPOINT> q = RandomPoint(curve);
    if (round == 1) q.reset(ECPOINT_dup(p.get()));  // p + p
    if (round == 2) {                               // p + (-p)
      q.reset(ECPOINT_dup(p.get()));
      ECPOINT_to_affine(q.get());
      BN_sub(q->Y, curve->p, q->Y);
    }
    if (round == 3) q.reset(ECPOINT_dup(inf.get()));  // p + infinity
    if (round == 4) p.reset(ECPOINT_dup(inf.get()));  // infinity + q
    ASSERT_TRUE(p != nullptr && q != nullptr);
    Jac jp, jq;
    ASSERT_TRUE(fp256::jac_from_point(c, jp, p.get(), ctx.get()));
    ASSERT_TRUE(fp256::jac_from_point(c, jq, q.get(), ctx.get()));
    jp = Rescale(c.f, jp, RandomBelow(curve->p).get());
    jq = Rescale(c.f, jq, RandomBelow(curve->p).get());

    UniquePtr<ECPOINT> sum(ECPOINT_new(curve)), dbl(ECPOINT_new(curve));
    ASSERT_TRUE(ECPOINT_add(sum.get(), p.get(), q.get(), ctx.get()));
    ASSERT_TRUE(ECPOINT_double(dbl.get(), p.get(), ctx.get()));

    Jac r;
    fp256::jac_add<O>(c, r, jp, jq);
    EXPECT_EQ(JacDescribe(c, r), Describe(sum.get())) << "add, round " << round;
    fp256::jac_double<O>(c, r, jp);
    EXPECT_EQ(JacDescribe(c, r), Describe(dbl.get())) << "double, round " << round;

    // Mixed addition with q affine (or standing for infinity).
    fp256::Aff aq{};
    const bool q_finite = fp256::jac_to_affine<O>(c, aq, jq);
    fp256::jac_add_affine<O>(c, r, jp, aq, q_finite ? 0 : ~fp256::u64{0});
    EXPECT_EQ(JacDescribe(c, r), Describe(sum.get())) << "mixed add, round " << round;

#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
    // The whole operations with the assembly inlined.
    if (fp256::cpu_has_adx()) {
      fp256::jac_add_adx(c, r, jp, jq);
      EXPECT_EQ(JacDescribe(c, r), Describe(sum.get())) << "whole add, round " << round;
      fp256::jac_double_adx(c, r, jp);
      EXPECT_EQ(JacDescribe(c, r), Describe(dbl.get())) << "whole double, round " << round;
      fp256::Fe inv, want;
      fp256::fe_inv_adx(c.f, inv, jp.Z);
      fp256::fe_inv<fp256::PortableOps>(c.f, want, jp.Z);
      EXPECT_EQ(FeHex(c.f, inv), FeHex(c.f, want)) << "whole inverse, round " << round;
    }
#endif
  }
}

TEST(EcurveFastPoint, OperationsMatchBignum) {
  for (const auto& nc : AllCurves()) {
    SCOPED_TRACE(nc.name);
    UniquePtr<ECURVE> curve = Load(*nc.def, ECURVE_PROJECTIVE);
    ASSERT_NE(curve, nullptr);
    auto c = fp256::curve_for(curve.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->a_minus_3, (curve->flags & ECURVE_FLAG_A_MINUS_3) != 0);
    CheckPointOps<fp256::PortableOps>(curve.get(), *c, "portable");
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
    if (!fp256::cpu_has_adx()) continue;
    CheckPointOps<fp256::AdxOps>(curve.get(), *c, "adx");
    if (c->f.form == fp256::kFieldP256) CheckPointOps<fp256::AdxP256Ops>(curve.get(), *c, "adx p256");
    if (c->f.form == fp256::kFieldC255) CheckPointOps<fp256::AdxC255Ops>(curve.get(), *c, "adx 2^255+c");
#endif
  }
}

// Runs the body with the BMI2/ADX code and, where the processor has it,
// again without.
void ForEachImplementation(const std::function<void(const char*)>& body) {
  const bool had = fp256::adx_enabled();
  fp256::set_adx_enabled(false);
  body("portable");
  if (fp256::cpu_has_adx()) {
    fp256::set_adx_enabled(true);
    body("adx");
  }
  fp256::set_adx_enabled(had);
}

TEST(EcurveFastMul, ScalarMultiplicationsMatchBignum) {
  ForEachImplementation([](const char* impl) {
    SCOPED_TRACE(impl);
    for (const auto& nc : AllCurves()) {
      SCOPED_TRACE(nc.name);
      for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
        UniquePtr<ECURVE> curve = Load(*nc.def, kind);
        ASSERT_NE(curve, nullptr);
        for (int round = 0; round < 4; ++round) {
          UniquePtr<ECPOINT> q = RandomPoint(curve.get());
          BnPtr k1 = round == 0 ? Hex("0") : RandomBelow(curve->q);
          BnPtr k2 = round == 1 ? BnPtr(BN_dup(curve->q)) : Random(256);
          SCOPED_TRACE("k1 = " + ToHex(k1.get()) + " k2 = " + ToHex(k2.get()));

          UniquePtr<ECPOINT> want1(ECPOINT_dup(q.get())), got1(ECPOINT_dup(q.get()));
          ASSERT_EQ(ec_mul_binary(want1.get(), k2.get()), 1);
          ASSERT_EQ(ec_fp256_mul(got1.get(), k2.get()), 1);
          EXPECT_EQ(Describe(got1.get()), Describe(want1.get()));
          EXPECT_EQ(got1->kind, curve->kind);

          UniquePtr<ECPOINT> want2(ECPOINT_dup(curve->P)), got2(ECPOINT_dup(curve->P));
          ASSERT_EQ(ec_mul_binary(want2.get(), k1.get()), 1);
          ASSERT_EQ(ec_fp256_mul_generator(got2.get(), k1.get()), 1);
          EXPECT_EQ(Describe(got2.get()), Describe(want2.get()));

          UniquePtr<ECPOINT> got3(ECPOINT_new(curve.get()));
          ASSERT_EQ(ec_fp256_mul_generator_sum(got3.get(), k1.get(), q.get(), k2.get()), 1);
          ASSERT_TRUE(ECPOINT_add(want2.get(), want2.get(), want1.get()));
          EXPECT_EQ(Describe(got3.get()), Describe(want2.get()));
        }
      }
    }
  });
}

// Numbers at the edges of the recodings: the top Booth digit of the comb
// (2^256 - 1, 2^255), the order and its neighbours, numbers at or above the
// order, and their negatives, through the three fast multiplications.
TEST(EcurveFastMul, EdgeNumbersMatchBignum) {
  ForEachImplementation([](const char* impl) {
    SCOPED_TRACE(impl);
    for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
      UniquePtr<ECURVE> curve = Load(*def, ECURVE_PROJECTIVE);
      ASSERT_NE(curve, nullptr);
      std::vector<BnPtr> ks;
      for (const char* h : {"1", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                            "8000000000000000000000000000000000000000000000000000000000000000",
                            "7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F7F"}) {
        ks.push_back(Hex(h));
      }
      for (int delta : {-1, 1}) {
        BnPtr k(BN_dup(curve->q));
        delta < 0 ? BN_sub_word(k.get(), 1) : BN_add_word(k.get(), 1);
        ks.push_back(std::move(k));
      }
      ks.emplace_back(BN_dup(curve->q));
      const std::size_t n = ks.size();
      for (std::size_t i = 0; i < n; ++i) {
        ks.emplace_back(BN_dup(ks[i].get()));
        BN_set_negative(ks.back().get(), 1);
      }
      UniquePtr<ECPOINT> q = RandomPoint(curve.get());
      for (const auto& k : ks) {
        SCOPED_TRACE(std::string(BN_is_negative(k.get()) ? "-" : "") + ToHex(k.get()));
        UniquePtr<ECPOINT> want_g(ECPOINT_dup(curve->P)), want_q(ECPOINT_dup(q.get()));
        ASSERT_EQ(ec_mul_binary(want_g.get(), k.get()), 1);
        ASSERT_EQ(ec_mul_binary(want_q.get(), k.get()), 1);
        UniquePtr<ECPOINT> got(ECPOINT_dup(q.get()));
        ASSERT_EQ(ec_fp256_mul(got.get(), k.get()), 1);
        EXPECT_EQ(Describe(got.get()), Describe(want_q.get())) << "general";
        got.reset(ECPOINT_dup(curve->P));
        ASSERT_EQ(ec_fp256_mul_generator(got.get(), k.get()), 1);
        EXPECT_EQ(Describe(got.get()), Describe(want_g.get())) << "generator";
        got.reset(ECPOINT_new(curve.get()));
        ASSERT_EQ(ec_fp256_mul_generator_sum(got.get(), k.get(), q.get(), k.get()), 1);
        ASSERT_TRUE(ECPOINT_add(want_g.get(), want_g.get(), want_q.get()));
        EXPECT_EQ(Describe(got.get()), Describe(want_g.get())) << "sum";
      }
    }
  });
}

// A point given in Jacobian form with Z != 1 enters the fast code as it is.
TEST(EcurveFastMul, UnnormalisedInput) {
  UniquePtr<ECURVE> curve = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECPOINT> p = RandomPoint(curve.get());
  UniquePtr<ECPOINT> twice(ECPOINT_dup(p.get()));
  ASSERT_TRUE(ECPOINT_double(twice.get(), twice.get()));  // Z != 1 now
  ASSERT_FALSE(BN_is_one(twice->Z));
  BnPtr k = RandomBelow(curve->q);
  UniquePtr<ECPOINT> want(ECPOINT_dup(twice.get()));
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  ASSERT_EQ(ECPOINT_mul(twice.get(), k.get()), 1);
  EXPECT_EQ(Describe(twice.get()), Describe(want.get()));
}

// Numbers wider than 512 bits stay in the constant-time code (a wider width
// class); the comb and the verification sum leave numbers wider than their
// table to the caller, and the generator multiplication then takes the
// general one: no variable-time algorithm runs for any of them.
TEST(EcurveFastMul, WideNumbersStayConstantTime) {
  UniquePtr<ECURVE> curve = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  BnPtr wide = Random(600);
  BnPtr k300 = Random(300);
  UniquePtr<ECPOINT> p(ECPOINT_dup(curve->P));
  EXPECT_EQ(ec_fp256_mul_generator(p.get(), k300.get()), -1);
  EXPECT_EQ(ec_fp256_mul_generator_sum(p.get(), k300.get(), curve->P, k300.get()), -1);
  for (const BIGNUM* k : {wide.get(), k300.get()}) {
    UniquePtr<ECPOINT> want(ECPOINT_dup(curve->P));
    ASSERT_EQ(ec_mul_binary(want.get(), k), 1);
    const unsigned long before = ec_variable_time_runs();
    UniquePtr<ECPOINT> a(ECPOINT_dup(curve->P)), b(ECPOINT_dup(curve->P));
    ASSERT_EQ(ec_fp256_mul(a.get(), k), 1);
    EXPECT_EQ(Describe(a.get()), Describe(want.get()));
    ASSERT_EQ(ECPOINT_mul_fbw(b.get(), k), 1);
    EXPECT_EQ(Describe(b.get()), Describe(want.get()));
    EXPECT_EQ(ec_variable_time_runs(), before) << BN_num_bits(k) << " bits";
  }
}

// Curve records and caches shared by threads: each thread loads its own
// curve records of the same numbers and multiplies; all results agree.
TEST(EcurveFastMul, ThreadsShareTheCaches) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  std::vector<BnPtr> ks;
  std::vector<std::string> want;
  for (int i = 0; i < 8; ++i) {
    ks.push_back(RandomBelow(c->q));
    UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
    ASSERT_EQ(ec_mul_binary(p.get(), ks.back().get()), 1);
    want.push_back(Describe(p.get()));
  }
  std::vector<std::vector<std::string>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        UniquePtr<ECURVE> own = Load(t % 2 ? ECURVE_DEF_191 : ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
        UniquePtr<ECURVE> mine = Load(ECURVE_DEF_191, t % 2 ? ECURVE_AFFINE : ECURVE_PROJECTIVE);
        for (const auto& k : ks) {
          UniquePtr<ECPOINT> p(ECPOINT_dup(mine->P));
          if (ECPOINT_mul_fbw(p.get(), k.get()) != 1) return;
          UniquePtr<ECPOINT> q(ECPOINT_dup(own->P));
          if (ECPOINT_mul(q.get(), k.get()) != 1) return;
          if (round == 0) got[t].push_back(Describe(p.get()));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(got[t], want) << "thread " << t;
}

}  // namespace
}  // namespace qcrypto::ectest
