// The content-encryption key (CEK) of an enveloped message, once per
// recipient: RSA key transport, and key agreement for DSA (Diffie-Hellman on
// the DSA parameters), GOST R 34.10-94 (Diffie-Hellman on p, q, a) and
// GOST R 34.10-2001 (ECDH) recipients, each followed by a key wrap.
//
// The RecipientInfo record is our own: OpenSSL's cannot hold the
// key-agreement alternative. Its wire forms:
//   version 0: SEQUENCE { version, IssuerAndSerialNumber, keyEncryptionAlgorithm,
//              encryptedKey }  (RSA, and the form-2 envelope of an agreement)
//   version 3: [1] KeyAgreeRecipientInfo, EXPLICIT in form 1, IMPLICIT in form 0
//   KeyAgreeRecipientInfo ::= SEQUENCE { version, originator [0] EXPLICIT
//              OriginatorPublicKey tagged [1] (EXPLICIT in form 1, IMPLICIT
//              otherwise), ukm [1] EXPLICIT OCTET STRING OPTIONAL,
//              keyEncryptionAlgorithm, recipientEncryptedKeys SEQUENCE OF
//              { IssuerAndSerialNumber, OCTET STRING } OPTIONAL }
// A decoder tells the two [1] forms apart by the first tag inside [1]: a
// SEQUENCE (0x30) is the EXPLICIT form 1, an INTEGER (0x02, the version) the
// IMPLICIT form 0; anything else is refused.
//
// Functions return 1 (or a length) on success and a value < 1 on failure,
// with the failure queued under library 33 (PKCS7).
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <vector>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(PKCS7_ISSUER_AND_SERIAL, PKCS7_ISSUER_AND_SERIAL_free)

namespace qcrypto {

enum Pkcs7Function : int {
  P7E_F_PKCS7_DATAINIT = 105,
  P7E_F_PKCS7_DATADECODE = 112,
  P7E_F_PKCS7_CEK_ENCRYPT = 114,
  P7E_F_PKCS7_CEK_DECRYPT = 115,
  P7E_F_PKCS7_RECIP_INFO_SET = 117,
  P7E_F_D2I_PKCS7_RECIP_INFO = 118,
};
enum Pkcs7Reason : int {
  P7E_R_EVP_LIB = 6,
  P7E_R_UNSUPPORTED_CIPHER_TYPE = 111,
  P7E_R_NO_RECIPIENT_MATCHES_CERTIFICATE = 115,
  P7E_R_UNSUPPORTED_KEY_TYPE = 118,
  P7E_R_BAD_ORIGINATOR = 119,
  P7E_R_SHARED_SECRET = 120,
  P7E_R_KEK_LENGTH = 121,
  P7E_R_MALFORMED_RECIPIENT = 122,
  P7E_R_BAD_PEER_KEY = 123,
  P7E_R_MALFORMED_ENVELOPE = 131,
  P7E_R_CANCELLED = 132,
  P7E_R_CONTENT_LENGTH = 133,
  P7E_R_OUTPUT = 134,
  P7E_R_DECRYPT = 135,
};

// Recipient forms: how the CEK is protected and how the record travels.
enum RecipForm : int {
  PKCS7_FORM_0 = 0,  // [1] IMPLICIT key agreement, DER keys, ukm allowed
  PKCS7_FORM_1 = 1,  // [1] EXPLICIT key agreement (the default that files use)
  PKCS7_FORM_2 = 2,  // the agreement DER-packed into a version-0 record
};

// The system's key types.
enum RecipKeyType : int {
  PKCS7_KEY_RSA = 6,
  PKCS7_KEY_DSA = 116,
  PKCS7_KEY_R3410 = 177,
  PKCS7_KEY_ECR3410 = 181,
};

// {IssuerAndSerialNumber, encryptedKey}
struct PKCS7_RECIP_ENC_KEY {
  PKCS7_ISSUER_AND_SERIAL* rid;
  ASN1_OCTET_STRING* enc_key;
};
DEFINE_STACK_OF(PKCS7_RECIP_ENC_KEY)
void PKCS7_RECIP_ENC_KEY_free(PKCS7_RECIP_ENC_KEY* a);

struct PKCS7_RECIP_INFO {
  ASN1_INTEGER* version;
  PKCS7_ISSUER_AND_SERIAL* issuer_and_serial;
  X509_ALGOR* key_enc_algor;
  ASN1_OCTET_STRING* enc_key;
  X509* cert;  // one reference; never encoded
  X509_ALGOR* orig_algor;
  ASN1_BIT_STRING* orig_pubkey;
  ASN1_OCTET_STRING* ukm;  // optional
  STACK_OF(PKCS7_RECIP_ENC_KEY) * rek;
  int form;
};

PKCS7_RECIP_INFO* PKCS7_RECIP_INFO_new();
void PKCS7_RECIP_INFO_free(PKCS7_RECIP_INFO* ri);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::PKCS7_RECIP_INFO, qcrypto::PKCS7_RECIP_INFO_free)
QCRYPTO_DECLARE_OWNER(qcrypto::PKCS7_RECIP_ENC_KEY, qcrypto::PKCS7_RECIP_ENC_KEY_free)

namespace qcrypto {

using RecipInfoList = std::vector<UniquePtr<PKCS7_RECIP_INFO>>;

// Encodes by version: 0 the key-transport SEQUENCE, 3 the [1] alternative in
// the record's form, anything else nothing (0). i2d conventions.
int i2d_PKCS7_RECIP_INFO(const PKCS7_RECIP_INFO* ri, unsigned char** out);
// Decodes one RecipientInfo of either shape (form 1 for [1] EXPLICIT, 0 for
// [1] IMPLICIT; a version-0 record whose key-encryption algorithm is a DSA,
// GOST R 34.10-94 or GOST R 34.10-2001 key is unpacked as a form-2 envelope).
// For a key-agreement record the issuer, serial and encrypted key are those of
// the first recipient encrypted key (PKCS7_RECIP_INFO_select picks another).
// A new record (*ri is not reused) or null; *in advances. Strict: the whole
// TLV must be consumed by the structure and nothing may follow it inside.
PKCS7_RECIP_INFO* d2i_PKCS7_RECIP_INFO(PKCS7_RECIP_INFO** ri, const unsigned char** in, long length);

// Fills a new record from the recipient's certificate: version, issuer and
// serial, key-encryption algorithm by key type (RSA 0 / certificate's
// algorithm, DSA 3 / ESDH, R3410 3 / r3410-ESDH-r3411kdf, ECR3410 3 /
// ecdh-SinglePass-cofactorDH-r3411kdf); takes a reference to the certificate.
// 1, or 0 with (33, 117, 118) for another key type.
int PKCS7_RECIP_INFO_set(PKCS7_RECIP_INFO* ri, X509* cert);

// A new record for the certificate appended to `list` in `form` (1 and 2 kept,
// anything else 0). The record (owned by the list), or null.
PKCS7_RECIP_INFO* PKCS7_add_recipient(RecipInfoList* list, X509* cert, int form);

// The key type (6, 116, 177, 181) of a certificate's key / of a private key;
// 0 for any other.
int pkcs7_cert_key_type(X509* cert);
int pkcs7_pkey_key_type(EVP_PKEY* pkey);

// 1 when the record is addressed to `cert` (its issuer and serial, or for a
// key-agreement record one of its recipient encrypted keys, whose key then
// becomes the record's encrypted key), else 0.
int PKCS7_RECIP_INFO_select(PKCS7_RECIP_INFO* ri, X509* cert);

// The CEK encrypted (RSA) or wrapped (key agreement) for one recipient into
// out (capacity outcap). -> its length, or < 1 on failure (33/114). The
// ephemeral key, wrap IV and padding come from the system's random layer.
int PKCS7_CEK_encrypt_form1(PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap, unsigned char* cek, int ceklen,
                            const EVP_CIPHER* content_cipher);
int PKCS7_CEK_encrypt(PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap, unsigned char* cek, int ceklen,
                      const EVP_CIPHER* content_cipher);
// The CEK recovered with the own private key. -> its length, or < 1 (33/115).
int PKCS7_CEK_decrypt_form1(EVP_PKEY* pkey, PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap);
int PKCS7_CEK_decrypt(EVP_PKEY* pkey, PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap);

// The RSA-transported CEK for a content cipher with keylen-byte keys, with
// implicit rejection: when the decrypted block is not PKCS#1 v1.5 type 2 or
// does not carry exactly keylen bytes, the caller's random `fallback` (keylen
// bytes, drawn before) takes the key's place, so that a forged encrypted key
// behaves as a wrong one to the end of the message. Which of the two was
// chosen shows neither in the result, nor in the error queue, nor in the
// timing. -> keylen, or < 1 (33/115) for an encrypted key that is not as long
// as the modulus or a private key that cannot be used, both public.
int pkcs7_cek_decrypt_rsa(EVP_PKEY* pkey, const PKCS7_RECIP_INFO* ri, unsigned char* out, int keylen,
                          const unsigned char* fallback);
// The constant-time choice itself: em holds the k bytes of the raw RSA
// private operation; out receives keylen bytes, either the message of a
// well-formed block or fallback.
void pkcs7_rsa_cek_select(const unsigned char* em, std::size_t k, const unsigned char* fallback, std::size_t keylen,
                          unsigned char* out);

// After encryption: moves the encrypted key into its travelling place
// (form 2: the agreement packed as a version-0 record; forms 0 and 1: one
// recipient encrypted key). 1 / 0.
int pkcs7_recip_info_finish(PKCS7_RECIP_INFO* ri);

// The first certificate of `certs` whose public key matches `pkey`, or null.
X509* PKCS7_find_cert_for_key(STACK_OF(X509) * certs, EVP_PKEY* pkey);

// The function and reason texts of this module (idempotent).
void ERR_load_PKCS7_envelope_strings();

}  // namespace qcrypto
