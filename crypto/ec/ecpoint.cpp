// The point record: creation, copies, forms (affine / Jacobian), comparison,
// the curve equation and y from x.
#include <openssl/crypto.h>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace {

bool CurveUsable(const ECURVE* c) {
  return c != nullptr && c->p != nullptr && c->method != nullptr && !BN_is_zero(c->p) && !BN_is_negative(c->p);
}

// y-coordinate of the affine point at infinity: 1 on curves with b = 0,
// where (0, 0) is a finite point, else 0.
BN_ULONG AffineInfinityY(const ECURVE* c) { return ec_num_is_zero(c->b) ? 1 : 0; }

}  // namespace

ECPOINT* ECPOINT_new(ECURVE* curve) {
  if (curve == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_NEW);
    return nullptr;
  }
  auto* point = static_cast<ECPOINT*>(OPENSSL_zalloc(sizeof(ECPOINT)));
  if (point == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_NEW);
    return nullptr;
  }
  point->kind = curve->kind;
  point->curve = curve;
  point->X = BN_new();
  point->Y = BN_new();
  point->Z = BN_new();
  if (point->X == nullptr || point->Y == nullptr || point->Z == nullptr) {
    ECPOINT_free(point);
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_NEW);
    return nullptr;
  }
  return point;
}

void ECPOINT_free(ECPOINT* point) {
  if (point == nullptr) return;
  BN_clear_free(point->X);
  BN_clear_free(point->Y);
  BN_clear_free(point->Z);
  ECPOINT_FBW_free(point->fbw);
  OPENSSL_free(point);
}

int ec_point_copy_coords(ECPOINT* to, const ECPOINT* from) {
  if (to == from) return 1;
  SecretBnPtr x(BN_dup(from->X));
  SecretBnPtr y(BN_dup(from->Y));
  SecretBnPtr z(BN_dup(from->Z));
  if (x == nullptr || y == nullptr || z == nullptr) return 0;
  BN_swap(to->X, x.get());
  BN_swap(to->Y, y.get());
  BN_swap(to->Z, z.get());
  to->kind = from->kind;
  return 1;
}

void ec_point_swap_coords(ECPOINT* to, ECPOINT* from) {
  BN_swap(to->X, from->X);
  BN_swap(to->Y, from->Y);
  BN_swap(to->Z, from->Z);
  to->kind = from->kind;
}

ECPOINT* ECPOINT_dup(const ECPOINT* point) {
  if (point == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_DUP);
    return nullptr;
  }
  ECPOINT* copy = ECPOINT_new(point->curve);
  if (copy == nullptr || !ECPOINT_copy(copy, point)) {
    ECPOINT_free(copy);
    EC_RAISE(ECGOST_F_ECPOINT_DUP);
    return nullptr;
  }
  return copy;
}

int ECPOINT_copy(ECPOINT* to, const ECPOINT* from) {
  if (to == nullptr || from == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_COPY);
    return 0;
  }
  if (to == from) return 1;
  if (!ec_point_copy_coords(to, from)) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_COPY);
    return 0;
  }
  to->curve = from->curve;
  if (to->fbw != from->fbw) {
    if (from->fbw != nullptr) ECPOINT_FBW_up_ref(from->fbw);
    ECPOINT_FBW_free(to->fbw);
    to->fbw = from->fbw;
  }
  return 1;
}

int ECPOINT_is_infinity(const ECPOINT* point) {
  if (point == nullptr) return 0;
  if (point->kind == ECURVE_PROJECTIVE) return BN_is_zero(point->Z);
  if (!BN_is_zero(point->X) || point->curve == nullptr) return 0;
  return AffineInfinityY(point->curve) == 1 ? BN_is_one(point->Y) : BN_is_zero(point->Y);
}

int ECPOINT_set_infinity(ECPOINT* point) {
  if (point == nullptr || point->curve == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_SET_INFINITY);
    return 0;
  }
  bool ok;
  if (point->kind == ECURVE_PROJECTIVE) {
    ok = BN_one(point->X) && BN_one(point->Y);
  } else {
    BN_zero(point->X);
    ok = BN_set_word(point->Y, AffineInfinityY(point->curve));
  }
  BN_zero(point->Z);
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_SET_INFINITY);
    return 0;
  }
  return 1;
}

int ec_point_affine_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y, BN_CTX* ctx) {
  const ECURVE* c = point->curve;
  if (ECPOINT_is_infinity(point)) return 0;
  if (point->kind == ECURVE_AFFINE || BN_is_one(point->Z)) {
    return BN_copy(x, point->X) != nullptr && BN_copy(y, point->Y) != nullptr;
  }
  if (!CurveUsable(c)) return 0;
  BnCtxFrame frame(ctx);
  BIGNUM* zi = frame.get();
  BIGNUM* zi2 = frame.get();
  BIGNUM* tx = frame.get();
  if (tx == nullptr) return 0;
  const ECURVE_METHOD* m = c->method;
  // One inversion: x = X / Z^2, y = Y / Z^3.
  return m->field_inv(c, zi, point->Z, c->p, ctx) && m->field_sqr(c, zi2, zi, c->p, ctx) &&
         m->field_mul(c, tx, point->X, zi2, c->p, ctx) && m->field_mul(c, zi2, zi2, zi, c->p, ctx) &&
         m->field_mul(c, y, point->Y, zi2, c->p, ctx) && BN_copy(x, tx) != nullptr;
}

int ec_point_set_affine_xy(ECPOINT* point, const BIGNUM* x, const BIGNUM* y) {
  SecretBnPtr nx(BN_dup(x));
  SecretBnPtr ny(BN_dup(y));
  SecretBnPtr nz(BN_new());
  if (nx == nullptr || ny == nullptr || nz == nullptr) return 0;
  const int kind = point->curve != nullptr ? point->curve->kind : point->kind;
  if (kind == ECURVE_PROJECTIVE) {
    if (!BN_one(nz.get())) return 0;
  } else {
    BN_zero(nz.get());
  }
  BN_swap(point->X, nx.get());
  BN_swap(point->Y, ny.get());
  BN_swap(point->Z, nz.get());
  point->kind = kind;
  return 1;
}

int ECPOINT_to_affine(ECPOINT* point, BN_CTX* given) {
  if (point == nullptr || point->curve == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_TO_AFFINE);
    return 0;
  }
  if (point->kind == ECURVE_AFFINE) return 1;
  if (BN_is_zero(point->Z)) {
    point->kind = ECURVE_AFFINE;
    if (!ECPOINT_set_infinity(point)) {
      point->kind = ECURVE_PROJECTIVE;
      EC_RAISE(ECGOST_F_ECPOINT_TO_AFFINE);
      return 0;
    }
    return 1;
  }
  EcCtxOrOwn owner(given);
  SecretBnPtr x(BN_new());
  SecretBnPtr y(BN_new());
  if (owner.get() == nullptr || x == nullptr || y == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_TO_AFFINE);
    return 0;
  }
  if (!ec_point_affine_xy(point, x.get(), y.get(), owner.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_TO_AFFINE);
    return 0;
  }
  BN_swap(point->X, x.get());
  BN_swap(point->Y, y.get());
  BN_zero(point->Z);
  point->kind = ECURVE_AFFINE;
  return 1;
}

int ECPOINT_to_projective(ECPOINT* point) {
  if (point == nullptr || point->curve == nullptr) return 0;
  if (point->kind == ECURVE_PROJECTIVE) return 1;
  if (ECPOINT_is_infinity(point)) {
    if (!BN_one(point->X) || !BN_one(point->Y)) return 0;
    BN_zero(point->Z);
  } else if (!BN_one(point->Z)) {
    return 0;
  }
  point->kind = ECURVE_PROJECTIVE;
  return 1;
}

int ECPOINT_normalize(ECPOINT* point, BN_CTX* ctx) {
  if (point == nullptr) {
    EC_RAISE(ECGOST_F_ECPOINT_NORMALIZE);
    return 0;
  }
  if (point->kind == ECURVE_PROJECTIVE && (BN_is_zero(point->Z) || BN_is_one(point->Z))) return 1;
  if (!ECPOINT_to_affine(point, ctx) || !ECPOINT_to_projective(point)) {
    EC_RAISE(ECGOST_F_ECPOINT_NORMALIZE);
    return 0;
  }
  return 1;
}

BIGNUM* ECPOINT_get_x(BIGNUM* result, const ECPOINT* point, BN_CTX* given) {
  if (point == nullptr || ECPOINT_is_infinity(point)) {
    EC_RAISE(ECGOST_F_ECPOINT_GET_X);
    return nullptr;
  }
  EcCtxOrOwn owner(given);
  SecretBnPtr x(BN_new());
  SecretBnPtr y(BN_new());
  if (owner.get() == nullptr || x == nullptr || y == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_GET_X);
    return nullptr;
  }
  if (!ec_point_affine_xy(point, x.get(), y.get(), owner.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_GET_X);
    return nullptr;
  }
  if (result == nullptr) return x.release();
  if (BN_copy(result, x.get()) == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_GET_X);
    return nullptr;
  }
  return result;
}

int ECPOINT_cmp(const ECPOINT* p1, const ECPOINT* p2, BN_CTX* given) {
  if (p1 == nullptr || p2 == nullptr) return -1;
  if (p1 == p2) return 0;
  const int inf1 = ECPOINT_is_infinity(p1);
  const int inf2 = ECPOINT_is_infinity(p2);
  if (inf1 || inf2) return inf1 && inf2 ? 0 : -1;
  const bool plain1 = p1->kind == ECURVE_AFFINE || BN_is_one(p1->Z);
  const bool plain2 = p2->kind == ECURVE_AFFINE || BN_is_one(p2->Z);
  if (plain1 && plain2) return BN_cmp(p1->X, p2->X) == 0 && BN_cmp(p1->Y, p2->Y) == 0 ? 0 : -1;
  EcCtxOrOwn owner(given);
  BN_CTX* ctx = owner.get();
  if (ctx == nullptr) return -1;
  BnCtxFrame frame(ctx);
  BIGNUM* x1 = frame.get();
  BIGNUM* y1 = frame.get();
  BIGNUM* x2 = frame.get();
  BIGNUM* y2 = frame.get();
  if (y2 == nullptr || !ec_point_affine_xy(p1, x1, y1, ctx) || !ec_point_affine_xy(p2, x2, y2, ctx)) return -1;
  return BN_cmp(x1, x2) == 0 && BN_cmp(y1, y2) == 0 ? 0 : -1;
}

int ECPOINT_lies(const ECPOINT* point, BN_CTX* given) {
  if (point == nullptr || !CurveUsable(point->curve)) {
    EC_RAISE(ECGOST_F_ECPOINT_LIES);
    return -1;
  }
  if (ECPOINT_is_infinity(point)) return 1;
  const ECURVE* c = point->curve;
  const ECURVE_METHOD* m = c->method;
  EcCtxOrOwn owner(given);
  BN_CTX* ctx = owner.get();
  if (ctx == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_LIES);
    return -1;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* x = frame.get();
  BIGNUM* y = frame.get();
  BIGNUM* lhs = frame.get();
  BIGNUM* rhs = frame.get();
  BIGNUM* t = frame.get();
  const BIGNUM* a = ec_num_or_zero(c->a);
  const BIGNUM* b = ec_num_or_zero(c->b);
  if (t == nullptr || a == nullptr || b == nullptr || !ec_point_affine_xy(point, x, y, ctx)) {
    EC_RAISE(ECGOST_F_ECPOINT_LIES);
    return -1;
  }
  // y^2 = (x^2 + a) * x + b
  if (!m->field_sqr(c, lhs, y, c->p, ctx) || !m->field_sqr(c, rhs, x, c->p, ctx) ||
      !m->field_add(c, rhs, rhs, a, c->p, ctx) || !m->field_mul(c, rhs, rhs, x, c->p, ctx) ||
      !m->field_add(c, rhs, rhs, b, c->p, ctx) || !m->field_mod(c, t, lhs, c->p, ctx)) {
    EC_RAISE(ECGOST_F_ECPOINT_LIES);
    return -1;
  }
  return BN_cmp(t, rhs) == 0 ? 1 : 0;
}

int ECPOINT_derive(ECPOINT* point, const ECURVE* c, int odd, BN_CTX* given) {
  if (point == nullptr || !CurveUsable(c)) {
    EC_RAISE(ECGOST_F_ECPOINT_DERIVE);
    return 0;
  }
  const ECURVE_METHOD* m = c->method;
  EcCtxOrOwn owner(given);
  BN_CTX* ctx = owner.get();
  SecretBnPtr y(BN_new());
  if (ctx == nullptr || y == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_DERIVE);
    return 0;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  const BIGNUM* a = ec_num_or_zero(c->a);
  const BIGNUM* b = ec_num_or_zero(c->b);
  if (t == nullptr || a == nullptr || b == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_DERIVE);
    return 0;
  }
  // t = x^3 + a*x + b; y = sqrt(t) of the asked parity. BN_sqrt bounds its
  // work and fails on a composite or even p, so hostile explicit curves end
  // here cleanly.
  if (!m->field_sqr(c, t, point->X, c->p, ctx) || !m->field_add(c, t, t, a, c->p, ctx) ||
      !m->field_mul(c, t, t, point->X, c->p, ctx) || !m->field_add(c, t, t, b, c->p, ctx) ||
      !BN_sqrt(y.get(), t, c->p, odd ? 1 : 0, ctx)) {
    EC_RAISE(ECGOST_F_ECPOINT_DERIVE);
    return 0;
  }
  if (point->kind == ECURVE_PROJECTIVE && !BN_one(point->Z)) {
    EC_RAISE(ECGOST_F_ECPOINT_DERIVE);
    return 0;
  }
  BN_swap(point->Y, y.get());
  return 1;
}

}  // namespace qcrypto
