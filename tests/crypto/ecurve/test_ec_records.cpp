// What a curve record keeps and how it changes: a failed load leaves it as
// it was, the fixed-width forms it keeps outlive the process-wide caches and
// follow its numbers, the built-in curves' entries cannot be pushed out, and
// a secret number never falls back to a variable-time algorithm when the
// fixed-width forms cannot be made.
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/ec/ec_fp256_mul.h"
#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

// Everything a failed ECURVE_set must leave alone, as text.
std::string Snapshot(const ECURVE* c) {
  auto num = [](const BIGNUM* n) { return n == nullptr ? std::string("-") : ToHex(n); };
  return num(c->p) + "|" + num(c->a) + "|" + num(c->b) + "|" + num(c->q) + "|" + num(c->h) + "|" + num(c->spare) + "|" +
         num(c->J) + "|" + num(c->P->X) + ":" + num(c->P->Y) + ":" + num(c->P->Z) + "|" + std::to_string(c->P->kind) +
         "|" + std::to_string(c->flags) + "|" + c->method->name + "|" + std::to_string(c->nid) + "|" +
         std::to_string(c->P->fbw != nullptr) + "|" + std::to_string(c->kind);
}

// Each definition fails at a different step, after some numbers of the new
// curve were already read.
TEST(EcurveRecordSet, FailedLoadLeavesTheRecordUnchanged) {
  static const ECPOINT_FBW_DEF kBadTable = {256, 4, 1, nullptr};
  ECURVE_DEF bad_q = ECURVE_DEF_2_255_431;
  bad_q.q = "12G4";  // not hexadecimal, read after p, a and b
  ECURVE_DEF off_curve = ECURVE_DEF_2_255_431;
  const std::string point_3_5 = "04" + std::string(63, '0') + "3" + std::string(63, '0') + "5";
  off_curve.generator = point_3_5.c_str();
  ECURVE_DEF j_1728 = ECURVE_DEF_2_255_431;
  j_1728.a = "";
  j_1728.b = "";
  j_1728.J = "6C0";  // 1728: no coefficients
  ECURVE_DEF bad_table = ECURVE_DEF_2_255_431;
  bad_table.table = &kBadTable;
  ECURVE_DEF bad_h = ECURVE_DEF_191;
  bad_h.h = "1X";
  const struct {
    const char* name;
    const ECURVE_DEF* def;
  } cases[] = {{"q", &bad_q}, {"generator", &off_curve}, {"J", &j_1728}, {"table", &bad_table}, {"h", &bad_h}};
  for (const ECURVE_DEF* start : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
      UniquePtr<ECURVE> c = Load(*start, kind);
      ASSERT_NE(c, nullptr);
      const ECPOINT* generator = c->P;
      const std::string before = Snapshot(c.get());
      BnPtr k = RandomBelow(c->q);
      UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
      ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
      for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        EXPECT_EQ(ECURVE_set(c.get(), bad.def), 0);
        EXPECT_EQ(Snapshot(c.get()), before);
        EXPECT_EQ(c->P, generator);
        ERR_clear_error();
      }
      // The record still multiplies as its own curve.
      UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
      ASSERT_EQ(c->method->point_mul_base(got.get(), k.get()), 1);
      EXPECT_EQ(Describe(got.get()), Describe(want.get()));
    }
  }
}

// A record loaded again takes the new numbers, generator, method and forms.
TEST(EcurveRecordSet, SuccessfulLoadReplacesEverything) {
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECURVE> other = Load(ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  BnPtr k = RandomBelow(c->q);
  UniquePtr<ECPOINT> first(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul_fbw(first.get(), k.get()), 1);  // forms of 191 now kept
  ASSERT_EQ(ECURVE_set(c.get(), &ECURVE_DEF_2_255_431), 1);
  EXPECT_EQ(Snapshot(c.get()), Snapshot(other.get()));
  EXPECT_EQ(c->P->curve, c.get());
  UniquePtr<ECPOINT> got(ECPOINT_dup(c->P)), want(ECPOINT_dup(other->P));
  ASSERT_EQ(ECPOINT_mul_fbw(got.get(), k.get()), 1);
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
}

// A curve record filled by hand with the numbers of `def` and generator g.
UniquePtr<ECURVE> HandFilled(const ECURVE* from, const ECPOINT* g) {
  UniquePtr<ECURVE> c(ECURVE_new(ECURVE_PROJECTIVE));
  if (c == nullptr || !BN_copy(c->p, from->p) || !BN_copy(c->a, ec_num_or_zero(from->a)) ||
      !BN_copy(c->b, ec_num_or_zero(from->b)) || !BN_copy(c->q, from->q)) {
    return nullptr;
  }
  UniquePtr<ECPOINT> affine(ECPOINT_dup(g));
  if (affine == nullptr || !ECPOINT_to_affine(affine.get()) || !BN_copy(c->P->X, affine->X) ||
      !BN_copy(c->P->Y, affine->Y) || !BN_one(c->P->Z)) {
    return nullptr;
  }
  return c;
}

// A curve no cache has seen: the prime and a of `from`, b chosen so that a
// random (x, y) lies on it; that point is its generator.
UniquePtr<ECURVE> UnseenCurve(const ECURVE* from) {
  UniquePtr<ECURVE> c(ECURVE_new(ECURVE_PROJECTIVE));
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x = RandomBelow(from->p), y = RandomBelow(from->p), t(BN_new());
  if (c == nullptr || !BN_copy(c->p, from->p) || !BN_copy(c->a, ec_num_or_zero(from->a)) ||
      !BN_mod_sqr(c->b, y.get(), c->p, ctx.get()) || !BN_mod_sqr(t.get(), x.get(), c->p, ctx.get()) ||
      !BN_mod_add(t.get(), t.get(), c->a, c->p, ctx.get()) || !BN_mod_mul(t.get(), t.get(), x.get(), c->p, ctx.get()) ||
      !BN_mod_sub(c->b, c->b, t.get(), c->p, ctx.get()) || !BN_copy(c->P->X, x.get()) || !BN_copy(c->P->Y, y.get()) ||
      !BN_one(c->P->Z)) {
    return nullptr;
  }
  return c;
}

// More foreign generators than the process-wide cache holds: a record keeps
// the table it has, and the built-in curves keep theirs in the cache.
TEST(EcurveRecordCache, EvictionSparesHoldersAndBuiltinCurves) {
  UniquePtr<ECURVE> builtin = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  UniquePtr<ECURVE> base = Load(CryptoProA(), ECURVE_PROJECTIVE);
  BnPtr k = RandomBelow(base->q);
  auto generator_product = [&](ECURVE* c) {
    UniquePtr<ECPOINT> g(ECPOINT_dup(c->P));
    EXPECT_EQ(ECPOINT_mul_fbw(g.get(), k.get()), 1);
    return Describe(g.get());
  };
  auto reference = [&](const ECURVE* c) {
    UniquePtr<ECPOINT> g(ECPOINT_dup(c->P));
    EXPECT_EQ(ec_mul_binary(g.get(), k.get()), 1);
    return Describe(g.get());
  };
  generator_product(builtin.get());
  const void* builtin_table = fp256::comb_table_of(builtin.get());
  ASSERT_NE(builtin_table, nullptr);

  UniquePtr<ECPOINT> g0 = RandomPoint(base.get());
  UniquePtr<ECURVE> holder = HandFilled(base.get(), g0.get());
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(generator_product(holder.get()), reference(holder.get()));
  const void* held = fp256::comb_table_of(holder.get());
  ASSERT_NE(held, nullptr);

  for (int i = 0; i < 10; ++i) {
    UniquePtr<ECPOINT> gi = RandomPoint(base.get());
    UniquePtr<ECURVE> foreign = HandFilled(base.get(), gi.get());
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(generator_product(foreign.get()), reference(foreign.get())) << i;
  }
  // The holder multiplies with the same table, and right.
  EXPECT_EQ(generator_product(holder.get()), reference(holder.get()));
  EXPECT_EQ(fp256::comb_table_of(holder.get()), held);
  // Its entry left the cache: a new record of the same numbers builds anew.
  UniquePtr<ECURVE> again = HandFilled(base.get(), g0.get());
  EXPECT_EQ(generator_product(again.get()), reference(again.get()));
  EXPECT_NE(fp256::comb_table_of(again.get()), nullptr);
  EXPECT_NE(fp256::comb_table_of(again.get()), held);
  // The built-in curve's entry stayed: a new record finds the same table.
  UniquePtr<ECURVE> builtin_again = Load(ECURVE_DEF_191, ECURVE_AFFINE);
  EXPECT_EQ(generator_product(builtin_again.get()), reference(builtin_again.get()));
  EXPECT_EQ(fp256::comb_table_of(builtin_again.get()), builtin_table);
}

// Numbers written into a record after its first multiplication are not
// multiplied with the forms of the old ones.
TEST(EcurveRecordCache, FormsFollowTheRecordsNumbers) {
  UniquePtr<ECURVE> c = Load(CryptoProA(), ECURVE_PROJECTIVE);
  BnPtr k = RandomBelow(c->q);
  UniquePtr<ECPOINT> g(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul_fbw(g.get(), k.get()), 1);
  const void* first = fp256::comb_table_of(c.get());
  ASSERT_NE(first, nullptr);
  // Another generator of the same curve.
  UniquePtr<ECPOINT> g2 = RandomPoint(c.get());
  ASSERT_TRUE(ECPOINT_normalize(g2.get()));
  ASSERT_TRUE(ec_point_copy_coords(c->P, g2.get()));
  UniquePtr<ECPOINT> got(ECPOINT_dup(c->P)), want(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul_fbw(got.get(), k.get()), 1);
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
  EXPECT_NE(fp256::comb_table_of(c.get()), first);
  // Another curve in the same record.
  UniquePtr<ECURVE> unseen = UnseenCurve(c.get());
  ASSERT_NE(unseen, nullptr);
  ASSERT_TRUE(BN_copy(c->b, unseen->b));
  ASSERT_TRUE(ec_point_copy_coords(c->P, unseen->P));
  got.reset(ECPOINT_dup(c->P));
  want.reset(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul(got.get(), k.get()), 1);
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
}

// Allocators the tests install for the curve forms and comb tables.
void* RefuseAll(std::size_t) { return nullptr; }
void* RefuseLarge(std::size_t n) { return n > 4096 ? nullptr : OPENSSL_malloc(n); }
void Release(void* p) { OPENSSL_free(p); }

class TableAllocatorScope {
 public:
  explicit TableAllocatorScope(void* (*allocate)(std::size_t)) { fp256::set_table_allocator(allocate, Release); }
  ~TableAllocatorScope() { fp256::set_table_allocator(nullptr, nullptr); }
};

// The comb table of a new generator cannot be made: the generator is
// multiplied by the constant-time general code, and the table is made on a
// later call once memory is there.
TEST(EcurveSecretScalars, NoCombTableMeansTheGeneralConstantTimeCode) {
  UniquePtr<ECURVE> base = Load(CryptoProA(), ECURVE_PROJECTIVE);
  UniquePtr<ECPOINT> g = RandomPoint(base.get());
  UniquePtr<ECURVE> c = HandFilled(base.get(), g.get());
  ASSERT_NE(c, nullptr);
  BnPtr k = RandomBelow(c->q);
  UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  {
    TableAllocatorScope refuse(RefuseLarge);
    const unsigned long before = ec_variable_time_runs();
    for (auto slot : {c->method->point_mul_base, ECPOINT_mul_fbw}) {
      UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
      ASSERT_EQ(slot(got.get(), k.get()), 1);
      EXPECT_EQ(Describe(got.get()), Describe(want.get()));
    }
    EXPECT_EQ(ec_variable_time_runs(), before);
    EXPECT_EQ(fp256::comb_table_of(c.get()), nullptr);
  }
  UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul_fbw(got.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
  EXPECT_NE(fp256::comb_table_of(c.get()), nullptr);
}

// The fixed-width form of a new curve cannot be made: every multiplication of
// a secret fails instead of running the variable-time algorithms; with memory
// back, the same record works.
TEST(EcurveSecretScalars, NoCurveFormMeansFailure) {
  UniquePtr<ECURVE> base = Load(CryptoProB(), ECURVE_PROJECTIVE);
  UniquePtr<ECURVE> c = UnseenCurve(base.get());
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(ECPOINT_lies(c->P), 1);
  BnPtr k = Random(250);
  UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  {
    TableAllocatorScope refuse(RefuseAll);
    const unsigned long before = ec_variable_time_runs();
    using Fn = int (*)(ECPOINT*, const BIGNUM*);
    for (Fn slot : {Fn{ECPOINT_mul}, Fn{ECPOINT_mul_fbw}, c->method->point_mul, c->method->point_mul_base}) {
      UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
      EXPECT_EQ(slot(got.get(), k.get()), 0);
      EXPECT_EQ(ECPOINT_cmp(got.get(), c->P), 0);  // left as it was
    }
    EXPECT_EQ(ec_variable_time_runs(), before);
    ERR_clear_error();
  }
  UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
  ASSERT_EQ(ECPOINT_mul(got.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
}

// Curves the fixed-width code does not serve at all (p of 257 bits and
// more) have no constant-time multiplication: secrets are refused there,
// public numbers are multiplied.
TEST(EcurveSecretScalars, UnservedCurvesRefuseSecrets) {
  UniquePtr<ECURVE> c(ECURVE_new(ECURVE_PROJECTIVE));
  // p = 2^257 - 93 (prime); y^2 = x^3 + x + b through (1, 2).
  BnPtr p(BN_new());
  ASSERT_TRUE(BN_set_bit(p.get(), 257) && BN_sub_word(p.get(), 93));
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_EQ(BN_check_prime(p.get(), ctx.get(), nullptr), 1);
  ASSERT_TRUE(BN_copy(c->p, p.get()));
  BN_one(c->a);
  BN_set_word(c->b, 2);
  BN_one(c->P->X);
  BN_set_word(c->P->Y, 2);
  BN_one(c->P->Z);
  ASSERT_EQ(ECPOINT_lies(c->P), 1);
  BnPtr k = Random(200);
  UniquePtr<ECPOINT> got(ECPOINT_dup(c->P));
  const unsigned long before = ec_variable_time_runs();
  EXPECT_EQ(ECPOINT_mul(got.get(), k.get()), 0);
  EXPECT_EQ(ECPOINT_mul_fbw(got.get(), k.get()), 0);
  EXPECT_EQ(ec_variable_time_runs(), before);
  ERR_clear_error();
  UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
  ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
  ASSERT_EQ(ECPOINT_mul_public(got.get(), k.get()), 1);
  EXPECT_EQ(Describe(got.get()), Describe(want.get()));
}

}  // namespace
}  // namespace qcrypto::ectest
