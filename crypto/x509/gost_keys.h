// DER and PEM codecs of the GOST key records: GOST R 34.10-94 (R3410, key
// type 177) and GOST R 34.10-2001 (ECGOST, key type 181).
//
// API overview
//   Parameters      d2i_R3410params / i2d_R3410params
//                   d2i_ECGOSTparams / i2d_ECGOST_PARAMS / ECGOST_params_to_algor
//   Public keys     d2i_R3410PublicKey / i2d_R3410PublicKey
//                   d2i_ECGOSTPublicKey / i2d_ECGOSTPublicKey / ECGOST_point2octet
//   Private keys    d2i_R3410PrivateKey / i2d_R3410PrivateKey (+ _bio, PEM "R3410 PRIVATE KEY")
//                   d2i_ECGOSTPrivateKey / i2d_ECGOSTPrivateKey (+ _bio, PEM "ECGOST PRIVATE KEY")
//   Inner records   R3410_PARAMS, ECGOST_FIELDID, ECGOST_CURVE: new/free/i2d/d2i
//   SPKI level      gost_spki_key_type, R3410_pubkey_from_spki, ECGOST_pubkey_from_spki
//                   (parameters TLV + key bytes: what a provider's SubjectPublicKeyInfo
//                   decoder has after splitting the SPKI itself), d2i_/i2d_R3410_PUBKEY,
//                   d2i_/i2d_ECGOST_PUBKEY (whole SPKI, hand-parsed: they never call
//                   d2i_X509_PUBKEY/d2i_PUBKEY, so a provider may call them from its decoder),
//                   PEM "PUBLIC KEY" for both
//   Certificates    X509_get1_R3410_pubkey / X509_get1_ECGOST_pubkey: the certificate's key,
//                   decoded once and cached on the X509 (ex_data), a new reference per call
//   Signatures      in crypto/r3410/r3410.h and crypto/ecgost/ecgost_sig.h (DER and raw)
//
// Conventions (those of OpenSSL's d2i/i2d):
//   d2i(T** rec, const unsigned char** in, long length): *in advances past what was read;
//     with rec and *rec non-null the record is reused and, on failure, left exactly as it
//     was; otherwise a new record is made (and freed again on failure); on success it is
//     also stored in *rec when rec is non-null. Strict DER: minimal lengths and INTEGERs,
//     no negative numbers, bounded sizes, nothing after the last element of a SEQUENCE.
//     Bytes after the outer TLV are left for the caller (*in stops there). The PUBKEY
//     decoders are the exception to reuse, as in OpenSSL: on success they drop the
//     caller's reference to *rec and store the new record there.
//   i2d(const T* rec, unsigned char** out): out null gives the length; *out null gets a
//     new OPENSSL_malloc buffer; otherwise the bytes go to *out, which is advanced.
//     0 on failure. Buffers holding a private key are freed with OPENSSL_clear_free.
//   Failures are raised under library 13 ("ASN1") with the function codes below and the
//   reason "parsing" (137), or "BN lib" when a number cannot be stored.
//
// What a decoder checks before a key is handed out:
//   R3410   1 < q < p, p odd, 1 < a < p; 1 < y < p whenever p is known; a plain private
//           x with 0 < x < q. That y lies in the subgroup of order q and that p, q are
//           prime is checked before use, by verification (GOSTS_do_verify).
//   ECGOST  explicit curves: p an odd prime below 2^1024, a, b < p, q prime, cofactor
//           >= 1, generator on the curve; public points on the key's curve and not at
//           infinity; a plain private d with 0 < d < q. A private number that matches
//           the stored public key is checked by the key-container loading, not here.
#pragma once

#include <openssl/bio.h>
#include <openssl/x509.h>

#include "crypto/cclib/owner.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {

// Function codes raised under library 13 (ASN1).
enum Asn1GostFunction : int {
  ASN1GOST_F_D2I_R3410PARAMS = 222,
  ASN1GOST_F_D2I_R3410PRIVATEKEY = 223,
  ASN1GOST_F_D2I_R3410PUBLICKEY = 224,
  ASN1GOST_F_I2D_R3410PARAMS = 225,
  ASN1GOST_F_I2D_R3410PRIVATEKEY = 226,
  ASN1GOST_F_I2D_R3410PUBLICKEY = 227,
  ASN1GOST_F_D2I_ECGOSTPARAMS = 240,
  ASN1GOST_F_D2I_ECGOSTPRIVATEKEY = 241,
  ASN1GOST_F_D2I_ECGOSTPUBLICKEY = 242,
  ASN1GOST_F_I2D_ECGOSTPARAMS = 243,
  ASN1GOST_F_I2D_ECGOSTPUBLICKEY = 244,
  ASN1GOST_F_I2D_ECGOSTPRIVATEKEY = 245,
  ASN1GOST_F_D2I_GOST_PUBKEY = 246,
  ASN1GOST_F_I2D_GOST_PUBKEY = 247,
  ASN1GOST_F_GOST_INNER = 248,  // the inner records' codecs
};
constexpr int ASN1GOST_R_PARSING = 137;

// Size bounds of untrusted numbers.
constexpr int R3410_MAX_P_BITS = 4096;
constexpr int ECGOST_MAX_P_BITS = 1024;

// PEM names.
inline constexpr char PEM_STRING_R3410_PRIVATE[] = "R3410 PRIVATE KEY";
inline constexpr char PEM_STRING_ECGOST_PRIVATE[] = "ECGOST PRIVATE KEY";
inline constexpr char PEM_STRING_GOST_PUBLIC[] = "PUBLIC KEY";

// ---------------------------------------------------------------------------
// GOST R 34.10-94

// SEQUENCE { p, q, a, generation }, generation NULL or SEQUENCE { x0, c } (16-bit
// values). The decoder sets p, q, a, their bit counts, x0, c and the generation
// flag (so the key encodes back the same way); the encoder writes { x0, c } only
// when the flag is set and both are non-zero.
R3410* d2i_R3410params(R3410** key, const unsigned char** in, long length);
int i2d_R3410params(const R3410* key, unsigned char** out);

// A bare INTEGER y, or SEQUENCE { y, p, q, a }. The decoder records the form it read
// in write_params; the encoder writes the SEQUENCE when write_params is set.
R3410* d2i_R3410PublicKey(R3410** key, const unsigned char** in, long length);
int i2d_R3410PublicKey(const R3410* key, unsigned char** out);

// SEQUENCE { version, p, q, a, y, x | SEQUENCE { x, tag } }; q of at least 32 content
// bytes. The protected form keeps its tag for the key container; the plain form
// leaves the tag empty.
R3410* d2i_R3410PrivateKey(R3410** key, const unsigned char** in, long length);
int i2d_R3410PrivateKey(const R3410* key, unsigned char** out);
// One DER private key read from a BIO (at most 64 KiB).
R3410* d2i_R3410PrivateKey_bio(BIO* bio, R3410** key);

// The generation values { x0, c } as a record of their own.
struct R3410_PARAMS {
  BIGNUM* x0;
  BIGNUM* c;
};
R3410_PARAMS* R3410_PARAMS_new();
void R3410_PARAMS_free(R3410_PARAMS* params);
R3410_PARAMS* d2i_R3410_PARAMS(R3410_PARAMS** params, const unsigned char** in, long length);
int i2d_R3410_PARAMS(const R3410_PARAMS* params, unsigned char** out);

// ---------------------------------------------------------------------------
// GOST R 34.10-2001

// CHOICE { OBJECT IDENTIFIER (form 0, named curve), SEQUENCE (form 1, explicit), NULL
// (form 2, inherited) }; the form goes into key->param_form. A named curve is loaded at
// once (only 1.2.840.10045.3.1.7 names one); a key with pending public bytes gets them
// decoded on the new curve, and the decoding fails when they do not fit.
ECGOST* d2i_ECGOSTparams(ECGOST** key, const unsigned char** in, long length);
int i2d_ECGOST_PARAMS(const ECGOST* key, unsigned char** out);
// AlgorithmIdentifier { ECR3410, parameters }; a new record or null.
X509_ALGOR* ECGOST_params_to_algor(const ECGOST* key);

// OCTET STRING of the point encoding of Q (compressed when point_form is non-zero).
// The decoder keeps the bytes in public_bytes, records their form in point_form and
// sets Q to the point at infinity until ECGOST_decode_public, the parameters decoder or
// a key decoder puts them on a curve (verification refuses a key without Q). The
// encoder writes Q, or the pending bytes while there is no Q.
// One point_form covers both the public point and the base of explicit parameters, as
// in the key record: a key whose two points came in different forms writes both in the
// public point's form.
ECGOST* d2i_ECGOSTPublicKey(ECGOST** key, const unsigned char** in, long length);
int i2d_ECGOSTPublicKey(const ECGOST* key, unsigned char** out);
// Decodes the pending public bytes on the key's curve into Q (on the curve, not
// at infinity). 1, or 0 with Q unchanged.
int ECGOST_decode_public(ECGOST* key);
// A new OCTET STRING holding the encoding of the point; null on failure.
ASN1_OCTET_STRING* ECGOST_point2octet(const ECPOINT* point, int compressed);

// SEQUENCE { version, parameters, public OCTET STRING, d | SEQUENCE { d, tag } }.
ECGOST* d2i_ECGOSTPrivateKey(ECGOST** key, const unsigned char** in, long length);
int i2d_ECGOSTPrivateKey(const ECGOST* key, unsigned char** out);
ECGOST* d2i_ECGOSTPrivateKey_bio(BIO* bio, ECGOST** key);

// fieldID SEQUENCE { fieldType OBJECT IDENTIFIER, prime INTEGER }: `type` holds the
// dotted OID text.
struct ECGOST_FIELDID {
  ASN1_OBJECT* type;
  BIGNUM* prime;
};
ECGOST_FIELDID* ECGOST_FIELDID_new();
void ECGOST_FIELDID_free(ECGOST_FIELDID* field);
ECGOST_FIELDID* d2i_ECGOST_FIELDID(ECGOST_FIELDID** field, const unsigned char** in, long length);
int i2d_ECGOST_FIELDID(const ECGOST_FIELDID* field, unsigned char** out);

// curve SEQUENCE { a INTEGER, b INTEGER, seed BIT STRING OPTIONAL }.
struct ECGOST_CURVE {
  BIGNUM* a;
  BIGNUM* b;
  ASN1_BIT_STRING* seed;  // null when absent
};
ECGOST_CURVE* ECGOST_CURVE_new();
void ECGOST_CURVE_free(ECGOST_CURVE* curve);
ECGOST_CURVE* d2i_ECGOST_CURVE(ECGOST_CURVE** curve, const unsigned char** in, long length);
int i2d_ECGOST_CURVE(const ECGOST_CURVE* curve, unsigned char** out);

// ---------------------------------------------------------------------------
// SubjectPublicKeyInfo

// 177 or 181 for an SPKI whose algorithm is R3410 or ECR3410, else 0. Only the
// algorithm identifier is looked at.
int gost_spki_key_type(const unsigned char* der, long length);

// A new key from the two halves of an SPKI: `params` is the whole DER TLV of the
// AlgorithmIdentifier's parameters (null or length 0 when absent), `key` the
// content of the BIT STRING (after its unused-bits byte).
//   177: SEQUENCE parameters are decoded into the key, anything else gives the
//        built-in p, q, a; the key bytes hold the public key (either form).
//   181: SEQUENCE parameters give an explicit curve (with the built-in window table
//        when it is the built-in curve), an OBJECT IDENTIFIER a named curve; NULL or
//        absent parameters fail. The key bytes are the OCTET STRING of the point.
R3410* R3410_pubkey_from_spki(const unsigned char* params, long params_length, const unsigned char* key,
                              long key_length);
ECGOST* ECGOST_pubkey_from_spki(const unsigned char* params, long params_length, const unsigned char* key,
                                long key_length);

// The whole SubjectPublicKeyInfo. The 177 encoder writes the key's parameters in the
// AlgorithmIdentifier and the public key (per write_params) in the BIT STRING; the
// 181 encoder the parameters in the key's form and the point.
R3410* d2i_R3410_PUBKEY(R3410** key, const unsigned char** in, long length);
int i2d_R3410_PUBKEY(const R3410* key, unsigned char** out);
ECGOST* d2i_ECGOST_PUBKEY(ECGOST** key, const unsigned char** in, long length);
int i2d_ECGOST_PUBKEY(const ECGOST* key, unsigned char** out);

// The public key of a certificate whose key type is 177 / 181, decoded from the
// certificate's SubjectPublicKeyInfo on first use and cached on the X509 object.
// Each call returns a new reference (free it with R3410_free / ECGOST_free), or null
// when the key is of another type or does not decode. The cache remembers the SPKI
// it came from, so a certificate whose key was replaced is decoded afresh; a copy
// made with X509_dup starts without a cache.
R3410* X509_get1_R3410_pubkey(X509* cert);
ECGOST* X509_get1_ECGOST_pubkey(X509* cert);

// ---------------------------------------------------------------------------
// PEM (1 / 0, or the record / null like the d2i functions)

int PEM_write_bio_R3410PrivateKey(BIO* bio, const R3410* key);
R3410* PEM_read_bio_R3410PrivateKey(BIO* bio, R3410** key);
int PEM_write_bio_ECGOSTPrivateKey(BIO* bio, const ECGOST* key);
ECGOST* PEM_read_bio_ECGOSTPrivateKey(BIO* bio, ECGOST** key);
int PEM_write_bio_R3410_PUBKEY(BIO* bio, const R3410* key);
R3410* PEM_read_bio_R3410_PUBKEY(BIO* bio, R3410** key);
int PEM_write_bio_ECGOST_PUBKEY(BIO* bio, const ECGOST* key);
ECGOST* PEM_read_bio_ECGOST_PUBKEY(BIO* bio, ECGOST** key);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::R3410_PARAMS, qcrypto::R3410_PARAMS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::ECGOST_FIELDID, qcrypto::ECGOST_FIELDID_free)
QCRYPTO_DECLARE_OWNER(qcrypto::ECGOST_CURVE, qcrypto::ECGOST_CURVE_free)
