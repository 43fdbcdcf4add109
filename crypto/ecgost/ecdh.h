// Elliptic-curve Diffie-Hellman on the GOST curves, for the key agreement of
// enveloped data: the shared value is the x coordinate of t * peer, with t the
// private number adjusted by the mode. No hashing and no user keying material
// enter here; the caller writes the value as ECDH_size bytes and derives its
// key-encryption key from them.
#pragma once

#include <openssl/bn.h>

#include "crypto/ec/ecurve.h"

namespace qcrypto {

// Modes of the private multiplier t: 0 t = d with the peer's order checked,
// 1 t = h * d, 2 t = (h^-1 * d mod q) * h (the same value as d for points of
// order q; both cofactor modes clear a small-order part of the peer's point).
enum EcdhMode : int {
  ECDH_MODE_PLAIN = 0,
  ECDH_MODE_COFACTOR = 1,
  ECDH_MODE_COFACTOR_COMPATIBLE = 2,
};

struct ECDH {
  ECURVE* curve;          // one reference held by the object
  BIGNUM* private_key;    // null while none
  ECPOINT* public_key;    // null while none
  BIGNUM* shared;         // x coordinate of the last agreement; null while none
  unsigned char* secret;  // null, or 32 bytes from OPENSSL_malloc, wiped on free
  int mode;               // EcdhMode
  int references;         // under lock 27
};

// An object on `curve` (one more reference taken). `mode` is kept only when
// the curve has a non-zero cofactor (and is 1 or 2); otherwise 0. Null on
// failure (75/107).
ECDH* ECDH_new(ECURVE* curve, int mode);
// Drops one reference (lock 27); at zero clear-frees the numbers, frees the
// points and wipes the secret buffer.
void ECDH_free(ECDH* ecdh);
int ECDH_up_ref(ECDH* ecdh);

// Forgets the earlier shared value; draws a private number uniform in
// [1, q - 1] when there is none and computes the public point when there is
// none. 1 / 0 (75/105); on failure the object keeps what it had.
int ECDH_generate_key(ECDH* ecdh);

// shared = x(t * peer). The peer's point must belong to the object's curve and
// pass ECGOST_is_pubkey_valid (with the order check in mode 0); the product
// must not be the point at infinity. The earlier shared value is gone either
// way. 1 / 0 (75/106).
int ECDH_compute_key(const ECPOINT* peer, ECDH* ecdh);

// (bits(p) + 7) / 8: the byte length the shared value is written in; 0 without a curve.
int ECDH_size(const ECDH* ecdh);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::ECDH, qcrypto::ECDH_free)
