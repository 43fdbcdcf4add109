// Point addition and doubling on BIGNUMs, in the form of the curve: affine
// (slope formulas, one inversion) or Jacobian (no inversion; mixed addition
// when the second point has Z = 1). Not constant time: the fixed-width code
// in ec_fp256_*.h serves secrets.
#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace {

// The curve's field slots with the curve, p and the context bound.
struct Field {
  const ECURVE* c;
  BN_CTX* ctx;
  bool mul(BIGNUM* r, const BIGNUM* a, const BIGNUM* b) const {
    return c->method->field_mul(c, r, a, b, c->p, ctx) != 0;
  }
  bool sqr(BIGNUM* r, const BIGNUM* a) const { return c->method->field_sqr(c, r, a, c->p, ctx) != 0; }
  bool add(BIGNUM* r, const BIGNUM* a, const BIGNUM* b) const {
    return c->method->field_add(c, r, a, b, c->p, ctx) != 0;
  }
  bool sub(BIGNUM* r, const BIGNUM* a, const BIGNUM* b) const {
    return c->method->field_sub(c, r, a, b, c->p, ctx) != 0;
  }
  bool inv(BIGNUM* r, const BIGNUM* a) const { return c->method->field_inv(c, r, a, c->p, ctx) != 0; }
  bool mod(BIGNUM* r, const BIGNUM* a) const { return c->method->field_mod(c, r, a, c->p, ctx) != 0; }
};

struct Jac {
  BIGNUM* X;
  BIGNUM* Y;
  BIGNUM* Z;
};

bool TakeJac(BnCtxFrame& frame, Jac* j) {
  j->X = frame.get();
  j->Y = frame.get();
  j->Z = frame.get();
  return j->Z != nullptr;
}

// The Jacobian coordinates of any point: affine points get Z = 1, the affine
// point at infinity (1, 1, 0).
bool LoadJac(const ECPOINT* pt, const Jac& j) {
  if (pt->kind == ECURVE_PROJECTIVE) {
    return BN_copy(j.X, pt->X) && BN_copy(j.Y, pt->Y) && BN_copy(j.Z, pt->Z);
  }
  if (ECPOINT_is_infinity(pt)) {
    BN_zero(j.Z);
    return BN_one(j.X) && BN_one(j.Y);
  }
  return BN_copy(j.X, pt->X) && BN_copy(j.Y, pt->Y) && BN_one(j.Z);
}

bool SetJacInfinity(const Jac& j) {
  BN_zero(j.Z);
  return BN_one(j.X) && BN_one(j.Y);
}

// IEEE P1363 projective doubling.
bool JacDouble(const Field& f, const Jac& r, const Jac& a, BnCtxFrame& frame) {
  if (BN_is_zero(a.Y) || BN_is_zero(a.Z)) return SetJacInfinity(r);
  BIGNUM* m = frame.get();
  BIGNUM* s = frame.get();
  BIGNUM* t = frame.get();
  BIGNUM* u = frame.get();
  BIGNUM* x3 = frame.get();
  BIGNUM* z3 = frame.get();
  if (z3 == nullptr) return false;
  if ((f.c->flags & ECURVE_FLAG_A_MINUS_3) != 0) {
    // M = 3 (X - Z^2)(X + Z^2)
    if (!f.sqr(t, a.Z) || !f.sub(u, a.X, t) || !f.add(t, a.X, t) || !f.mul(m, u, t) || !f.add(t, m, m) ||
        !f.add(m, t, m)) {
      return false;
    }
  } else {
    // M = 3 X^2 + a Z^4
    const BIGNUM* coefficient = ec_num_or_zero(f.c->a);
    if (coefficient == nullptr || !f.sqr(t, a.X) || !f.add(m, t, t) || !f.add(m, m, t) || !f.sqr(t, a.Z) ||
        !f.sqr(t, t) || !f.mul(t, t, coefficient) || !f.add(m, m, t)) {
      return false;
    }
  }
  // Z' = 2YZ; S = 4XY^2; X' = M^2 - 2S; T = 8Y^4; Y' = M(S - X') - T
  return f.mul(z3, a.Y, a.Z) && f.add(z3, z3, z3) && f.sqr(t, a.Y) && f.mul(s, a.X, t) && f.add(s, s, s) &&
         f.add(s, s, s) && f.sqr(t, t) && f.add(t, t, t) && f.add(t, t, t) && f.add(t, t, t) && f.sqr(x3, m) &&
         f.sub(x3, x3, s) && f.sub(x3, x3, s) && f.sub(u, s, x3) && f.mul(u, m, u) && f.sub(r.Y, u, t) &&
         BN_copy(r.X, x3) && BN_copy(r.Z, z3);
}

bool JacAdd(const Field& f, const Jac& r, const Jac& a, const Jac& b, BnCtxFrame& frame) {
  if (BN_is_zero(a.Z)) return BN_copy(r.X, b.X) && BN_copy(r.Y, b.Y) && BN_copy(r.Z, b.Z);
  if (BN_is_zero(b.Z)) return BN_copy(r.X, a.X) && BN_copy(r.Y, a.Y) && BN_copy(r.Z, a.Z);
  BIGNUM* u0 = frame.get();
  BIGNUM* s0 = frame.get();
  BIGNUM* u1 = frame.get();
  BIGNUM* s1 = frame.get();
  BIGNUM* t = frame.get();
  BIGNUM* h = frame.get();
  BIGNUM* rr = frame.get();
  BIGNUM* x3 = frame.get();
  BIGNUM* z3 = frame.get();
  if (z3 == nullptr) return false;
  // U0 = X0 Z1^2, S0 = Y0 Z1^3; U1 = X1 Z0^2, S1 = Y1 Z0^3 (mixed when Z = 1).
  if (BN_is_one(b.Z)) {
    if (!f.mod(u0, a.X) || !f.mod(s0, a.Y)) return false;
  } else if (!f.sqr(t, b.Z) || !f.mul(u0, a.X, t) || !f.mul(t, t, b.Z) || !f.mul(s0, a.Y, t)) {
    return false;
  }
  if (BN_is_one(a.Z)) {
    if (!f.mod(u1, b.X) || !f.mod(s1, b.Y)) return false;
  } else if (!f.sqr(t, a.Z) || !f.mul(u1, b.X, t) || !f.mul(t, t, a.Z) || !f.mul(s1, b.Y, t)) {
    return false;
  }
  if (BN_cmp(u0, u1) == 0) {
    if (BN_cmp(s0, s1) == 0) return JacDouble(f, r, a, frame);
    return SetJacInfinity(r);
  }
  // H = U1 - U0, R = S1 - S0; X3 = R^2 - H^3 - 2 U0 H^2;
  // Y3 = R (U0 H^2 - X3) - S0 H^3; Z3 = Z0 Z1 H.
  if (!f.sub(h, u1, u0) || !f.sub(rr, s1, s0) || !f.mul(z3, a.Z, b.Z) || !f.mul(z3, z3, h) || !f.sqr(t, h) ||
      !f.mul(u0, u0, t) || !f.mul(t, t, h) || !f.mul(s0, s0, t) || !f.sqr(x3, rr) || !f.sub(x3, x3, t) ||
      !f.sub(x3, x3, u0) || !f.sub(x3, x3, u0) || !f.sub(u0, u0, x3) || !f.mul(u0, u0, rr) || !f.sub(r.Y, u0, s0)) {
    return false;
  }
  return BN_copy(r.X, x3) && BN_copy(r.Z, z3);
}

// Affine forms: (x, y) plus an infinity flag.
struct Aff {
  BIGNUM* x;
  BIGNUM* y;
  bool inf;
};

bool LoadAff(const ECPOINT* pt, BnCtxFrame& frame, BN_CTX* ctx, Aff* out) {
  out->x = frame.get();
  out->y = frame.get();
  if (out->y == nullptr) return false;
  out->inf = ECPOINT_is_infinity(pt) != 0;
  if (out->inf) return true;
  return ec_point_affine_xy(pt, out->x, out->y, ctx) != 0;
}

bool AffDouble(const Field& f, Aff* r, const Aff& a, BnCtxFrame& frame) {
  if (a.inf || BN_is_zero(a.y)) {
    r->inf = true;
    return true;
  }
  BIGNUM* l = frame.get();
  BIGNUM* t = frame.get();
  BIGNUM* x3 = frame.get();
  if (x3 == nullptr) return false;
  // l = (3x^2 + a) / 2y; x3 = l^2 - 2x; y3 = l (x - x3) - y
  const BIGNUM* coefficient = ec_num_or_zero(f.c->a);
  if (coefficient == nullptr || !f.sqr(l, a.x) || !f.add(t, l, l) || !f.add(l, l, t) || !f.add(l, l, coefficient) ||
      !f.add(t, a.y, a.y) || !f.inv(t, t) || !f.mul(l, l, t) || !f.sqr(x3, l) || !f.sub(x3, x3, a.x) ||
      !f.sub(x3, x3, a.x) || !f.sub(t, a.x, x3) || !f.mul(t, t, l) || !f.sub(r->y, t, a.y) || !BN_copy(r->x, x3)) {
    return false;
  }
  r->inf = false;
  return true;
}

bool AffAdd(const Field& f, Aff* r, const Aff& a, const Aff& b, BnCtxFrame& frame) {
  if (a.inf || b.inf) {
    const Aff& o = a.inf ? b : a;
    r->inf = o.inf;
    return o.inf || (BN_copy(r->x, o.x) && BN_copy(r->y, o.y));
  }
  if (BN_cmp(a.x, b.x) == 0) {
    if (BN_cmp(a.y, b.y) == 0) return AffDouble(f, r, a, frame);
    r->inf = true;
    return true;
  }
  BIGNUM* l = frame.get();
  BIGNUM* t = frame.get();
  BIGNUM* x3 = frame.get();
  if (x3 == nullptr) return false;
  // l = (y2 - y1) / (x2 - x1); x3 = l^2 - x1 - x2; y3 = l (x1 - x3) - y1
  if (!f.sub(t, b.x, a.x) || !f.inv(t, t) || !f.sub(l, b.y, a.y) || !f.mul(l, l, t) || !f.sqr(x3, l) ||
      !f.sub(x3, x3, a.x) || !f.sub(x3, x3, b.x) || !f.sub(t, a.x, x3) || !f.mul(t, t, l) || !f.sub(r->y, t, a.y) ||
      !BN_copy(r->x, x3)) {
    return false;
  }
  r->inf = false;
  return true;
}

bool StoreJac(ECPOINT* r, const Jac& j) {
  SecretBnPtr x(BN_dup(j.X)), y(BN_dup(j.Y)), z(BN_dup(j.Z));
  if (x == nullptr || y == nullptr || z == nullptr) return false;
  BN_swap(r->X, x.get());
  BN_swap(r->Y, y.get());
  BN_swap(r->Z, z.get());
  r->kind = ECURVE_PROJECTIVE;
  return true;
}

bool StoreAff(ECPOINT* r, const Aff& a) {
  r->kind = ECURVE_AFFINE;
  if (a.inf) return ECPOINT_set_infinity(r) != 0;
  return ec_point_set_affine_xy(r, a.x, a.y) != 0;
}

bool Usable(const ECPOINT* pt) {
  return pt != nullptr && pt->curve != nullptr && pt->curve->p != nullptr && pt->curve->method != nullptr &&
         !BN_is_zero(pt->curve->p);
}

}  // namespace

int ECPOINT_add(ECPOINT* r, const ECPOINT* a, const ECPOINT* b, BN_CTX* given) {
  const bool projective = Usable(a) && a->curve->kind == ECURVE_PROJECTIVE;
  const int func = projective ? ECGOST_F_ECPOINT_ADD_PROJECTIVE : ECGOST_F_ECPOINT_ADD_AFFINE;
  if (r == nullptr || !Usable(a) || !Usable(b)) {
    EC_RAISE(func);
    return 0;
  }
  EcCtxOrOwn owner(given);
  if (owner.get() == nullptr) {
    EC_RAISE_ALLOC(func);
    return 0;
  }
  const Field f{a->curve, owner.get()};
  BnCtxFrame frame(owner.get());
  bool ok;
  if (projective) {
    Jac ja, jb, jr;
    ok = TakeJac(frame, &ja) && TakeJac(frame, &jb) && TakeJac(frame, &jr) && LoadJac(a, ja) && LoadJac(b, jb) &&
         JacAdd(f, jr, ja, jb, frame) && StoreJac(r, jr);
  } else {
    Aff fa, fb, fr;
    ok = LoadAff(a, frame, owner.get(), &fa) && LoadAff(b, frame, owner.get(), &fb) &&
         LoadAff(a, frame, owner.get(), &fr) && AffAdd(f, &fr, fa, fb, frame) && StoreAff(r, fr);
  }
  if (!ok) {
    EC_RAISE(func);
    return 0;
  }
  r->curve = a->curve;
  return 1;
}

int ECPOINT_double(ECPOINT* r, const ECPOINT* a, BN_CTX* given) {
  const bool projective = Usable(a) && a->curve->kind == ECURVE_PROJECTIVE;
  const int func = projective ? ECGOST_F_ECPOINT_DOUBLE_PROJECTIVE : ECGOST_F_ECPOINT_DOUBLE_AFFINE;
  if (r == nullptr || !Usable(a)) {
    EC_RAISE(func);
    return 0;
  }
  EcCtxOrOwn owner(given);
  if (owner.get() == nullptr) {
    EC_RAISE_ALLOC(func);
    return 0;
  }
  const Field f{a->curve, owner.get()};
  BnCtxFrame frame(owner.get());
  bool ok;
  if (projective) {
    Jac ja, jr;
    ok = TakeJac(frame, &ja) && TakeJac(frame, &jr) && LoadJac(a, ja) && JacDouble(f, jr, ja, frame) && StoreJac(r, jr);
  } else {
    Aff fa, fr;
    ok = LoadAff(a, frame, owner.get(), &fa) && LoadAff(a, frame, owner.get(), &fr) && AffDouble(f, &fr, fa, frame) &&
         StoreAff(r, fr);
  }
  if (!ok) {
    EC_RAISE(func);
    return 0;
  }
  r->curve = a->curve;
  return 1;
}

}  // namespace qcrypto
