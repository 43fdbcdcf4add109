// Arithmetic modulo an odd prime p < 2^256 in four 64-bit limbs, in
// Montgomery form (a is held as a*2^256 mod p), for the curve code that must
// be fast and constant time.
//
// Every element is kept fully reduced into [0, p), so equality is equality of
// limbs. No operation branches on or indexes by element values; the only
// value-dependent work is in fe_inv, whose exponent p - 2 is public.
#pragma once

#include <openssl/bn.h>

#include <cstdint>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace qcrypto::fp256 {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

#if defined(__x86_64__)
#define QCRYPTO_FP256_INLINE inline __attribute__((always_inline))
// Carry chains through the processor's carry flag (adc / sbb).
QCRYPTO_FP256_INLINE unsigned char addc(unsigned char c, u64 a, u64 b, u64* out) {
  unsigned long long r;
  c = _addcarry_u64(c, a, b, &r);
  *out = r;
  return c;
}
QCRYPTO_FP256_INLINE unsigned char subb(unsigned char c, u64 a, u64 b, u64* out) {
  unsigned long long r;
  c = _subborrow_u64(c, a, b, &r);
  *out = r;
  return c;
}
#else
#define QCRYPTO_FP256_INLINE inline
inline unsigned char addc(unsigned char c, u64 a, u64 b, u64* out) {
  const u128 t = static_cast<u128>(a) + b + c;
  *out = static_cast<u64>(t);
  return static_cast<unsigned char>(t >> 64);
}
inline unsigned char subb(unsigned char c, u64 a, u64 b, u64* out) {
  const u128 t = static_cast<u128>(a) - b - c;
  *out = static_cast<u64>(t);
  return static_cast<unsigned char>((t >> 64) & 1);
}
#endif

struct Fe {
  u64 v[4];
};

// Shapes of p with a faster reduction.
enum FieldForm : int {
  kFieldGeneric = 0,
  kFieldP256 = 1,  // 2^256 - 2^224 + 2^192 + 2^96 - 1
  kFieldC255 = 2,  // 2^255 + c, c < 2^64
};

struct Field {
  u64 p[4];
  u64 n0;      // -p^-1 mod 2^64
  Fe one;      // 1 in Montgomery form: 2^256 mod p
  Fe r2;       // 2^512 mod p, for conversion into Montgomery form
  u64 pm2[4];  // p - 2
  int form;    // FieldForm
};

// All ones when x is zero, else zero.
inline u64 ct_zero_mask(u64 x) { return ~(0 - ((x | (0 - x)) >> 63)); }
inline u64 ct_eq_mask(u64 x, u64 y) { return ct_zero_mask(x ^ y); }

inline u64 fe_is_zero(const Fe& a) { return ct_zero_mask(a.v[0] | a.v[1] | a.v[2] | a.v[3]); }
inline u64 fe_equal(const Fe& a, const Fe& b) {
  return ct_zero_mask((a.v[0] ^ b.v[0]) | (a.v[1] ^ b.v[1]) | (a.v[2] ^ b.v[2]) | (a.v[3] ^ b.v[3]));
}
// r = mask ? a : r
QCRYPTO_FP256_INLINE void fe_cmov(Fe& r, const Fe& a, u64 mask) {
  for (int i = 0; i < 4; ++i) r.v[i] ^= mask & (r.v[i] ^ a.v[i]);
}

// t (four limbs plus a top bit `hi`) is below 2p; r = t mod p.
QCRYPTO_FP256_INLINE void fe_reduce_once(const Field& f, Fe& r, u64 t0, u64 t1, u64 t2, u64 t3, u64 hi) {
  u64 d0, d1, d2, d3, top;
  unsigned char b = subb(0, t0, f.p[0], &d0);
  b = subb(b, t1, f.p[1], &d1);
  b = subb(b, t2, f.p[2], &d2);
  b = subb(b, t3, f.p[3], &d3);
  b = subb(b, hi, 0, &top);
  // Keep t - p unless the subtraction borrowed past the top bit.
  const u64 keep_t = 0 - static_cast<u64>(b);
  r.v[0] = (t0 & keep_t) | (d0 & ~keep_t);
  r.v[1] = (t1 & keep_t) | (d1 & ~keep_t);
  r.v[2] = (t2 & keep_t) | (d2 & ~keep_t);
  r.v[3] = (t3 & keep_t) | (d3 & ~keep_t);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(QCRYPTO_NO_ASM)
// Addition and subtraction as straight add/adc, sub/sbb chains with cmov
// (the compiler's own code for the masked selects goes through vector
// registers and costs as much as a multiplication).
QCRYPTO_FP256_INLINE void fe_add(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 r0, r1, r2, r3, t0, t1, t2, t3, top;
  asm("xorl %k[top], %k[top]\n\t"
      "movq %[a0], %[r0]\n\t"
      "movq %[a1], %[r1]\n\t"
      "movq %[a2], %[r2]\n\t"
      "movq %[a3], %[r3]\n\t"
      "addq %[b0], %[r0]\n\t"
      "adcq %[b1], %[r1]\n\t"
      "adcq %[b2], %[r2]\n\t"
      "adcq %[b3], %[r3]\n\t"
      "adcq $0, %[top]\n\t"
      "movq %[r0], %[t0]\n\t"
      "movq %[r1], %[t1]\n\t"
      "movq %[r2], %[t2]\n\t"
      "movq %[r3], %[t3]\n\t"
      "subq %[p0], %[t0]\n\t"
      "sbbq %[p1], %[t1]\n\t"
      "sbbq %[p2], %[t2]\n\t"
      "sbbq %[p3], %[t3]\n\t"
      "sbbq $0, %[top]\n\t"
      "cmovcq %[r0], %[t0]\n\t"
      "cmovcq %[r1], %[t1]\n\t"
      "cmovcq %[r2], %[t2]\n\t"
      "cmovcq %[r3], %[t3]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2),
        [t3] "=&r"(t3), [top] "=&r"(top)
      : [a0] "m"(a.v[0]), [a1] "m"(a.v[1]), [a2] "m"(a.v[2]), [a3] "m"(a.v[3]), [b0] "m"(b.v[0]), [b1] "m"(b.v[1]),
        [b2] "m"(b.v[2]), [b3] "m"(b.v[3]), [p0] "m"(f.p[0]), [p1] "m"(f.p[1]), [p2] "m"(f.p[2]), [p3] "m"(f.p[3])
      : "cc");
  r.v[0] = t0;
  r.v[1] = t1;
  r.v[2] = t2;
  r.v[3] = t3;
}

QCRYPTO_FP256_INLINE void fe_sub(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 r0, r1, r2, r3, t0, t1, t2, t3, borrow;
  asm("movq %[a0], %[r0]\n\t"
      "movq %[a1], %[r1]\n\t"
      "movq %[a2], %[r2]\n\t"
      "movq %[a3], %[r3]\n\t"
      "subq %[b0], %[r0]\n\t"
      "sbbq %[b1], %[r1]\n\t"
      "sbbq %[b2], %[r2]\n\t"
      "sbbq %[b3], %[r3]\n\t"
      "sbbq %[borrow], %[borrow]\n\t"
      "movq %[r0], %[t0]\n\t"
      "movq %[r1], %[t1]\n\t"
      "movq %[r2], %[t2]\n\t"
      "movq %[r3], %[t3]\n\t"
      "addq %[p0], %[t0]\n\t"
      "adcq %[p1], %[t1]\n\t"
      "adcq %[p2], %[t2]\n\t"
      "adcq %[p3], %[t3]\n\t"
      "testq %[borrow], %[borrow]\n\t"
      "cmovzq %[r0], %[t0]\n\t"
      "cmovzq %[r1], %[t1]\n\t"
      "cmovzq %[r2], %[t2]\n\t"
      "cmovzq %[r3], %[t3]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2),
        [t3] "=&r"(t3), [borrow] "=&r"(borrow)
      : [a0] "m"(a.v[0]), [a1] "m"(a.v[1]), [a2] "m"(a.v[2]), [a3] "m"(a.v[3]), [b0] "m"(b.v[0]), [b1] "m"(b.v[1]),
        [b2] "m"(b.v[2]), [b3] "m"(b.v[3]), [p0] "m"(f.p[0]), [p1] "m"(f.p[1]), [p2] "m"(f.p[2]), [p3] "m"(f.p[3])
      : "cc");
  r.v[0] = t0;
  r.v[1] = t1;
  r.v[2] = t2;
  r.v[3] = t3;
}
#else
QCRYPTO_FP256_INLINE void fe_add(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 t0, t1, t2, t3;
  unsigned char c = addc(0, a.v[0], b.v[0], &t0);
  c = addc(c, a.v[1], b.v[1], &t1);
  c = addc(c, a.v[2], b.v[2], &t2);
  c = addc(c, a.v[3], b.v[3], &t3);
  fe_reduce_once(f, r, t0, t1, t2, t3, c);
}

QCRYPTO_FP256_INLINE void fe_sub(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 t0, t1, t2, t3;
  unsigned char c = subb(0, a.v[0], b.v[0], &t0);
  c = subb(c, a.v[1], b.v[1], &t1);
  c = subb(c, a.v[2], b.v[2], &t2);
  c = subb(c, a.v[3], b.v[3], &t3);
  const u64 mask = 0 - static_cast<u64>(c);  // add p back after a borrow
  c = addc(0, t0, f.p[0] & mask, &r.v[0]);
  c = addc(c, t1, f.p[1] & mask, &r.v[1]);
  c = addc(c, t2, f.p[2] & mask, &r.v[2]);
  addc(c, t3, f.p[3] & mask, &r.v[3]);
}

#endif

QCRYPTO_FP256_INLINE void fe_neg(const Field& f, Fe& r, const Fe& a) {
  const Fe zero{};
  fe_sub(f, r, zero, a);
}

// r = mask ? -r : r
QCRYPTO_FP256_INLINE void fe_cneg(const Field& f, Fe& r, u64 mask) {
  Fe n;
  fe_neg(f, n, r);
  fe_cmov(r, n, mask);
}

// Montgomery product a*b/2^256 mod p (coarsely integrated operand scanning).
inline void fe_mul(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  const u64* x = a.v;
  const u64* p = f.p;
  u64 t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0;
  for (int i = 0; i < 4; ++i) {
    const u64 y = b.v[i];
    u128 acc = static_cast<u128>(x[0]) * y + t0;
    t0 = static_cast<u64>(acc);
    acc = static_cast<u128>(x[1]) * y + t1 + static_cast<u64>(acc >> 64);
    t1 = static_cast<u64>(acc);
    acc = static_cast<u128>(x[2]) * y + t2 + static_cast<u64>(acc >> 64);
    t2 = static_cast<u64>(acc);
    acc = static_cast<u128>(x[3]) * y + t3 + static_cast<u64>(acc >> 64);
    t3 = static_cast<u64>(acc);
    acc = static_cast<u128>(t4) + static_cast<u64>(acc >> 64);
    t4 = static_cast<u64>(acc);
    const u64 t5 = static_cast<u64>(acc >> 64);
    const u64 m = t0 * f.n0;
    acc = static_cast<u128>(m) * p[0] + t0;
    acc = static_cast<u128>(m) * p[1] + t1 + static_cast<u64>(acc >> 64);
    t0 = static_cast<u64>(acc);
    acc = static_cast<u128>(m) * p[2] + t2 + static_cast<u64>(acc >> 64);
    t1 = static_cast<u64>(acc);
    acc = static_cast<u128>(m) * p[3] + t3 + static_cast<u64>(acc >> 64);
    t2 = static_cast<u64>(acc);
    acc = static_cast<u128>(t4) + static_cast<u64>(acc >> 64);
    t3 = static_cast<u64>(acc);
    t4 = t5 + static_cast<u64>(acc >> 64);
  }
  fe_reduce_once(f, r, t0, t1, t2, t3, t4);
}

// Montgomery square: the 512-bit square with the cross products once, then
// the reduction.
inline void fe_sqr(const Field& f, Fe& r, const Fe& a) {
  const u64 x0 = a.v[0], x1 = a.v[1], x2 = a.v[2], x3 = a.v[3];
  u64 w[8];
  u128 acc = static_cast<u128>(x0) * x1;
  w[1] = static_cast<u64>(acc);
  acc = static_cast<u128>(x0) * x2 + static_cast<u64>(acc >> 64);
  w[2] = static_cast<u64>(acc);
  acc = static_cast<u128>(x0) * x3 + static_cast<u64>(acc >> 64);
  w[3] = static_cast<u64>(acc);
  w[4] = static_cast<u64>(acc >> 64);
  acc = static_cast<u128>(x1) * x2 + w[3];
  w[3] = static_cast<u64>(acc);
  acc = static_cast<u128>(x1) * x3 + w[4] + static_cast<u64>(acc >> 64);
  w[4] = static_cast<u64>(acc);
  w[5] = static_cast<u64>(acc >> 64);
  acc = static_cast<u128>(x2) * x3 + w[5];
  w[5] = static_cast<u64>(acc);
  w[6] = static_cast<u64>(acc >> 64);
  // Double the cross products.
  w[7] = w[6] >> 63;
  w[6] = (w[6] << 1) | (w[5] >> 63);
  w[5] = (w[5] << 1) | (w[4] >> 63);
  w[4] = (w[4] << 1) | (w[3] >> 63);
  w[3] = (w[3] << 1) | (w[2] >> 63);
  w[2] = (w[2] << 1) | (w[1] >> 63);
  w[1] = w[1] << 1;
  // Add the squares on the diagonal.
  acc = static_cast<u128>(x0) * x0;
  w[0] = static_cast<u64>(acc);
  u128 s = static_cast<u128>(w[1]) + static_cast<u64>(acc >> 64);
  w[1] = static_cast<u64>(s);
  acc = static_cast<u128>(x1) * x1;
  s = static_cast<u128>(w[2]) + static_cast<u64>(acc) + static_cast<u64>(s >> 64);
  w[2] = static_cast<u64>(s);
  s = static_cast<u128>(w[3]) + static_cast<u64>(acc >> 64) + static_cast<u64>(s >> 64);
  w[3] = static_cast<u64>(s);
  acc = static_cast<u128>(x2) * x2;
  s = static_cast<u128>(w[4]) + static_cast<u64>(acc) + static_cast<u64>(s >> 64);
  w[4] = static_cast<u64>(s);
  s = static_cast<u128>(w[5]) + static_cast<u64>(acc >> 64) + static_cast<u64>(s >> 64);
  w[5] = static_cast<u64>(s);
  acc = static_cast<u128>(x3) * x3;
  s = static_cast<u128>(w[6]) + static_cast<u64>(acc) + static_cast<u64>(s >> 64);
  w[6] = static_cast<u64>(s);
  s = static_cast<u128>(w[7]) + static_cast<u64>(acc >> 64) + static_cast<u64>(s >> 64);
  w[7] = static_cast<u64>(s);
  // Montgomery reduction, one limb at a time; `top` carries into w[i + 5].
  u64 top = 0;
  for (int i = 0; i < 4; ++i) {
    const u64 m = w[i] * f.n0;
    u128 t = static_cast<u128>(m) * f.p[0] + w[i];
    t = static_cast<u128>(m) * f.p[1] + w[i + 1] + static_cast<u64>(t >> 64);
    w[i + 1] = static_cast<u64>(t);
    t = static_cast<u128>(m) * f.p[2] + w[i + 2] + static_cast<u64>(t >> 64);
    w[i + 2] = static_cast<u64>(t);
    t = static_cast<u128>(m) * f.p[3] + w[i + 3] + static_cast<u64>(t >> 64);
    w[i + 3] = static_cast<u64>(t);
    t = static_cast<u128>(w[i + 4]) + static_cast<u64>(t >> 64) + top;
    w[i + 4] = static_cast<u64>(t);
    top = static_cast<u64>(t >> 64);
  }
  fe_reduce_once(f, r, w[4], w[5], w[6], w[7], top);
}

// The multiplications as a policy, so the point code can run on either the
// portable ones or the BMI2/ADX ones (ec_fp256_adx.h) chosen once per call.
struct PortableOps {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { fe_mul(f, r, a, b); }
  static void sqr(const Field& f, Fe& r, const Fe& a) { fe_sqr(f, r, a); }
};

// a^(2^n) * b
template <class O>
void fe_sqr_n_mul(const Field& f, Fe& r, const Fe& a, int n, const Fe& b) {
  Fe t = a;
  for (int i = 0; i < n; ++i) O::sqr(f, t, t);
  O::mul(f, r, t, b);
}

// a^(p-2) for p = 2^256 - 2^224 + 2^192 + 2^96 - 1, whose exponent in 32-bit
// groups is FFFFFFFF 00000001 00000000 00000000 00000000 FFFFFFFF FFFFFFFF
// FFFFFFFD: 255 squarings and 12 multiplications.
template <class O>
void fe_inv_p256(const Field& f, Fe& r, const Fe& a) {
  Fe x2, x3, x6, x12, x15, x30, x32, t;
  fe_sqr_n_mul<O>(f, x2, a, 1, a);      // 2^2 - 1
  fe_sqr_n_mul<O>(f, x3, x2, 1, a);     // 2^3 - 1
  fe_sqr_n_mul<O>(f, x6, x3, 3, x3);    // 2^6 - 1
  fe_sqr_n_mul<O>(f, x12, x6, 6, x6);   // 2^12 - 1
  fe_sqr_n_mul<O>(f, x15, x12, 3, x3);  // 2^15 - 1
  fe_sqr_n_mul<O>(f, x30, x15, 15, x15);
  fe_sqr_n_mul<O>(f, x32, x30, 2, x2);
  fe_sqr_n_mul<O>(f, t, x32, 32, a);  // FFFFFFFF 00000001
  for (int i = 0; i < 96; ++i) O::sqr(f, t, t);
  fe_sqr_n_mul<O>(f, t, t, 32, x32);  // FFFFFFFF
  fe_sqr_n_mul<O>(f, t, t, 32, x32);  // FFFFFFFF
  fe_sqr_n_mul<O>(f, t, t, 30, x30);  // 30 ones
  fe_sqr_n_mul<O>(f, r, t, 2, a);     // 01
  x2 = x3 = x6 = x12 = x15 = x30 = x32 = t = Fe{};
}

// r = a^-1 (Fermat: a^(p-2)); 0 for a = 0. Constant time in a: a fixed chain
// for the prime of curve 191, else fixed 4-bit windows over the public
// exponent.
template <class O = PortableOps>
void fe_inv(const Field& f, Fe& r, const Fe& a) {
  if (f.form == kFieldP256) {
    fe_inv_p256<O>(f, r, a);
    return;
  }
  Fe table[16];
  table[0] = f.one;
  table[1] = a;
  for (int i = 2; i < 16; ++i) O::mul(f, table[i], table[i - 1], a);
  Fe acc = f.one;
  for (int nibble = 63; nibble >= 0; --nibble) {
    O::sqr(f, acc, acc);
    O::sqr(f, acc, acc);
    O::sqr(f, acc, acc);
    O::sqr(f, acc, acc);
    const unsigned e = static_cast<unsigned>(f.pm2[nibble / 16] >> (4 * (nibble % 16))) & 15u;
    if (e != 0) O::mul(f, acc, acc, table[e]);
  }
  r = acc;
  for (Fe& t : table) t = Fe{};
}

// Sets up the field of an odd p with 3 < p < 2^256. false otherwise.
bool field_init(Field& f, const BIGNUM* p);

// Plain 256-bit little-endian limbs (below p) to and from Montgomery form.
void fe_from_limbs(const Field& f, Fe& r, const u64 limbs[4]);
void fe_to_limbs(const Field& f, u64 limbs[4], const Fe& a);

// BIGNUM conversions; the number is reduced mod p first (negative ones
// included). false when a number cannot be read or written.
bool fe_from_bn(const Field& f, Fe& r, const BIGNUM* x, BN_CTX* ctx);
bool fe_to_bn(const Field& f, BIGNUM* r, const Fe& a);

}  // namespace qcrypto::fp256
