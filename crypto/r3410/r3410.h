// GOST R 34.10-94: the key record, the built-in domain parameters, public-key
// derivation, and signing and verification of a ready digest.
//
// Numbers are OpenSSL BIGNUMs. A digest is read as one big-endian number in
// the byte order in which it is delivered. Functions return 1/0 (verification
// 1 valid, 0 invalid, -1 error) and push their failures on the crypto
// library's error queue: library 78 ("GOSTS routines") for the signing core,
// library 65 ("R3410 routines") for the key-level functions.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct PSE;  // key container (crypto/pse); never owned by a key

// Function codes of library 78 raised here.
enum GostsFunction : int {
  GOSTS_F_GOSTS_NEW = 108,
  GOSTS_F_GOSTS_SIGN_SETUP = 112,
  GOSTS_F_GOSTS_DO_SIGN = 114,
  GOSTS_F_GOSTS_DO_VERIFY = 115,
  GOSTS_F_GOSTS_SIG_NEW = 116,
  GOSTS_F_D2I_GOSTS_SIG = 119,
};

// Function codes of library 65 raised here.
enum R3410Function : int {
  R3410_F_R3410_SIGN = 111,
  R3410_F_R3410_VERIFY = 113,
  R3410_F_R3410_SIG_NEW = 116,
  R3410_F_I2D_R3410_SIG = 117,
  R3410_F_D2I_R3410_SIG = 118,
  R3410_F_R3410_GENERATE_PUBKEY = 121,
};

// Reasons shared by libraries 65 and 78 (106-108 are library 78's only).
enum GostsReason : int {
  GOSTS_R_INVALID_LENGTH_OF_P_Q = 100,
  GOSTS_R_S_IS_ZERO = 101,
  GOSTS_R_R_IS_ZERO = 102,
  GOSTS_R_S_GE_Q = 103,
  GOSTS_R_R_GE_Q = 104,
  GOSTS_R_INVALID_PRIVATE_KEY = 105,
  GOSTS_R_INVALID_K = 106,
  GOSTS_R_INVALID_LENGTH_OF_P = 107,
  GOSTS_R_INVALID_DOMAIN_PARAMETERS = 108,
  // A public key y outside 1 < y < p or outside the subgroup of order q.
  GOSTS_R_INVALID_PUBLIC_KEY = 109,
};

// ASN.1 "parsing" (library 13's reason), raised by the signature decoders.
constexpr int R3410_R_PARSING = 137;

// Sizes of the built-in parameters in bytes.
constexpr int R3410_DEFAULT_P_BYTES = 128;
constexpr int R3410_DEFAULT_Q_BYTES = 32;
constexpr int R3410_DEFAULT_A_BYTES = 128;

// The key record. Numbers not present are null. Reference-counted: made with
// GOSTS_new (one reference), shared with R3410_up_ref, dropped with R3410_free.
struct R3410 {
  int version;
  int write_params;  // 1: the public-key encoding carries p, q, a
  int gen_flag;      // 1: the parameter encoding may carry x0 and c
  BIGNUM* p;
  BIGNUM* q;
  BIGNUM* a;
  BIGNUM* y;
  BIGNUM* x;       // private key, or its protected form while tag is set
  BIGNUM* tag;     // present only while x is protected by the key container
  BIGNUM* spare1;  // cleared at creation, freed with the key
  BIGNUM* spare2;
  int p_bits;  // as recorded by the parameter decoder
  int q_bits;
  std::uint16_t x0;  // parameter-generation values
  std::uint16_t c;
  unsigned char* secret;  // optional private key, 32 big-endian bytes (OPENSSL_malloc)
  PSE* container;         // the container that protects x; not owned
  void* provider;         // CryptoAPI-style provider handle: signing goes there
  int key_spec;
  int references;  // changed under lock 24
  // Run-time cache of the last (p, q, a, y) found valid by verification;
  // owned by the key, guarded by lock 24, never encoded.
  void* checked;
};

// Signature value: r, s and the width of each half in the raw form,
// (bits(q) + 7) / 8 bytes.
struct R3410_SIG {
  BIGNUM* r;
  BIGNUM* s;
  int qlen;
};

// --- key record ---------------------------------------------------------

// A zeroed record with one reference and write_params 1; null on allocation
// failure (GOSTS_new, "memory alloc failure").
R3410* GOSTS_new();
// Adds a reference (under lock 24). Returns 1, 0 for null.
int R3410_up_ref(R3410* key);
// Drops a reference; at zero every number is clear-freed, the secret buffer
// wiped and freed, and the record freed. Null is ignored.
void R3410_free(R3410* key);

// The built-in parameters as big-endian byte strings of 128, 32 and 128 bytes.
const unsigned char* R3410_default_p();
const unsigned char* R3410_default_q();
const unsigned char* R3410_default_a();

// Gives the key the built-in p, q, a unless all three are present. 1, or 0
// when a number cannot be made (no error queued).
int R3410_default_params(R3410* key);

// DER size of a signature for this key: two INTEGERs of (bits(q) + 7) / 8
// bytes with the top bit set, in a SEQUENCE (72 for a 256-bit q); 0 without q.
int R3410_size(const R3410* key);

// y = a^x mod p, replacing any earlier y. Needs 0 < x < q (else "invalid
// private key"); y is left as it was on failure.
int R3410_generate_pubkey(R3410* key);

// A new Diffie-Hellman key (OpenSSL "DH" type) for key agreement: prime p,
// subgroup order q, generator a, private-value length bits(q), public y and
// private x, each copied only when present. Null on any failure or null key.
EVP_PKEY* R3410_to_DH(const R3410* key);

// --- signatures ---------------------------------------------------------

R3410_SIG* R3410_SIG_new();
void R3410_SIG_free(R3410_SIG* sig);

// DER SEQUENCE { r INTEGER, s INTEGER }. i2d: the encoded length; with a
// non-null *out the bytes are written there and *out advanced; with a null
// *out a buffer is allocated (OPENSSL_malloc) and stored there; with null
// out only the length is computed. 0 on failure.
int i2d_R3410_SIG(const R3410_SIG* sig, unsigned char** out);
// Decodes one SEQUENCE from *in (advanced past it). Reuses *sig when given,
// else makes a record (freed again on failure). Null with "parsing" when the
// structure does not match, runs past |length|, holds trailing bytes or a
// negative number.
R3410_SIG* d2i_R3410_SIG(R3410_SIG** sig, const unsigned char** in, long length);

// Raw form: r then s, each sig->qlen bytes, big-endian, left-padded. Same
// output convention as i2d_R3410_SIG. 0 when a half does not fit.
int R3410_SIG_to_raw(const R3410_SIG* sig, unsigned char** out);
// Splits a non-zero even |length| into the halves r and s (qlen = length / 2).
R3410_SIG* d2i_GOSTS_SIG(R3410_SIG** sig, const unsigned char** in, long length);
// What verification takes: exactly two halves of |qlen| = (bits(q) + 7) / 8
// bytes (78/119 otherwise), so one signature has one raw form.
R3410_SIG* R3410_SIG_from_raw_exact(const unsigned char* in, long length, int qlen);

// --- signing core ---------------------------------------------------------

// One fresh per-signature value: k uniform in [1, q), r = (a^k mod p) mod q
// non-zero, xr = x*r (the full product). The three numbers are new; the
// caller clear-frees them. 1 / 0.
int GOSTS_sign_setup(const R3410* key, BIGNUM** k, BIGNUM** r, BIGNUM** xr);

// A new signature of the digest, or null. The key is not changed.
R3410_SIG* GOSTS_do_sign(const R3410* key, const unsigned char* digest, int length);

// 1 valid, 0 invalid (range checks, mismatch), -1 error (missing key parts,
// invalid parameters or public key, big-number failure).
int GOSTS_do_verify(const R3410_SIG* sig, const R3410* key, const unsigned char* digest, int length);

// --- EVP slots ------------------------------------------------------------

// Signs into |out| (which holds R3410_size(key) bytes; raw needs 2 * qlen).
// form != 0: DER, form == 0: raw r||s. *out_length is set to 0 first, then to
// the length. A key bound to a provider is signed through the provider hook
// and its result returned unchanged.
int R3410_sign(int form, const R3410* key, const unsigned char* digest, int length, unsigned char* out,
               unsigned int* out_length);
// 1 only when the signature (DER for form != 0, raw for form == 0) verifies.
int R3410_verify(int form, const R3410* key, const unsigned char* digest, int length, const unsigned char* signature,
                 int signature_length);

// Signing through a key's provider: (provider, key spec, digest object number,
// digest, signature buffer, signature length) -> the length, 0 or -1.
using R3410_provider_sign_fn = int (*)(void* provider, int key_spec, int digest_type, const unsigned char* digest,
                                       unsigned char* signature, unsigned int* signature_length);
// Installs the provider signer (null removes it); without one a provider-bound
// key fails to sign.
void R3410_set_provider_sign(R3410_provider_sign_fn fn);

// The digest object number the signing wrapper hands to a provider (RUS-HASH).
constexpr int R3410_PROVIDER_DIGEST_TYPE = 176;

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::R3410, qcrypto::R3410_free)
QCRYPTO_DECLARE_OWNER(qcrypto::R3410_SIG, qcrypto::R3410_SIG_free)
