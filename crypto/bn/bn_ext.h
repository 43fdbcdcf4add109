// Big-number operations the GOST signature and curve code needs beyond
// OpenSSL's own: fixed-width output, a binary modular inverse, random numbers
// of a byte length and modular square roots.
//
// They follow OpenSSL's conventions: BIGNUM in and out, 1/0 (or a number/null)
// results, failures pushed under library 3 ("bignum routines").
#pragma once

#include <openssl/bn.h>

namespace qcrypto {

// Function codes of these operations in library 3 (prefixed BNX_ so they never
// meet the macros of <openssl/bnerr.h>).
enum BnFunction : int {
  BNX_F_BN_SQRT = 119,
  BNX_F_BN_MOD_BINARY_INVERSE = 120,
  BNX_F_BN_RAND_BYTES = 121,
};

// Reasons of library 3 raised here besides the common ones.
enum BnReason : int {
  BNX_R_NO_INVERSE = 108,
};

// Writes |number| big-endian into the last bytes of a field of |width| bytes,
// zero-filling in front. Returns the number's own byte length, or 0 (nothing
// written) when it does not fit; the value 0 fills the field with zeros and
// returns 0. The sign is ignored.
int BN_bn2bin_fixed(const BIGNUM* number, unsigned char* buffer, int width);

// The inverse of |a| modulo the odd |n| > 1, by the binary extended Euclid
// algorithm. Writes into |result|, or into a new number when |result| is null
// (the caller frees it). Returns the result, or null with "no inverse" when
// gcd(a, n) != 1, n is even or below 2, or a step fails.
//
// The running time depends on the values: use it on public numbers. When |a|
// or |n| carries BN_FLG_CONSTTIME the inverse is taken with OpenSSL's
// branch-free method instead.
BIGNUM* BN_mod_binary_inverse(BIGNUM* result, const BIGNUM* a, const BIGNUM* n, BN_CTX* ctx);

// |number| = a random value of |length| bytes (below 2^(8*length), zero
// included) from the crypto library's random generator.
int BN_rand_bytes(BIGNUM* number, int length);

// |number| = a random value below 2^|bits|: (bits + 7) / 8 random bytes with
// the bits above |bits| dropped. Callers that need a value below some q redraw
// while it is out of range (never reduce it: that would favour low values);
// a draw already below 2^|bits| is kept exactly as drawn, so a value fed
// through a deterministic generator comes back unchanged.
int BN_rand_bits(BIGNUM* number, int bits);

// |m| = the digest bytes read as one big-endian number, reduced mod |q|, with
// 0 replaced by 1 (as the GOST signature schemes require). An empty digest
// reads as 0, so gives 1. 1, or 0 for a negative length, a null digest of
// positive length or a big-number failure.
int BN_digest_mod(BIGNUM* m, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx);

// |result| = y with y^2 = a (mod p), 0 <= y < p, and y odd when |odd| is
// non-zero, even otherwise. |p| must be an odd prime; for any other modulus
// the work stays bounded and the call either fails or returns a value that
// has been checked to square to a. Returns 1, or 0 with "BN lib"; |result| is
// set to 0 when a is found not to be a square (or no root of the asked parity
// exists, as for a = 0 with |odd| set). |ctx| may be null. Moduli above 4096
// bits are refused.
//
// Not constant time: meant for public values such as compressed points.
int BN_sqrt(BIGNUM* result, const BIGNUM* a, const BIGNUM* p, int odd, BN_CTX* ctx = nullptr);

}  // namespace qcrypto
