// Scalar multiplication: the published entry points, the window tables and
// the BIGNUM algorithms (signed binary from 3k; fixed-base windowing). The
// entry points for secret numbers (slots 10 and 11) run only the constant-time
// fixed-width code of ec_fp256_mul.cpp and fail where it does not serve; the
// BIGNUM algorithms are left to public numbers.
#include <openssl/crypto.h>

#include <atomic>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/locks.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace {

bool CurveUsable(const ECURVE* c) {
  return c != nullptr && c->p != nullptr && c->method != nullptr && !BN_is_negative(c->p) && BN_is_odd(c->p) &&
         BN_num_bits(c->p) >= 2;
}

// Y = -Y in place (p - Y, 0 stays 0).
bool Negate(ECPOINT* pt, BN_CTX* ctx) {
  if (ECPOINT_is_infinity(pt)) return true;
  return BN_nnmod(pt->Y, pt->Y, pt->curve->p, ctx) && (BN_is_zero(pt->Y) || BN_sub(pt->Y, pt->curve->p, pt->Y));
}

#if defined(QCRYPTO_TEST_HOOKS)
std::atomic<unsigned long> g_variable_time_runs{0};
void CountVariableTimeRun() { g_variable_time_runs.fetch_add(1, std::memory_order_relaxed); }
#else
void CountVariableTimeRun() {}
#endif

// A working point on the curve of `from`: same coordinates and kind, no table.
UniquePtr<ECPOINT> WorkCopy(const ECPOINT* from) {
  UniquePtr<ECPOINT> w(ECPOINT_new(from->curve));
  if (w != nullptr && !ec_point_copy_coords(w.get(), from)) w.reset();
  return w;
}

// A point at infinity in the form of the curve.
UniquePtr<ECPOINT> Infinity(ECURVE* c) {
  UniquePtr<ECPOINT> w(ECPOINT_new(c));
  if (w != nullptr && !ECPOINT_set_infinity(w.get())) w.reset();
  return w;
}

// Moves the value of `from` into `to`; the kind becomes the curve's.
void Commit(ECPOINT* to, ECPOINT* from) { ec_point_swap_coords(to, from); }

}  // namespace

// ---------------------------------------------------------------------------
// Window tables

ECPOINT_FBW* ECPOINT_FBW_new() {
  auto* table = static_cast<ECPOINT_FBW*>(OPENSSL_zalloc(sizeof(ECPOINT_FBW)));
  if (table == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_FBW_NEW);
    return nullptr;
  }
  table->references = 1;
  return table;
}

int ECPOINT_FBW_up_ref(ECPOINT_FBW* table) {
  if (table == nullptr) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
  return ++table->references;
}

void ECPOINT_FBW_free(ECPOINT_FBW* table) {
  if (table == nullptr) return;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
    if (--table->references > 0) return;
  }
  if (table->points != nullptr) {
    for (int i = 0; i < table->count; ++i) ECPOINT_free(table->points[i]);
    OPENSSL_free(table->points);
  }
  OPENSSL_free(table);
}

int ec_table_serves(const ECPOINT_FBW* table, const ECPOINT* point, BN_CTX* ctx) {
  if (table == nullptr || point == nullptr || table->points == nullptr || table->count < 1 || table->width < 1 ||
      table->width > 16 || table->bits < 1 || static_cast<long>(table->count) * table->width < table->bits) {
    return 0;
  }
  for (int i = 0; i < table->count; ++i) {
    if (table->points[i] == nullptr) return 0;
  }
  return ECPOINT_cmp(table->points[0], point, ctx) == 0 ? 1 : 0;
}

ECPOINT_FBW* ECGOST_get_fbw(ECPOINT* point) {
  if (point == nullptr) return nullptr;
  if (point->fbw != nullptr) return point->fbw;
  const ECURVE* builtin = ec_builtin_curve_191();
  if (builtin == nullptr || point->curve == nullptr || ECURVE_cmp(point->curve, builtin) != 0) return nullptr;
  // The table holds multiples of the generator: it goes to the generator only.
  if (ECPOINT_cmp(point, builtin->P) != 0 || builtin->P->fbw == nullptr) return nullptr;
  // A curve's own generator record is shared by every thread using the
  // curve: it is not written (the built-in table lives as long as the process).
  if (point == point->curve->P) return builtin->P->fbw;
  CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
  if (point->fbw == nullptr) {
    ECPOINT_FBW_up_ref(builtin->P->fbw);
    point->fbw = builtin->P->fbw;
  }
  return point->fbw;
}

// ---------------------------------------------------------------------------
// BIGNUM algorithms

int ec_mul_binary(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr || !CurveUsable(point->curve)) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  CountVariableTimeRun();
  ECURVE* c = point->curve;
  BnCtxPtr ctx = EcNewCtx();
  SecretBnPtr h(BN_new());
  SecretBnPtr kk(BN_dup(k));
  UniquePtr<ECPOINT> acc = WorkCopy(point);
  if (ctx == nullptr || h == nullptr || kk == nullptr || acc == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  const bool negative = BN_is_negative(k);
  BN_set_negative(kk.get(), 0);
  bool ok = true;
  bool done = false;
  if (c->kind == ECURVE_AFFINE) {
    ok = ECPOINT_to_affine(acc.get(), ctx.get());
    if (ok && (BN_is_zero(kk.get()) || ECPOINT_is_infinity(acc.get()))) {
      ok = ECPOINT_set_infinity(acc.get());
      done = true;
    }
  } else {
    ok = ECPOINT_to_projective(acc.get());
    if (ok && (BN_is_zero(kk.get()) || BN_is_zero(acc->Z))) {
      ok = ECPOINT_set_infinity(acc.get());
      done = true;
    } else if (ok) {
      ok = ECPOINT_normalize(acc.get(), ctx.get());
    }
  }
  if (ok && !done) {
    // h = 3k; for each bit i of h below its top (down to 1): double, then
    // add P where h has a 1 and k a 0, add -P where h has a 0 and k a 1.
    UniquePtr<ECPOINT> p1 = WorkCopy(acc.get());
    UniquePtr<ECPOINT> p2 = WorkCopy(acc.get());
    ok = p1 != nullptr && p2 != nullptr && BN_copy(h.get(), kk.get()) && BN_mul_word(h.get(), 3) &&
         Negate(p2.get(), ctx.get());
    for (int i = BN_num_bits(h.get()) - 2; ok && i >= 1; --i) {
      ok = ECPOINT_double(acc.get(), acc.get(), ctx.get());
      const int hb = BN_is_bit_set(h.get(), i);
      const int kb = BN_is_bit_set(kk.get(), i);
      if (ok && hb && !kb) ok = ECPOINT_add(acc.get(), acc.get(), p1.get(), ctx.get());
      if (ok && !hb && kb) ok = ECPOINT_add(acc.get(), acc.get(), p2.get(), ctx.get());
    }
  }
  if (ok && negative) ok = Negate(acc.get(), ctx.get());
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  Commit(point, acc.get());
  return 1;
}

int ec_mul_window_table(ECPOINT* point, const BIGNUM* k, const ECPOINT_FBW* table) {
  if (point == nullptr || k == nullptr || table == nullptr || !CurveUsable(point->curve) || table->width < 1 ||
      table->width > 16 || BN_num_bits(k) > static_cast<long>(table->count) * table->width) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  CountVariableTimeRun();
  ECURVE* c = point->curve;
  BnCtxPtr ctx = EcNewCtx();
  UniquePtr<ECPOINT> a = Infinity(c);
  UniquePtr<ECPOINT> b = Infinity(c);
  if (ctx == nullptr || a == nullptr || b == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  // Digit j holds bits j*w .. j*w + w - 1 of |k|.
  const int w = table->width;
  auto digit = [&](int j) {
    int d = 0;
    for (int t = 0; t < w; ++t) d |= BN_is_bit_set(k, j * w + t) << t;
    return d;
  };
  bool ok = true;
  for (int d = (1 << w) - 1; ok && d >= 1; --d) {
    for (int j = 0; ok && j < table->count; ++j) {
      if (digit(j) == d) ok = ECPOINT_add(b.get(), b.get(), table->points[j], ctx.get());
    }
    if (ok) ok = ECPOINT_add(a.get(), a.get(), b.get(), ctx.get());
  }
  if (ok && BN_is_negative(k)) ok = Negate(a.get(), ctx.get());
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  Commit(point, a.get());
  return 1;
}

#if defined(QCRYPTO_TEST_HOOKS)
unsigned long ec_variable_time_runs() { return g_variable_time_runs.load(std::memory_order_relaxed); }
#endif

// ---------------------------------------------------------------------------
// Entry points

int ECPOINT_mul(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  const int fast = ec_fp256_mul(point, k);
  if (fast >= 0) return fast;
  // No constant-time multiplication for this curve: k may be a private
  // number or a nonce, so no variable-time one either.
  EC_RAISE(ECGOST_F_ECPOINT_MUL);
  return 0;
}

int ECPOINT_mul_public(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  const int fast = ec_fp256_mul(point, k);
  if (fast >= 0) return fast;
  return ec_mul_binary(point, k);
}

int ECPOINT_mul_fbw(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr || point->curve == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECPOINT_MUL, ERR_R_INTERNAL);
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  ECURVE* c = point->curve;
  // The comb table holds multiples of the generator: only the generator
  // itself may use it, and only for numbers as wide as it reaches.
  if (c->P != nullptr && ECPOINT_cmp(point, c->P) == 0) {
    const int fast = ec_fp256_mul_generator(point, k);
    if (fast >= 0) return fast;
  }
  // Any other point, a wider number, or a generator without a comb table:
  // the curve's general multiplication (constant time, or a failure).
  if (c->method == nullptr || c->method->point_mul == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return c->method->point_mul(point, k);
}

namespace {

// k * G for a public k when the fixed-width comb does not serve: the window
// table where one serves the generator, else the general public one.
int MulGeneratorPublic(ECPOINT* g, const BIGNUM* k) {
  const int fast = ec_fp256_mul_generator(g, k);
  if (fast >= 0) return fast;
  ECPOINT_FBW* table = ECGOST_get_fbw(g);
  if (table != nullptr && BN_num_bits(k) <= table->bits && ec_table_serves(table, g, nullptr)) {
    return ec_mul_window_table(g, k, table);
  }
  return ECPOINT_mul_public(g, k);
}

}  // namespace

int ECPOINT_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2) {
  if (result == nullptr || q == nullptr || k1 == nullptr || k2 == nullptr || !CurveUsable(q->curve) ||
      q->curve->P == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  const int fast = ec_fp256_mul_generator_sum(result, k1, q, k2);
  if (fast >= 0) return fast;
  ECURVE* c = q->curve;
  UniquePtr<ECPOINT> g(ECPOINT_dup(c->P));
  UniquePtr<ECPOINT> t = WorkCopy(q);
  BnCtxPtr ctx = EcNewCtx();
  if (g == nullptr || t == nullptr || ctx == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  if (!MulGeneratorPublic(g.get(), k1) || !ECPOINT_mul_public(t.get(), k2) ||
      !ECPOINT_add(g.get(), g.get(), t.get(), ctx.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  Commit(result, g.get());
  result->curve = c;
  return 1;
}

}  // namespace qcrypto
