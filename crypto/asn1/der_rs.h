// DER of a signature value SEQUENCE { r INTEGER, s INTEGER }, shared by the
// GOST R 34.10-94 and GOST R 34.10-2001 codecs.
//
// Writing gives canonical DER. Reading is strict: definite minimal lengths,
// minimal non-negative INTEGERs, nothing after s inside the SEQUENCE, and the
// SEQUENCE inside the input. Signature values come from files anyone can
// write; a strict reader gives each value exactly one encoding.
#pragma once

#include <openssl/bn.h>

namespace qcrypto {

// Bytes of the encoding; 0 when r or s is missing or negative.
int der_rs_size(const BIGNUM* r, const BIGNUM* s);

// Largest encoding of halves below 2^(8n): two INTEGERs of n bytes with the
// top bit set (so one zero byte in front), in a SEQUENCE. 0 for n < 1.
int der_rs_max_size(int n);

// Writes the encoding (der_rs_size bytes) at p; returns the end.
unsigned char* der_rs_put(unsigned char* p, const BIGNUM* r, const BIGNUM* s);

// Reads one encoding from the `length` bytes at *in into r and s and advances
// *in past it. False on any deviation (r and s may then hold partial values).
bool der_rs_get(const unsigned char** in, long length, BIGNUM* r, BIGNUM* s);

}  // namespace qcrypto
