// Elliptic curves y^2 = x^3 + a*x + b over GF(p): the curve record, points,
// the table of field and point operations every curve carries, point
// encodings, the two built-in curves and scalar multiplication.
//
// Conventions: functions return 1 (or a length, or an object) on success and
// 0 (or null) on failure, with the failure pushed under library 75
// ("ECGOST routines"), reason "ECGOST lib". A failed operation leaves its
// output point as it was: results are computed into temporaries and stored
// only on success.
//
// Threads: a curve is shared (reference counted under lock 27) and read-only
// once loaded; a point belongs to one thread at a time.
#pragma once

#include <openssl/bn.h>

#include <cstddef>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct ECURVE;
struct ECPOINT;
struct ECPOINT_FBW;

// Coordinate form of a curve's points.
enum EcKind : int {
  ECURVE_AFFINE = 0,
  ECURVE_PROJECTIVE = 1,  // Jacobian: the affine point is (X/Z^2, Y/Z^3)
};

// Curve flag bit 0: a = p - 3, which allows the faster doubling.
constexpr int ECURVE_FLAG_A_MINUS_3 = 1;

// The object number of the built-in named curve (1.2.840.10045.3.1.7).
constexpr int ECURVE_NID_DEFAULT = 191;

// Function codes of library 75 used by the curve and point code.
enum EcurveFunction : int {
  ECGOST_F_ECURVE_SET = 103,
  ECGOST_F_ECURVE_NEW = 104,
  ECGOST_F_ECPOINT_NEW = 109,
  ECGOST_F_ECPOINT_DUP = 110,
  ECGOST_F_ECPOINT_COPY = 111,
  ECGOST_F_ECPOINT_TO_AFFINE = 112,
  ECGOST_F_ECPOINT_GET_X = 113,
  ECGOST_F_ECPOINT_NORMALIZE = 114,
  ECGOST_F_ECPOINT_DERIVE = 115,
  ECGOST_F_ECPOINT_HEX2POINT = 116,
  ECGOST_F_ECPOINT_BI2POINT = 117,
  ECGOST_F_ECPOINT_POINT2BIN = 118,
  ECGOST_F_ECPOINT_SET_INFINITY = 119,
  ECGOST_F_ECPOINT_DOUBLE_AFFINE = 120,
  ECGOST_F_ECPOINT_ADD_AFFINE = 121,
  ECGOST_F_ECPOINT_DOUBLE_PROJECTIVE = 122,
  ECGOST_F_ECPOINT_ADD_PROJECTIVE = 123,
  ECGOST_F_ECPOINT_MUL = 124,
  ECGOST_F_ECPOINT_LIES = 127,
  ECGOST_F_ECURVE_GET_COEFFICIENTS = 129,
  ECGOST_F_ECURVE_INIT = 142,
  ECGOST_F_ECPOINT_FBW_NEW = 153,
};

// ---------------------------------------------------------------------------
// Records

// Field slots take (curve, result, operands..., p, context) and leave the
// result reduced into [0, p).
using ECURVE_FIELD_OP1 = int (*)(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx);
using ECURVE_FIELD_OP2 = int (*)(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p,
                                 BN_CTX* ctx);

struct ECURVE_METHOD {
  const char* name;            // "default" or "fixed base window"
  ECURVE_FIELD_OP1 field_mod;  // 1: a mod p, non-negative
  ECURVE_FIELD_OP1 field_inv;  // 2: a^-1 mod p (binary method), non-negative
  ECURVE_FIELD_OP1 field_sqr;  // 3
  ECURVE_FIELD_OP2 field_mul;  // 4: squares when both operands are the same number
  ECURVE_FIELD_OP2 field_sub;  // 5
  ECURVE_FIELD_OP2 field_add;  // 6
  int (*point_add)(ECPOINT* r, const ECPOINT* a, const ECPOINT* b, BN_CTX* ctx);   // 7
  int (*point_add2)(ECPOINT* r, const ECPOINT* a, const ECPOINT* b, BN_CTX* ctx);  // 8: the same operation
  int (*point_double)(ECPOINT* r, const ECPOINT* a, BN_CTX* ctx);                  // 9
  int (*point_mul)(ECPOINT* point, const BIGNUM* k);                               // 10: point = k * point
  int (*point_mul_base)(ECPOINT* point, const BIGNUM* k);  // 11: point (the generator) = k * point
  void (*finish)(ECURVE* curve);                           // 12: releases method_data when set
};

// Reference-counted; free with ECURVE_free. Numbers may be null (empty).
struct ECURVE {
  int kind;   // EcKind of its points
  BIGNUM* p;  // field prime
  BIGNUM* a;  // coefficients
  BIGNUM* b;
  ECPOINT* P;      // generator
  BIGNUM* q;       // order of P
  BIGNUM* h;       // cofactor, null when not given
  BIGNUM* spare;   // loaded from the definition; nothing reads it
  BIGNUM* J;       // j-invariant: a and b are computed from it when both are zero
  int references;  // under lock 27
  int flags;       // ECURVE_FLAG_A_MINUS_3
  const ECURVE_METHOD* method;
  void* method_data;
  int nid;  // object number of the named curve, 0 for none
};

// A point. Affine form: (X, Y), the point at infinity is X = 0, Y = 0 (Y = 1
// when b = 0); Z is kept at 0. Projective form: Jacobian (X, Y, Z), infinity
// is Z = 0.
struct ECPOINT {
  int kind;  // EcKind, copied from the curve when the point is made
  BIGNUM* X;
  BIGNUM* Y;
  BIGNUM* Z;
  ECURVE* curve;     // not referenced, not owned
  ECPOINT_FBW* fbw;  // window table of this point (the generator); shared by copies
};

// Window table of a point P: points[i] = 2^(width*i) * P in affine form,
// i = 0 .. count-1 (points[0] is P itself). Reference-counted under lock 27.
struct ECPOINT_FBW {
  ECPOINT** points;
  int bits;   // bit length of the numbers the table serves
  int width;  // w
  int count;
  int references;
};

// A built-in window table: `count` uncompressed hexadecimal point texts.
struct ECPOINT_FBW_DEF {
  int bits;
  int width;
  int count;
  const char* const* points;
};

// A built-in curve definition; texts are hexadecimal, null or "" means none.
struct ECURVE_DEF {
  int nid;
  const char* p;
  const char* a;
  const char* b;
  const char* generator;  // "04" x y, "02"/"03" x, or "00"
  const char* q;
  const char* h;
  const char* spare;
  const char* J;
  const ECPOINT_FBW_DEF* table;  // optional
};

// The two built-in definitions: object 191, the default (with its window
// table), and the curve over 2^255 + 0x431 without object number.
extern const ECURVE_DEF ECURVE_DEF_191;
extern const ECURVE_DEF ECURVE_DEF_2_255_431;

// The two method tables: "default" (slots 10 and 11 forward to ECPOINT_mul and
// ECPOINT_mul_fbw) and "fixed base window" (those functions themselves).
const ECURVE_METHOD* ECURVE_METHOD_default();
const ECURVE_METHOD* ECURVE_METHOD_fbw();

// ---------------------------------------------------------------------------
// Curves

ECURVE* ECURVE_new(int kind);
int ECURVE_set(ECURVE* curve, const ECURVE_DEF* definition);
// New curve of `kind` from `definition`, or from ECURVE_DEF_191 when null.
ECURVE* ECURVE_init(const ECURVE_DEF* definition, int kind);
// Takes one more reference (lock 27).
int ECURVE_up_ref(ECURVE* curve);
// Drops one reference; at zero frees everything. Null is ignored.
void ECURVE_free(ECURVE* curve);
int ECURVE_set_method(ECURVE* curve, const ECURVE_METHOD* method);
// 0 when p, a, b, q and the generators (affine) are equal, else -1.
int ECURVE_cmp(const ECURVE* c1, const ECURVE* c2);
// The object number of the built-in named curve equal to `curve`, or 0.
int ECURVE_find_nid(const ECURVE* curve);
// A new projective curve for a named-curve object number; only 191 has one.
// Other numbers fail with "internal error" under library 11 function 119.
ECURVE* ECURVE_new_by_nid(int nid);
// a = 3k, b = 2k mod p with k = J / (1728 - J); J must be non-zero and != 1728.
int ECURVE_get_coefficients(ECURVE* curve, BN_CTX* ctx = nullptr);

// Field slots of both method tables (BIGNUM arithmetic mod p).
int ECURVE_field_mod(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx);
int ECURVE_field_inv(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx);
int ECURVE_field_sqr(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx);
int ECURVE_field_mul(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx);
int ECURVE_field_sub(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx);
int ECURVE_field_add(const ECURVE* curve, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx);

// ---------------------------------------------------------------------------
// Points

ECPOINT* ECPOINT_new(ECURVE* curve);
void ECPOINT_free(ECPOINT* point);  // clear-frees X, Y, Z and drops the window table
ECPOINT* ECPOINT_dup(const ECPOINT* point);
int ECPOINT_copy(ECPOINT* to, const ECPOINT* from);  // also the curve and the shared table
// 0 when equal in affine form, else -1 (also on error).
int ECPOINT_cmp(const ECPOINT* p1, const ECPOINT* p2, BN_CTX* ctx = nullptr);
int ECPOINT_is_infinity(const ECPOINT* point);
int ECPOINT_set_infinity(ECPOINT* point);  // in the point's own form
int ECPOINT_to_affine(ECPOINT* point, BN_CTX* ctx = nullptr);
int ECPOINT_to_projective(ECPOINT* point);                     // Z = 1, or Z = 0 for infinity
int ECPOINT_normalize(ECPOINT* point, BN_CTX* ctx = nullptr);  // projective with Z = 1
// The affine x as `result`, or as a new number when `result` is null; null on
// failure (the point at infinity has no x).
BIGNUM* ECPOINT_get_x(BIGNUM* result, const ECPOINT* point, BN_CTX* ctx = nullptr);
// 1 when the point satisfies the curve equation (the point at infinity counts
// as on the curve), 0 when not, -1 on error.
int ECPOINT_lies(const ECPOINT* point, BN_CTX* ctx = nullptr);
// Y from X: the square root of x^3 + a*x + b whose parity is `odd`. Fails
// (point unchanged) when there is none or p is not a usable prime.
int ECPOINT_derive(ECPOINT* point, const ECURVE* curve, int odd, BN_CTX* ctx = nullptr);

// r = a + b and r = 2a in the curve's form (slots 7, 8 and 9). r may be a or b.
int ECPOINT_add(ECPOINT* r, const ECPOINT* a, const ECPOINT* b, BN_CTX* ctx = nullptr);
int ECPOINT_double(ECPOINT* r, const ECPOINT* a, BN_CTX* ctx = nullptr);

// ---------------------------------------------------------------------------
// Encodings (L = (bits(p) + 7) / 8): 00 infinity; 04 x y (1 + 2L bytes);
// 02 / 03 x (1 + L bytes, 03 for odd y).

// Encodes into a buffer allocated here with OPENSSL_malloc (one byte longer
// than the length returned; the caller frees it with OPENSSL_free). 0 on failure.
int ECPOINT_point2bin(const ECPOINT* point, unsigned char** buffer, int compressed);

// Decodes exactly `length` bytes: 1 for 00, 1 + L for 02/03, 1 + 2L for 04;
// any other length or first byte fails. Coordinates must be below p and the
// point must lie on the curve (curve p, a and b must be set). *point may be
// null (a new point is made and stored there on success) or an existing point,
// which is left unchanged on failure. Returns the point or null.
ECPOINT* ECPOINT_bi2point(ECPOINT** point, const unsigned char* buffer, std::size_t length, ECURVE* curve);
// The same from hexadecimal text ("04" x y with halves of equal length, "02"/"03"
// x, "00").
ECPOINT* ECPOINT_hex2point(ECPOINT** point, const char* text, ECURVE* curve);

// Public keys of peers: a finite point with 0 <= x, y < p on its curve.
// 1 when acceptable; 0 with "ECGOST lib" under `func` otherwise (infinity, off
// the curve, coordinates out of range, no curve).
int ECPOINT_check_public(const ECPOINT* point, int func, BN_CTX* ctx = nullptr);
// ECPOINT_bi2point that also refuses the point at infinity: the decoder for
// public keys.
ECPOINT* ECPOINT_bi2point_public(ECPOINT** point, const unsigned char* buffer, std::size_t length, ECURVE* curve);

// ---------------------------------------------------------------------------
// Scalar multiplication (errors under function 124).

// point = k * point for any point of the curve (k of any sign and width; it
// is not reduced). On curves with a prime p below 2^256 and |k| < 2^512 the
// run is constant time in the value of k (fixed windows, masked table
// reads): usable with private keys. Other curves and numbers take the
// signed-binary BIGNUM algorithm, which is not constant time.
int ECPOINT_mul(ECPOINT* point, const BIGNUM* k);
// point = k * point where point is the curve's generator: precomputed
// generator tables, constant time in k for |k| < 2^256 on the curves above.
// A point that is not the generator, or a k wider than a table reaches, is
// multiplied by the curve's slot 10 instead.
int ECPOINT_mul_fbw(ECPOINT* point, const BIGNUM* k);
// The window table of the point. A point without one that is the generator
// of a curve equal to the built-in curve 191 gets the built-in table (and its
// curve the "fixed base window" method); any other point gets none (null).
ECPOINT_FBW* ECGOST_get_fbw(ECPOINT* point);
// Slots 10 and 11 of the "default" table.
int ECPOINT_mul_default(ECPOINT* point, const BIGNUM* k);
int ECPOINT_mul_base_default(ECPOINT* point, const BIGNUM* k);

// result = k1 * G + k2 * q (G the generator of q's curve). For verification:
// NOT constant time, public numbers only. result may be q. On failure result
// is unchanged.
int ECPOINT_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2);

ECPOINT_FBW* ECPOINT_FBW_new();
int ECPOINT_FBW_up_ref(ECPOINT_FBW* table);
void ECPOINT_FBW_free(ECPOINT_FBW* table);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::ECURVE, qcrypto::ECURVE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::ECPOINT, qcrypto::ECPOINT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::ECPOINT_FBW, qcrypto::ECPOINT_FBW_free)
