// Speed of the curve code on one core: generator multiplication (signing),
// general multiplication (key agreement), k1 G + k2 Q (verification), on the
// built-in curve 191 and the curve over 2^255 + 0x431; plus the field and
// point operations underneath and the BIGNUM reference algorithm.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <memory>
#include <string>

#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_fp256_adx.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/ecurve.h"

namespace qcrypto {
namespace {

const ECURVE_DEF* Def(int which) { return which == 0 ? &ECURVE_DEF_191 : &ECURVE_DEF_2_255_431; }

BnPtr RandomBelow(const BIGNUM* limit) {
  BnPtr n(BN_new());
  BN_rand_range(n.get(), limit);
  return n;
}

struct Fixture {
  explicit Fixture(int which) : curve(ECURVE_init(Def(which), ECURVE_PROJECTIVE)) {
    k1 = RandomBelow(curve->q);
    k2 = RandomBelow(curve->q);
    point.reset(ECPOINT_dup(curve->P));
    BnPtr r = RandomBelow(curve->q);
    ECPOINT_mul(point.get(), r.get());
  }
  UniquePtr<ECURVE> curve;
  BnPtr k1, k2;
  UniquePtr<ECPOINT> point;
};

void SetLabel(benchmark::State& state) { state.SetLabel(state.range(0) == 0 ? "curve 191" : "2^255+0x431"); }

// range(1) of the scalar multiplications: 1 the BMI2/ADX code where the
// processor has it (the default), 0 the portable multiplication.
class ImplScope {
 public:
  explicit ImplScope(benchmark::State& state) : had_(fp256::adx_enabled()) {
    fp256::set_adx_enabled(state.range(1) != 0);
    if (state.range(1) != 0 && !fp256::adx_enabled()) state.SkipWithError("no BMI2/ADX");
    state.SetLabel(std::string(state.range(0) == 0 ? "curve 191" : "2^255+0x431") +
                   (state.range(1) == 0 ? " portable" : " bmi2/adx"));
  }
  ~ImplScope() { fp256::set_adx_enabled(had_); }

 private:
  bool had_;
};

void BM_GeneratorMul(benchmark::State& state) {
  ImplScope impl(state);
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    UniquePtr<ECPOINT> g(ECPOINT_dup(f.curve->P));
    if (!f.curve->method->point_mul_base(g.get(), f.k1.get())) state.SkipWithError("failed");
    benchmark::DoNotOptimize(g.get());
  }
}
BENCHMARK(BM_GeneratorMul)->ArgsProduct({{0, 1}, {1, 0}});

void BM_GeneralMul(benchmark::State& state) {
  ImplScope impl(state);
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    UniquePtr<ECPOINT> r(ECPOINT_dup(f.point.get()));
    if (!f.curve->method->point_mul(r.get(), f.k1.get())) state.SkipWithError("failed");
    benchmark::DoNotOptimize(r.get());
  }
}
BENCHMARK(BM_GeneralMul)->ArgsProduct({{0, 1}, {1, 0}});

void BM_GeneratorSum(benchmark::State& state) {
  ImplScope impl(state);
  Fixture f(static_cast<int>(state.range(0)));
  UniquePtr<ECPOINT> r(ECPOINT_new(f.curve.get()));
  for (auto _ : state) {
    if (!ECPOINT_mul_generator_sum(r.get(), f.k1.get(), f.point.get(), f.k2.get())) state.SkipWithError("failed");
    benchmark::DoNotOptimize(r.get());
  }
}
BENCHMARK(BM_GeneratorSum)->ArgsProduct({{0, 1}, {1, 0}});

// The window-table algorithm with the built-in 4-bit table (BIGNUM).
void BM_WindowTableMul(benchmark::State& state) {
  Fixture f(0);
  for (auto _ : state) {
    UniquePtr<ECPOINT> g(ECPOINT_dup(f.curve->P));
    if (!ec_mul_window_table(g.get(), f.k1.get(), f.curve->P->fbw)) state.SkipWithError("failed");
    benchmark::DoNotOptimize(g.get());
  }
}
BENCHMARK(BM_WindowTableMul);

// The signed-binary algorithm on BIGNUMs.
void BM_BinaryMul(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    UniquePtr<ECPOINT> r(ECPOINT_dup(f.point.get()));
    if (!ec_mul_binary(r.get(), f.k1.get())) state.SkipWithError("failed");
    benchmark::DoNotOptimize(r.get());
  }
  SetLabel(state);
}
BENCHMARK(BM_BinaryMul)->Arg(0)->Arg(1);

void BM_CurveInit(benchmark::State& state) {
  for (auto _ : state) {
    UniquePtr<ECURVE> c(ECURVE_init(Def(static_cast<int>(state.range(0))), ECURVE_PROJECTIVE));
    benchmark::DoNotOptimize(c.get());
  }
  SetLabel(state);
}
BENCHMARK(BM_CurveInit)->Arg(0)->Arg(1);

// Field and point operations of the fixed-width code, with the
// multiplication the scalar multiplications use (range(1): 0 portable,
// 1 BMI2/ADX for the shape of p).
struct FieldFixture {
  explicit FieldFixture(int which) : f(which) {
    c = fp256::curve_for(f.curve.get());
    BnCtxPtr ctx(BN_CTX_new());
    fp256::fe_from_bn(c->f, x, f.k1.get(), ctx.get());
    fp256::fe_from_bn(c->f, y, f.k2.get(), ctx.get());
    fp256::jac_from_point(*c, P, f.point.get(), ctx.get());
    fp256::jac_double<fp256::PortableOps>(*c, Q, P);
    fp256::jac_double<fp256::PortableOps>(*c, Q, Q);
  }
  Fixture f;
  std::shared_ptr<const fp256::Curve> c;
  fp256::Fe x, y;
  fp256::Jac P, Q;
};

template <class Fn>
void WithOps(benchmark::State& state, const fp256::Field& field, Fn&& fn) {
  if (state.range(1) == 0) return fn(fp256::PortableOps{});
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
  if (!fp256::cpu_has_adx()) {
    state.SkipWithError("no BMI2/ADX");
    return;
  }
  if (field.form == fp256::kFieldP256) return fn(fp256::AdxP256Ops{});
  if (field.form == fp256::kFieldC255) return fn(fp256::AdxC255Ops{});
  return fn(fp256::AdxOps{});
#else
  state.SkipWithError("no BMI2/ADX code");
#endif
}

void SetOpsLabel(benchmark::State& state) {
  state.SetLabel(std::string(state.range(0) == 0 ? "curve 191" : "2^255+0x431") +
                 (state.range(1) == 0 ? " portable" : " bmi2/adx"));
}

void BM_FieldMul(benchmark::State& state) {
  FieldFixture ff(static_cast<int>(state.range(0)));
  WithOps(state, ff.c->f, [&](auto ops) {
    using O = decltype(ops);
    for (auto _ : state) {
      O::mul(ff.c->f, ff.x, ff.x, ff.y);
      benchmark::DoNotOptimize(ff.x);
    }
  });
  SetOpsLabel(state);
}
BENCHMARK(BM_FieldMul)->ArgsProduct({{0, 1}, {0, 1}});

void BM_FieldSqr(benchmark::State& state) {
  FieldFixture ff(static_cast<int>(state.range(0)));
  WithOps(state, ff.c->f, [&](auto ops) {
    using O = decltype(ops);
    for (auto _ : state) {
      O::sqr(ff.c->f, ff.x, ff.x);
      benchmark::DoNotOptimize(ff.x);
    }
  });
  SetOpsLabel(state);
}
BENCHMARK(BM_FieldSqr)->ArgsProduct({{0, 1}, {0, 1}});

// Whole operations as the scalar multiplications run them: the portable
// templates, or the BMI2/ADX ones with the assembly inlined.
struct PortableWhole {
  static void inv(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a) {
    fp256::fe_inv<fp256::PortableOps>(f, r, a);
  }
  static void dbl(const fp256::Curve& c, fp256::Jac& r, const fp256::Jac& p) {
    fp256::jac_double<fp256::PortableOps>(c, r, p);
  }
  static void add(const fp256::Curve& c, fp256::Jac& r, const fp256::Jac& p, const fp256::Jac& q) {
    fp256::jac_add<fp256::PortableOps>(c, r, p, q);
  }
};
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
struct AdxWhole {
  static void inv(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a) { fp256::fe_inv_adx(f, r, a); }
  static void dbl(const fp256::Curve& c, fp256::Jac& r, const fp256::Jac& p) { fp256::jac_double_adx(c, r, p); }
  static void add(const fp256::Curve& c, fp256::Jac& r, const fp256::Jac& p, const fp256::Jac& q) {
    fp256::jac_add_adx(c, r, p, q);
  }
};
#endif

template <class Fn>
void WithWhole(benchmark::State& state, Fn&& fn) {
  if (state.range(1) == 0) return fn(PortableWhole{});
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
  if (!fp256::cpu_has_adx()) {
    state.SkipWithError("no BMI2/ADX");
    return;
  }
  return fn(AdxWhole{});
#else
  state.SkipWithError("no BMI2/ADX code");
#endif
}

void BM_FieldInv(benchmark::State& state) {
  FieldFixture ff(static_cast<int>(state.range(0)));
  WithWhole(state, [&](auto ops) {
    using O = decltype(ops);
    for (auto _ : state) {
      O::inv(ff.c->f, ff.x, ff.x);
      benchmark::DoNotOptimize(ff.x);
    }
  });
  SetOpsLabel(state);
}
BENCHMARK(BM_FieldInv)->ArgsProduct({{0, 1}, {0, 1}});

void BM_PointDouble(benchmark::State& state) {
  FieldFixture ff(static_cast<int>(state.range(0)));
  WithWhole(state, [&](auto ops) {
    using O = decltype(ops);
    for (auto _ : state) {
      O::dbl(*ff.c, ff.P, ff.P);
      benchmark::DoNotOptimize(ff.P);
    }
  });
  SetOpsLabel(state);
}
BENCHMARK(BM_PointDouble)->ArgsProduct({{0, 1}, {0, 1}});

void BM_PointAdd(benchmark::State& state) {
  FieldFixture ff(static_cast<int>(state.range(0)));
  WithWhole(state, [&](auto ops) {
    using O = decltype(ops);
    for (auto _ : state) {
      O::add(*ff.c, ff.P, ff.P, ff.Q);
      benchmark::DoNotOptimize(ff.P);
    }
  });
  SetOpsLabel(state);
}
BENCHMARK(BM_PointAdd)->ArgsProduct({{0, 1}, {0, 1}});

}  // namespace
}  // namespace qcrypto

BENCHMARK_MAIN();
