// GOST R 34.10-2001 signature value {r, s} and its two byte forms.
//
// DER: SEQUENCE { r INTEGER, s INTEGER } (what signed messages and
// certificates carry). Raw: r then s, each a big-endian field of the same
// width, left-padded with zeros (what the digest-level "raw" request gives).
#pragma once

#include <openssl/bn.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct ECGOST_SIG {
  BIGNUM* r;
  BIGNUM* s;
};

// A record with both numbers allocated (value 0), or null with 75/101/33.
ECGOST_SIG* ECGOST_SIG_new();
// Frees both numbers and the record; null is ignored.
void ECGOST_SIG_free(ECGOST_SIG* sig);

// i2d convention: returns the DER length. `out` null: the length only; *out
// null: a buffer of that length is allocated with OPENSSL_malloc, written and
// stored in *out (the caller frees it with OPENSSL_free); otherwise the bytes
// are written at *out (room for the length) and *out is advanced past them.
// 0 when the record is incomplete or a number is negative (75/149), or the
// buffer cannot be allocated.
int i2d_ECGOST_SIG(const ECGOST_SIG* sig, unsigned char** out);

// d2i convention: decodes one DER signature of at most `length` bytes at *in,
// advances *in past it and returns the record (stored through `sig` when given,
// reusing *sig). Strict DER: minimal lengths, minimal and non-negative
// INTEGERs, nothing else inside the SEQUENCE. On failure (75/102) returns null;
// a record made here is freed, a passed one may hold partial numbers.
ECGOST_SIG* d2i_ECGOST_SIG(ECGOST_SIG** sig, const unsigned char** in, long length);

// Writes r then s into 2 * width bytes at `out`; returns 2 * width, or 0 when a
// number is negative or wider than `width` (nothing meaningful written).
int ECGOST_SIG_to_raw(const ECGOST_SIG* sig, unsigned char* out, int width);

// Splits a raw signature into two equal halves (r first). Any non-zero even
// length is taken; odd or zero length fails (75/102). Returns a new record.
ECGOST_SIG* ECGOST_SIG_from_raw(const unsigned char* in, int length);

// What verification takes: exactly two halves of `width` = (bits(q) + 7) / 8
// bytes. Any other length fails (75/102), so one signature has one raw form.
ECGOST_SIG* ECGOST_SIG_from_raw_exact(const unsigned char* in, int length, int width);

// Upper bound of the DER length of a signature whose halves are below 2^(8n):
// two INTEGERs of n content bytes with the top bit set, in a SEQUENCE.
int ECGOST_SIG_der_max_size(int n);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::ECGOST_SIG, qcrypto::ECGOST_SIG_free)
