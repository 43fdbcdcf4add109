// Curve records, point records and the multiplications' own edge cases: the
// built-in definitions, comparison and named-curve look-up, coefficients
// from the j-invariant, forms of points, and the rules around the generator
// window table.
#include "crypto/ec/ec_fp256_mul.h"
#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

// A curve record filled by hand from the numbers of another, as a decoder of
// explicit parameters would: no window table, default method.
UniquePtr<ECURVE> ExplicitCopy(const ECURVE* from) {
  UniquePtr<ECURVE> c(ECURVE_new(from->kind));
  if (c == nullptr || !BN_copy(c->p, from->p) || !BN_copy(c->a, ec_num_or_zero(from->a)) ||
      !BN_copy(c->b, ec_num_or_zero(from->b)) || !BN_copy(c->q, from->q) || !ec_point_copy_coords(c->P, from->P)) {
    return nullptr;
  }
  return c;
}

TEST(EcurveCurve, BuiltinDefaultIs191) {
  for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
    UniquePtr<ECURVE> c(ECURVE_init(nullptr, kind));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->kind, kind);
    EXPECT_EQ(c->P->kind, kind);
    EXPECT_EQ(c->nid, 191);
    EXPECT_EQ(c->references, 1);
    EXPECT_NE(c->flags & ECURVE_FLAG_A_MINUS_3, 0);
    EXPECT_STREQ(c->method->name, "fixed base window");
    ASSERT_NE(c->P->fbw, nullptr);
    EXPECT_EQ(ECURVE_find_nid(c.get()), 191);
    EXPECT_EQ(BN_is_one(c->h), 1);
    EXPECT_EQ(c->spare, nullptr);
    EXPECT_EQ(c->J, nullptr);
    EXPECT_EQ(ECPOINT_lies(c->P), 1);
  }
}

TEST(EcurveCurve, SecondBuiltinHasNoNumberNoTableNoFastDoubling) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->nid, 0);
  EXPECT_EQ(c->flags & ECURVE_FLAG_A_MINUS_3, 0);
  EXPECT_STREQ(c->method->name, "default");
  EXPECT_EQ(c->P->fbw, nullptr);
  EXPECT_EQ(ECURVE_find_nid(c.get()), 0);
  EXPECT_EQ(ECPOINT_lies(c->P), 1);
  EXPECT_EQ(ECGOST_get_fbw(c->P), nullptr);
}

// The RFC 5832 example key of the public vectors: Q = d P on the curve over
// 2^255 + 0x431.
TEST(EcurveCurve, SecondBuiltinReproducesThePublishedKey) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  BnPtr d = Hex("7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28");
  UniquePtr<ECPOINT> q(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul(q.get(), d.get()), 1);
  EXPECT_EQ(Describe(q.get()),
            "7F2B49E270DB6D90D8595BEC458B50C58585BA1D4E9B788F6689DBD8E56FD80B:"
            "26F1B489D6701DD185C8413A977B3CBBAF64D1C593D26627DFFB101A87FF77DA");
  UniquePtr<ECPOINT> q2(ECPOINT_dup(c->P));
  ASSERT_EQ(c->method->point_mul_base(q2.get(), d.get()), 1);
  EXPECT_EQ(Describe(q2.get()), Describe(q.get()));
}

TEST(EcurveCurve, CompareAndFindNid) {
  UniquePtr<ECURVE> a = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECURVE> b = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  UniquePtr<ECURVE> other = Load(ECURVE_DEF_2_255_431, ECURVE_AFFINE);
  EXPECT_EQ(ECURVE_cmp(a.get(), b.get()), 0);
  EXPECT_EQ(ECURVE_cmp(a.get(), other.get()), -1);
  EXPECT_EQ(ECURVE_cmp(a.get(), nullptr), -1);
  UniquePtr<ECURVE> copy = ExplicitCopy(a.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(ECURVE_cmp(a.get(), copy.get()), 0);
  EXPECT_EQ(ECURVE_find_nid(copy.get()), 191);
  BN_add_word(copy->b, 1);  // another b
  EXPECT_EQ(ECURVE_cmp(a.get(), copy.get()), -1);
  EXPECT_EQ(ECURVE_find_nid(copy.get()), 0);
  BN_sub_word(copy->b, 1);
  ASSERT_TRUE(ECPOINT_double(copy->P, copy->P));  // another generator
  EXPECT_EQ(ECURVE_cmp(a.get(), copy.get()), -1);
}

TEST(EcurveCurve, ByObjectNumber) {
  UniquePtr<ECURVE> c(ECURVE_new_by_nid(191));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->kind, ECURVE_PROJECTIVE);
  ERR_clear_error();
  EXPECT_EQ(ECURVE_new_by_nid(190), nullptr);
  const unsigned long e = ERR_get_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_X509);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), 119);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), ERR_R_INTERNAL);
}

TEST(EcurveCurve, References) {
  ECURVE* c = ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ECURVE_up_ref(c), 2);
  ECURVE_free(c);
  EXPECT_EQ(c->references, 1);
  EXPECT_EQ(ECPOINT_lies(c->P), 1);  // still alive
  ECURVE_free(c);
  ECURVE_free(nullptr);
}

// y^2 = x^3 + 3k x + 2k with k = J / (1728 - J) has j-invariant J:
// j = 1728 * 4a^3 / (4a^3 + 27b^2).
TEST(EcurveCurve, CoefficientsFromJ) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  BnCtxPtr ctx(BN_CTX_new());
  for (const char* j : {"5", "1", "1234567890ABCDEF", "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFF"}) {
    SCOPED_TRACE(j);
    BN_free(c->J);
    c->J = Hex(j).release();
    ASSERT_EQ(ECURVE_get_coefficients(c.get(), ctx.get()), 1);
    BnPtr a3(BN_new()), b2(BN_new()), num(BN_new()), den(BN_new()), t(BN_new());
    BN_mod_sqr(a3.get(), c->a, c->p, ctx.get());
    BN_mod_mul(a3.get(), a3.get(), c->a, c->p, ctx.get());
    BN_mul_word(a3.get(), 4);
    BN_mod_sqr(b2.get(), c->b, c->p, ctx.get());
    BN_mul_word(b2.get(), 27);
    BN_mod_add(den.get(), a3.get(), b2.get(), c->p, ctx.get());
    BN_copy(num.get(), a3.get());
    BN_mul_word(num.get(), 1728);
    BN_mod_inverse(t.get(), den.get(), c->p, ctx.get());
    BN_mod_mul(t.get(), t.get(), num.get(), c->p, ctx.get());
    BnPtr want = Hex(j);
    BN_nnmod(want.get(), want.get(), c->p, ctx.get());
    EXPECT_EQ(ToHex(t.get()), ToHex(want.get()));
  }
  for (const char* bad : {"0", "6C0" /* 1728 */}) {
    BN_free(c->J);
    c->J = Hex(bad).release();
    EXPECT_EQ(ECURVE_get_coefficients(c.get(), ctx.get()), 0) << bad;
  }
  // 1728 + p is 1728 modulo p: t has no inverse.
  BN_add_word(BN_copy(c->J, c->p), 1728);
  EXPECT_EQ(ECURVE_get_coefficients(c.get(), ctx.get()), 0);
  ERR_clear_error();
}

TEST(EcurveCurve, DefinitionWithJOnly) {
  const ECURVE_DEF def = {0, ECURVE_DEF_191.p, "", "", nullptr, nullptr, nullptr, nullptr, "5", nullptr};
  UniquePtr<ECURVE> c(ECURVE_init(&def, ECURVE_AFFINE));
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(BN_is_zero(c->a));
  EXPECT_FALSE(BN_is_zero(c->b));
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr two_a(BN_new()), three_b(BN_new());
  BN_mod_lshift1(two_a.get(), c->a, c->p, ctx.get());  // 2a = 6k = 3b
  BN_mod_add(three_b.get(), c->b, c->b, c->p, ctx.get());
  BN_mod_add(three_b.get(), three_b.get(), c->b, c->p, ctx.get());
  EXPECT_EQ(BN_cmp(two_a.get(), three_b.get()), 0);
}

TEST(EcurveCurve, BadDefinitionsFail) {
  ECURVE_DEF def = ECURVE_DEF_191;
  def.table = nullptr;
  def.b = "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604C";  // generator off the curve
  EXPECT_EQ(ECURVE_init(&def, ECURVE_PROJECTIVE), nullptr);
  def = ECURVE_DEF_191;
  def.q = "FFFFG";
  EXPECT_EQ(ECURVE_init(&def, ECURVE_PROJECTIVE), nullptr);
  ERR_clear_error();
}

// A record loaded again from another definition takes that curve's shape:
// the a = p - 3 doubling of the first one must not survive into the BIGNUM
// arithmetic of the second.
TEST(EcurveCurve, ReloadingTakesTheNewCurvesShape) {
  for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
    UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, kind);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(ECURVE_set(c.get(), &ECURVE_DEF_2_255_431), 1);
    UniquePtr<ECURVE> fresh = Load(ECURVE_DEF_2_255_431, kind);
    EXPECT_EQ(c->flags & ECURVE_FLAG_A_MINUS_3, 0);
    EXPECT_EQ(c->P->fbw, nullptr);
    UniquePtr<ECPOINT> got(ECPOINT_new(c.get())), want(ECPOINT_new(fresh.get()));
    ASSERT_TRUE(ECPOINT_double(got.get(), c->P));
    ASSERT_TRUE(ECPOINT_double(want.get(), fresh->P));
    EXPECT_EQ(Describe(got.get()), Describe(want.get()));
    EXPECT_EQ(ECPOINT_lies(got.get()), 1);
    BnPtr k = RandomBelow(fresh->q);
    UniquePtr<ECPOINT> got_k(ECPOINT_dup(c->P)), want_k(ECPOINT_dup(fresh->P));
    ASSERT_EQ(ec_mul_binary(got_k.get(), k.get()), 1);
    ASSERT_EQ(ECPOINT_mul(want_k.get(), k.get()), 1);
    EXPECT_EQ(Describe(got_k.get()), Describe(want_k.get()));
    // And back: the first curve's fast doubling returns with its numbers.
    ASSERT_EQ(ECURVE_set(c.get(), &ECURVE_DEF_191), 1);
    EXPECT_NE(c->flags & ECURVE_FLAG_A_MINUS_3, 0);
  }
}

TEST(EcurvePoint, FormsAndInfinity) {
  for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
    UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, kind);
    UniquePtr<ECPOINT> p(ECPOINT_new(c.get()));
    ASSERT_TRUE(ECPOINT_set_infinity(p.get()));
    EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
    EXPECT_EQ(ECPOINT_get_x(nullptr, p.get()), nullptr);
    EXPECT_TRUE(ECPOINT_to_affine(p.get()));
    EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
    EXPECT_TRUE(BN_is_zero(p->X) && BN_is_zero(p->Y));
    EXPECT_TRUE(ECPOINT_to_projective(p.get()));
    EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
    EXPECT_TRUE(BN_is_zero(p->Z));
    EXPECT_EQ(ECPOINT_cmp(p.get(), p.get()), 0);
    EXPECT_EQ(ECPOINT_cmp(p.get(), c->P), -1);
  }
  ERR_clear_error();
}

// With b = 0, (0, 0) is a finite point: the affine infinity is (0, 1).
TEST(EcurvePoint, AffineInfinityWhenBIsZero) {
  UniquePtr<ECURVE> c(ECURVE_new(ECURVE_AFFINE));
  BnPtr p = Hex("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
  BN_copy(c->p, p.get());
  BN_one(c->a);
  BN_zero(c->b);
  UniquePtr<ECPOINT> inf(ECPOINT_new(c.get()));
  ASSERT_TRUE(ECPOINT_set_infinity(inf.get()));
  EXPECT_TRUE(BN_is_zero(inf->X));
  EXPECT_TRUE(BN_is_one(inf->Y));
  UniquePtr<ECPOINT> origin(ECPOINT_new(c.get()));  // (0, 0)
  EXPECT_FALSE(ECPOINT_is_infinity(origin.get()));
  EXPECT_EQ(ECPOINT_lies(origin.get()), 1);
  UniquePtr<ECPOINT> twice(ECPOINT_new(c.get()));
  ASSERT_TRUE(ECPOINT_double(twice.get(), origin.get()));  // order 2
  EXPECT_TRUE(ECPOINT_is_infinity(twice.get()));
}

TEST(EcurvePoint, ProjectiveAndAffineArithmeticAgree) {
  UniquePtr<ECURVE> pc = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECURVE> ac = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  for (int i = 0; i < 4; ++i) {
    UniquePtr<ECPOINT> p = RandomPoint(pc.get());
    UniquePtr<ECPOINT> q = RandomPoint(pc.get());
    UniquePtr<ECPOINT> pa(ECPOINT_dup(p.get())), qa(ECPOINT_dup(q.get()));
    ASSERT_TRUE(ECPOINT_to_affine(pa.get()) && ECPOINT_to_affine(qa.get()));
    pa->curve = ac.get();
    qa->curve = ac.get();
    UniquePtr<ECPOINT> r1(ECPOINT_new(pc.get())), r2(ECPOINT_new(ac.get()));
    // A point added to itself gives its double in both forms.
    ASSERT_TRUE(ECPOINT_add(r1.get(), p.get(), p.get()));
    ASSERT_TRUE(ECPOINT_double(r2.get(), pa.get()));
    EXPECT_EQ(Describe(r1.get()), Describe(r2.get()));
    ASSERT_TRUE(ECPOINT_add(r2.get(), pa.get(), pa.get()));
    EXPECT_EQ(Describe(r1.get()), Describe(r2.get()));
    EXPECT_EQ(r1->kind, ECURVE_PROJECTIVE);
    EXPECT_EQ(r2->kind, ECURVE_AFFINE);
    ASSERT_TRUE(ECPOINT_add(r1.get(), r1.get(), q.get()));  // r1 may be an operand
    ASSERT_TRUE(ECPOINT_add(r2.get(), r2.get(), qa.get()));
    EXPECT_EQ(Describe(r1.get()), Describe(r2.get()));
    EXPECT_EQ(ECPOINT_cmp(r1.get(), r2.get()), 0);
    // Normalising keeps the value and gives Z = 1.
    const std::string before = Describe(r1.get());
    ASSERT_TRUE(ECPOINT_normalize(r1.get()));
    EXPECT_TRUE(BN_is_one(r1->Z));
    EXPECT_EQ(Describe(r1.get()), before);
    BnPtr x(ECPOINT_get_x(nullptr, r2.get()));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(BN_cmp(x.get(), r1->X), 0);
  }
}

// The multiplications' edge cases.
TEST(EcurveMul, ZeroGivesInfinityInBothForms) {
  BnPtr zero(BN_new());
  for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
    UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, kind);
    using Fn = int (*)(ECPOINT*, const BIGNUM*);
    for (Fn f : {Fn{ECPOINT_mul}, Fn{ECPOINT_mul_fbw}, Fn{ec_mul_binary}, c->method->point_mul_base}) {
      UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
      ASSERT_EQ(f(p.get(), zero.get()), 1);
      EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
      EXPECT_EQ(p->kind, kind);
    }
    UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
    ASSERT_EQ(ec_mul_window_table(p.get(), zero.get(), c->P->fbw), 1);
    EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
  }
}

TEST(EcurveMul, OrderGivesInfinity) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul_fbw(p.get(), c->q), 1);
  EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
  UniquePtr<ECPOINT> t(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_window_table(t.get(), c->q, c->P->fbw), 1);
  EXPECT_TRUE(ECPOINT_is_infinity(t.get()));
}

TEST(EcurveMul, WindowTableWithEqualDigits) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  for (const char* k : {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                        "1111111111111111111111111111111111111111111111111111111111111111", "F", "F0",
                        "8888888888888888888888888888888888888888888888888888888888888888"}) {
    BnPtr n = Hex(k);
    UniquePtr<ECPOINT> want(ECPOINT_dup(c->P)), got(ECPOINT_dup(c->P));
    ASSERT_EQ(ec_mul_binary(want.get(), n.get()), 1);
    ASSERT_EQ(ec_mul_window_table(got.get(), n.get(), c->P->fbw), 1);
    EXPECT_EQ(Describe(got.get()), Describe(want.get())) << k;
  }
  // Numbers wider than the table are refused by the table algorithm...
  BnPtr wide = Random(300);
  UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
  EXPECT_EQ(ec_mul_window_table(p.get(), wide.get(), c->P->fbw), 0);
  EXPECT_EQ(Describe(p.get()), Describe(c->P));
  // ...and multiplied right by the generator multiplication.
  UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_binary(want.get(), wide.get()), 1);
  ASSERT_EQ(ECPOINT_mul_fbw(p.get(), wide.get()), 1);
  EXPECT_EQ(Describe(p.get()), Describe(want.get()));
  ERR_clear_error();
}

TEST(EcurveMul, GeneratorMultiplicationOnOtherCurvesIsTheGeneralOne) {
  for (const ECURVE_DEF* def : {&ECURVE_DEF_2_255_431, &CryptoProA(), &P192()}) {
    UniquePtr<ECURVE> c = Load(*def, ECURVE_PROJECTIVE);
    BnPtr k = RandomBelow(c->q);
    UniquePtr<ECPOINT> a(ECPOINT_dup(c->P)), b(ECPOINT_dup(c->P));
    ASSERT_EQ(ECPOINT_mul_fbw(a.get(), k.get()), 1);
    ASSERT_EQ(ECPOINT_mul(b.get(), k.get()), 1);
    EXPECT_EQ(Describe(a.get()), Describe(b.get()));
  }
}

// The window table holds multiples of the generator: a point that carries it
// but has another value (a copy of the generator changed afterwards) must not
// be multiplied through it.
TEST(EcurveMul, TableIsOnlyForTheGenerator) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
  ASSERT_EQ(p->fbw, c->P->fbw);  // copies share the table
  ASSERT_TRUE(ECPOINT_double(p.get(), p.get()));
  ASSERT_NE(p->fbw, nullptr);
  EXPECT_EQ(ec_table_serves(p->fbw, p.get(), nullptr), 0);
  EXPECT_EQ(ec_table_serves(p->fbw, c->P, nullptr), 1);
  BnPtr k = RandomBelow(c->q);
  UniquePtr<ECPOINT> want(ECPOINT_dup(p.get()));
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  ASSERT_EQ(ECPOINT_mul_fbw(p.get(), k.get()), 1);
  EXPECT_EQ(Describe(p.get()), Describe(want.get()));

  // The look-up hands the built-in table to the generator of an equal curve
  // only; the curve record itself is not written (its method was chosen
  // when it was filled).
  UniquePtr<ECURVE> copy = ExplicitCopy(c.get());
  UniquePtr<ECPOINT> other = RandomPoint(copy.get());
  EXPECT_EQ(ECGOST_get_fbw(other.get()), nullptr);
  EXPECT_EQ(other->fbw, nullptr);
  EXPECT_STREQ(copy->method->name, "default");
  UniquePtr<ECPOINT> g(ECPOINT_dup(copy->P));
  ECPOINT_FBW* t = ECGOST_get_fbw(g.get());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(g->fbw, t);
  EXPECT_EQ(ECPOINT_cmp(t->points[0], copy->P), 0);
  EXPECT_STREQ(copy->method->name, "default");
  // Asked for the curve's own generator record, it attaches nothing there.
  EXPECT_EQ(ECGOST_get_fbw(copy->P), t);
  EXPECT_EQ(copy->P->fbw, nullptr);
  UniquePtr<ECPOINT> g1(ECPOINT_dup(g.get())), g2(ECPOINT_dup(g.get()));
  ASSERT_EQ(ec_mul_window_table(g1.get(), k.get(), t), 1);
  ASSERT_EQ(ec_mul_binary(g2.get(), k.get()), 1);
  EXPECT_EQ(Describe(g1.get()), Describe(g2.get()));
}

TEST(EcurveMul, NegativeNumbers) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  BnPtr k = RandomBelow(c->q);
  BnPtr minus_k(BN_dup(k.get()));
  BN_set_negative(minus_k.get(), 1);
  BnPtr q_minus_k(BN_new());
  BN_sub(q_minus_k.get(), c->q, k.get());
  UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_binary(want.get(), q_minus_k.get()), 1);
  using Fn = int (*)(ECPOINT*, const BIGNUM*);
  for (Fn f : {Fn{ECPOINT_mul}, Fn{ECPOINT_mul_fbw}, Fn{ec_mul_binary}}) {
    UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
    ASSERT_EQ(f(p.get(), minus_k.get()), 1);
    EXPECT_EQ(Describe(p.get()), Describe(want.get()));
  }
}

// Failures leave their point as it was.
TEST(EcurveMul, FailuresLeaveThePoint) {
  UniquePtr<ECURVE> bad(ECURVE_new(ECURVE_PROJECTIVE));
  BN_set_word(bad->p, 1000);  // even: no field
  BN_one(bad->P->X);
  BN_set_word(bad->P->Y, 7);
  BN_one(bad->P->Z);
  BnPtr k = Hex("1234");
  UniquePtr<ECPOINT> p(ECPOINT_dup(bad->P));
  EXPECT_EQ(ECPOINT_mul(p.get(), k.get()), 0);
  EXPECT_EQ(ECPOINT_mul_fbw(p.get(), k.get()), 0);
  EXPECT_EQ(ToHex(p->X) + ToHex(p->Y) + ToHex(p->Z),
            "0107"
            "01");
  EXPECT_EQ(ECPOINT_mul(p.get(), nullptr), 0);
  EXPECT_EQ(ECPOINT_mul_fbw(nullptr, k.get()), 0);

  // A Z without inverse modulo a composite p: the affine form cannot be made.
  UniquePtr<ECURVE> composite(ECURVE_new(ECURVE_PROJECTIVE));
  BN_set_word(composite->p, 7 * 11 * 13);
  UniquePtr<ECPOINT> z(ECPOINT_new(composite.get()));
  BN_set_word(z->X, 5);
  BN_set_word(z->Y, 6);
  BN_set_word(z->Z, 77);
  EXPECT_EQ(ECPOINT_to_affine(z.get()), 0);
  EXPECT_EQ(ECPOINT_normalize(z.get()), 0);
  EXPECT_EQ(ToHex(z->X) + ":" + ToHex(z->Y) + ":" + ToHex(z->Z), "05:06:4D");
  EXPECT_EQ(z->kind, ECURVE_PROJECTIVE);

  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECPOINT> r = RandomPoint(c.get());
  const std::string before = Describe(r.get());
  EXPECT_EQ(ECPOINT_mul_generator_sum(r.get(), k.get(), nullptr, k.get()), 0);
  EXPECT_EQ(ECPOINT_mul_generator_sum(r.get(), k.get(), z.get(), k.get()), 0);  // no usable field
  EXPECT_EQ(Describe(r.get()), before);
  ERR_clear_error();
}

}  // namespace
}  // namespace qcrypto::ectest
