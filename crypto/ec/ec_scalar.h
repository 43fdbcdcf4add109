// Arithmetic modulo a group order q (odd, below 2^256) for the signature
// equations, on the fixed-width Montgomery field code: no branch and no
// memory address depends on a secret operand, and numbers cross to and from
// BIGNUMs only through fixed-length byte strings.
//
// Both signature schemes use it: s = r*d + k*e mod q (34.10-2001) and
// s = k*m + x*r mod q (34.10-94). An order that is even or not below 2^256
// has no context here (scalar_field_for gives null); only hand-made explicit
// 34.10-94 parameters can have one, and their signer keeps the BIGNUM
// arithmetic (variable time) for them.
#pragma once

#include <openssl/bn.h>

#include <cstddef>
#include <memory>

#include "crypto/ec/ec_fp256_field.h"

namespace qcrypto::scalar {

using fp256::Fe;

// The Montgomery context of one q, and its byte and bit lengths.
struct ScalarField {
  fp256::Field f;
  int bits;   // bits(q)
  int bytes;  // (bits(q) + 7) / 8: the width of a nonce draw and of each signature half
};

// The context for q, built once per q value and then shared (a small
// process-wide cache, under a lock). Null when q is not an odd number with
// 3 < q < 2^256, or on allocation failure.
std::shared_ptr<const ScalarField> scalar_field_for(const BIGNUM* q);

// Montgomery form of x for 0 <= x < 2^256 (reduced mod q on the way). The
// number is read as 32 fixed bytes; nothing depends on its value. false when
// x is negative or too wide.
bool scalar_from_bn(const ScalarField& s, Fe& out, const BIGNUM* x);

// Montgomery form of 32 big-endian bytes (reduced mod q); a fixed loop.
void scalar_from_bytes(const ScalarField& s, Fe& out, const unsigned char bytes[32]);

// Whether 0 < x < q, for a secret x: the comparison runs on the fixed-width
// form and only its outcome is made public (a key is usable or refused).
// false also for a negative or too wide x.
bool scalar_in_range(const ScalarField& s, const BIGNUM* x);

// out = a as an ordinary number. The value becomes a BIGNUM, whose length
// depends on it: only for values that are public at this point.
bool scalar_to_bn(const ScalarField& s, BIGNUM* out, const Fe& a);

// The digest read as one unsigned big-endian number, reduced mod q, with 0
// replaced by 1 (the number rule of both signature schemes). Any length.
void scalar_from_digest(const ScalarField& s, Fe& out, const unsigned char* digest, std::size_t length);

// All ones when a = 0, else 0.
inline fp256::u64 scalar_is_zero(const Fe& a) { return fp256::fe_is_zero(a); }

inline void scalar_mul(const ScalarField& s, Fe& r, const Fe& a, const Fe& b) { fp256::fe_mul(s.f, r, a, b); }
inline void scalar_add(const ScalarField& s, Fe& r, const Fe& a, const Fe& b) { fp256::fe_add(s.f, r, a, b); }

// A nonce uniform in [1, q - 1]: bytes(q) random bytes cut to bits(q) bits,
// drawn again while 0 or >= q. The range test is done on the fixed-width form
// and only its outcome is made public (a rejected draw says nothing about
// the accepted one). On success `k` holds the nonce in Montgomery form and
// `k_bn` as a number for the point or power code. 1 done, 0 the generator
// failed, -1 128 draws in a row were out of range (a broken generator).
int scalar_draw(const ScalarField& s, Fe& k, BIGNUM* k_bn);

}  // namespace qcrypto::scalar
