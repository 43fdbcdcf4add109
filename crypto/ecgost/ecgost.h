// GOST R 34.10-2001 keys, signing and verification of a ready digest.
//
// The digest is read as one unsigned big-endian number, in the byte order the
// hash delivers it (no reversal here). Signing keys are never generated here:
// they are loaded (key container, DER) and only their public point derived.
#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <vector>

#include "crypto/cclib/owner.h"
#include "crypto/ec/ecurve.h"
#include "crypto/ecgost/ecgost_sig.h"

namespace qcrypto {

struct PSE;   // key container that protects d (not owned)
struct ECDH;  // key-agreement object, ecdh.h

// Width of a private number held outside d, in bytes.
constexpr int ECGOST_SECRET_BYTES = 32;

struct ECGOST {
  int version;                              // from the private-key encoding
  int param_form;                           // how the parameters came in ASN.1: 0 named curve, 1 explicit, 2 inherited
  int point_form;                           // 0: points are encoded uncompressed; non-zero: compressed
  ECURVE* curve;                            // one reference held by the key
  BIGNUM* d;                                // private number, 0 < d < q; zero while the key has none
  BIGNUM* tag;                              // non-null only while d is still the container-protected form
  ECPOINT* Q;                               // public point on `curve`; the point at infinity while the key has none
  std::vector<unsigned char> public_bytes;  // encoded Q as decoded, kept until the curve is known
  unsigned char* secret;                    // null, or ECGOST_SECRET_BYTES from OPENSSL_malloc, wiped on free
  PSE* container;
  std::uintptr_t provider;  // CryptoAPI-style provider handle; non-zero sends signing there
  std::uint32_t key_spec;
  int references;  // changed under lock 27
};

// A key on `curve` (one more reference taken), or on the built-in curve 191 in
// projective form when `curve` is null. d = 0, Q = the point at infinity.
// Null on failure (75/100).
ECGOST* ECGOST_new(ECURVE* curve);
// Drops one reference (lock 27); at zero releases the curve, clear-frees d and
// the tag, frees Q and wipes the secret buffer.
void ECGOST_free(ECGOST* key);
// One more reference (lock 27); returns the new count.
int ECGOST_up_ref(ECGOST* key);

// Q = d * P in affine form. d must satisfy 0 < d < q and must not be in its
// protected form. On failure the earlier Q stays as it was. 1 / 0 (75/150).
int ECGOST_generate_pubkey(ECGOST* key);

// One fresh per-signature pair: k uniform in [1, q - 1] and r = x(k * P) mod q,
// r != 0. `ctx` is used for temporaries. 1 / 0 (75/125).
int ECGOST_sign_setup(ECGOST* key, BIGNUM* k, BIGNUM* r, BN_CTX* ctx);

// Signs a digest of `length` bytes; a new signature, or null (75/126).
ECGOST_SIG* ECGOST_do_sign(const unsigned char* digest, int length, ECGOST* key);

// 1 valid, 0 invalid (r or s out of range, mismatch), -1 error (missing parts,
// a public point that is absent, off the curve or at infinity).
int ECGOST_do_verify(const unsigned char* digest, int length, const ECGOST_SIG* sig, ECGOST* key);

// The signing slot of the digest record: form != 0 writes DER, form == 0 the
// raw r || s of two fields of (bits(q) + 7) / 8 bytes. `out` must hold
// ECGOST_size(key) bytes. *out_length is 0 first, then the encoded length.
// A key with a provider is signed there (crypto/capi) with room for
// ECGOST_size(key) bytes. 1 / 0, a failure always with an error queued.
int ECGOST_sign_digest(int form, ECGOST* key, const unsigned char* digest, int length, unsigned char* out,
                       unsigned int* out_length);

// Library 75's reason for a provider-held key whose provider did not give a
// signature (absent, refused, too large, or not a valid signature value).
constexpr int ECGOST_R_PROVIDER_SIGN_FAILED = 107;

// The verification slot: decodes the signature (DER when form != 0, else raw)
// and returns 1 only when it is valid, else 0.
int ECGOST_verify_digest(int form, ECGOST* key, const unsigned char* digest, int length, const unsigned char* signature,
                         int signature_length);

// Bytes that ECGOST_sign_digest may write for this key (the DER upper bound);
// 0 when the key has no curve order.
int ECGOST_size(const ECGOST* key);

// A peer's (or a key's) public point: not at infinity, affine coordinates
// non-zero and below p, on the curve; with `full`, q * point is also the
// point at infinity. The point itself is not changed. 1 / 0 (75/128).
int ECGOST_is_pubkey_valid(const ECPOINT* point, int full);

// A key-agreement object on the key's curve with copies of d and Q; mode 2
// when the curve has a non-zero cofactor, else 0. Null on failure.
ECDH* ECGOST_to_ECDH(const ECGOST* key);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::ECGOST, qcrypto::ECGOST_free)
