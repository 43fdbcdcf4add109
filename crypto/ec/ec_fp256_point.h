// Point arithmetic over the fixed-width field: Jacobian coordinates
// (x = X/Z^2, y = Y/Z^3; Z = 0 is the point at infinity) and affine table
// points. The special cases (a point at infinity on either side) are handled
// with masks, not branches. Adding a point to itself is the one case taken by
// a branch: the scalar multiplications never reach it for points of the
// curve's large prime order and scalars below that order, so it only runs for
// hostile inputs, where the result must still be right.
#pragma once

#include "crypto/cclib/ct.h"
#include "crypto/ec/ec_fp256_field.h"

namespace qcrypto::fp256 {

struct Jac {
  Fe X, Y, Z;
};

struct Aff {
  Fe x, y;
};

// A curve y^2 = x^3 + a*x + b over the field, coefficients in Montgomery form.
struct Curve {
  Field f;
  Fe a;
  Fe b;
  bool a_minus_3;  // a = -3: the faster doubling
  bool a_zero;
};

// r = 2p; r may be p.
template <class O>
inline void jac_double(const Curve& c, Jac& r, const Jac& p) {
  const Field& f = c.f;
  if (c.a_minus_3) {
    // delta = Z^2, gamma = Y^2, beta = X*gamma, alpha = 3 (X - delta)(X + delta)
    Fe delta, gamma, beta, alpha, t0, t1;
    O::sqr(f, delta, p.Z);
    O::sqr(f, gamma, p.Y);
    O::mul(f, beta, p.X, gamma);
    fe_sub(f, t0, p.X, delta);
    fe_add(f, t1, p.X, delta);
    O::mul(f, t0, t0, t1);
    fe_add(f, alpha, t0, t0);
    fe_add(f, alpha, alpha, t0);
    // Z3 = (Y + Z)^2 - gamma - delta
    fe_add(f, t1, p.Y, p.Z);
    O::sqr(f, t1, t1);
    fe_sub(f, t1, t1, gamma);
    fe_sub(f, r.Z, t1, delta);
    // X3 = alpha^2 - 8 beta
    fe_add(f, beta, beta, beta);
    fe_add(f, beta, beta, beta);  // 4 beta
    O::sqr(f, t0, alpha);
    fe_add(f, t1, beta, beta);
    fe_sub(f, r.X, t0, t1);
    // Y3 = alpha (4 beta - X3) - 8 gamma^2
    fe_sub(f, t0, beta, r.X);
    O::mul(f, t0, t0, alpha);
    O::sqr(f, gamma, gamma);
    fe_add(f, gamma, gamma, gamma);
    fe_add(f, gamma, gamma, gamma);
    fe_add(f, gamma, gamma, gamma);
    fe_sub(f, r.Y, t0, gamma);
    return;
  }
  // XX = X^2, YY = Y^2, YYYY = YY^2, ZZ = Z^2, S = 2((X + YY)^2 - XX - YYYY),
  // M = 3 XX + a ZZ^2, X3 = M^2 - 2S, Y3 = M (S - X3) - 8 YYYY,
  // Z3 = (Y + Z)^2 - YY - ZZ
  Fe xx, yy, yyyy, zz, s, m, t;
  O::sqr(f, xx, p.X);
  O::sqr(f, yy, p.Y);
  O::sqr(f, yyyy, yy);
  O::sqr(f, zz, p.Z);
  fe_add(f, s, p.X, yy);
  O::sqr(f, s, s);
  fe_sub(f, s, s, xx);
  fe_sub(f, s, s, yyyy);
  fe_add(f, s, s, s);
  fe_add(f, m, xx, xx);
  fe_add(f, m, m, xx);
  if (!c.a_zero) {
    O::sqr(f, t, zz);
    O::mul(f, t, t, c.a);
    fe_add(f, m, m, t);
  }
  fe_add(f, t, p.Y, p.Z);
  O::sqr(f, t, t);
  fe_sub(f, t, t, yy);
  fe_sub(f, r.Z, t, zz);
  O::sqr(f, t, m);
  fe_sub(f, t, t, s);
  fe_sub(f, r.X, t, s);
  fe_sub(f, t, s, r.X);
  O::mul(f, t, t, m);
  fe_add(f, yyyy, yyyy, yyyy);
  fe_add(f, yyyy, yyyy, yyyy);
  fe_add(f, yyyy, yyyy, yyyy);
  fe_sub(f, r.Y, t, yyyy);
}

// r = mask ? a : r
QCRYPTO_FP256_INLINE void jac_cmov(Jac& r, const Jac& a, u64 mask) {
  fe_cmov(r.X, a.X, mask);
  fe_cmov(r.Y, a.Y, mask);
  fe_cmov(r.Z, a.Z, mask);
}

// r = p + q (both Jacobian); r may be p or q.
template <class O>
inline void jac_add(const Curve& c, Jac& r, const Jac& p, const Jac& q) {
  const Field& f = c.f;
  Fe z1z1, z2z2, u1, u2, s1, s2, h, i, j, rr, v, t;
  O::sqr(f, z1z1, p.Z);
  O::sqr(f, z2z2, q.Z);
  O::mul(f, u1, p.X, z2z2);
  O::mul(f, u2, q.X, z1z1);
  O::mul(f, s1, p.Y, q.Z);
  O::mul(f, s1, s1, z2z2);
  O::mul(f, s2, q.Y, p.Z);
  O::mul(f, s2, s2, z1z1);
  fe_sub(f, h, u2, u1);
  fe_sub(f, rr, s2, s1);
  const u64 p_inf = fe_is_zero(p.Z);
  const u64 q_inf = fe_is_zero(q.Z);
  // p == q needs the doubling formula. The multiplications meet it only for
  // numbers made for it (a negligible share of the numbers below the order),
  // so whether it happened is made public rather than paid for every time.
  u64 same = fe_is_zero(h) & fe_is_zero(rr) & ~p_inf & ~q_inf;
  QCRYPTO_CT_DECLASSIFY(&same, sizeof same);
  if (same != 0) {
    jac_double<O>(c, r, p);
    return;
  }
  Jac out;
  fe_add(f, i, h, h);
  O::sqr(f, i, i);        // I = (2H)^2
  O::mul(f, j, h, i);     // J = H I
  fe_add(f, rr, rr, rr);  // r = 2 (S2 - S1)
  O::mul(f, v, u1, i);    // V = U1 I
  O::sqr(f, out.X, rr);
  fe_sub(f, out.X, out.X, j);
  fe_sub(f, out.X, out.X, v);
  fe_sub(f, out.X, out.X, v);
  fe_sub(f, t, v, out.X);
  O::mul(f, t, t, rr);
  O::mul(f, s1, s1, j);
  fe_add(f, s1, s1, s1);
  fe_sub(f, out.Y, t, s1);
  fe_add(f, t, p.Z, q.Z);
  O::sqr(f, t, t);
  fe_sub(f, t, t, z1z1);
  fe_sub(f, t, t, z2z2);
  O::mul(f, out.Z, t, h);
  jac_cmov(out, q, p_inf);
  jac_cmov(out, p, q_inf);
  r = out;
}

// r = p + q with q affine; `q_inf` is all ones when q stands for the point at
// infinity (its coordinates are then ignored). r may be p.
template <class O>
inline void jac_add_affine(const Curve& c, Jac& r, const Jac& p, const Aff& q, u64 q_inf) {
  const Field& f = c.f;
  Fe z1z1, u2, s2, h, hh, i, j, rr, v, t;
  O::sqr(f, z1z1, p.Z);
  O::mul(f, u2, q.x, z1z1);
  O::mul(f, s2, q.y, p.Z);
  O::mul(f, s2, s2, z1z1);
  fe_sub(f, h, u2, p.X);
  fe_sub(f, rr, s2, p.Y);
  const u64 p_inf = fe_is_zero(p.Z);
  // As in jac_add: the doubling case is public.
  u64 same = fe_is_zero(h) & fe_is_zero(rr) & ~p_inf & ~q_inf;
  QCRYPTO_CT_DECLASSIFY(&same, sizeof same);
  if (same != 0) {
    jac_double<O>(c, r, p);
    return;
  }
  Jac out;
  O::sqr(f, hh, h);
  fe_add(f, i, hh, hh);
  fe_add(f, i, i, i);     // I = 4 HH
  O::mul(f, j, h, i);     // J = H I
  fe_add(f, rr, rr, rr);  // r = 2 (S2 - Y1)
  O::mul(f, v, p.X, i);   // V = X1 I
  O::sqr(f, out.X, rr);
  fe_sub(f, out.X, out.X, j);
  fe_sub(f, out.X, out.X, v);
  fe_sub(f, out.X, out.X, v);
  fe_sub(f, t, v, out.X);
  O::mul(f, t, t, rr);
  O::mul(f, s2, p.Y, j);
  fe_add(f, s2, s2, s2);
  fe_sub(f, out.Y, t, s2);
  fe_add(f, t, p.Z, h);
  O::sqr(f, t, t);
  fe_sub(f, t, t, z1z1);
  fe_sub(f, out.Z, t, hh);
  Jac qj{q.x, q.y, f.one};
  jac_cmov(out, qj, p_inf);
  jac_cmov(out, p, q_inf);
  r = out;
}

// The affine point of r, or false for the point at infinity (x, y untouched).
// Constant time apart from that outcome.
template <class O>
inline bool jac_to_affine(const Curve& c, Aff& out, const Jac& p) {
  // Callers refuse a product at infinity, so the outcome is public.
  u64 infinity = fe_is_zero(p.Z);
  QCRYPTO_CT_DECLASSIFY(&infinity, sizeof infinity);
  if (infinity != 0) return false;
  Fe zi, zi2;
  fe_inv<O>(c.f, zi, p.Z);
  O::sqr(c.f, zi2, zi);
  O::mul(c.f, out.x, p.X, zi2);
  O::mul(c.f, zi2, zi2, zi);
  O::mul(c.f, out.y, p.Y, zi2);
  return true;
}

}  // namespace qcrypto::fp256
