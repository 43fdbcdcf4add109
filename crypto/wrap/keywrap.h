// Key wrap under a key-encryption key (KEK) and the derivation of that KEK
// from a Diffie-Hellman-type shared secret (the X9.42 / RFC 2631 scheme).
//
// Every wrap has one signature: (KEK, input, input length, output, in/out
// output size, cipher). On entry *outlen is the output's capacity; on success
// it is the number of bytes written; when the output is missing or too small
// it becomes the size needed and the call fails. 1 on success, 0 on failure.
// The cipher is used by the dummy wraps only. Unwrap input is untrusted:
// lengths are checked before any byte is read.
//
// KEK sizes: 24 bytes for the Triple-DES wrap, 32 for the GOST wrap, the
// cipher's key length for the dummy wraps.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

// Function codes under library 33 (PKCS7).
enum WrapFunction : int {
  PKCS7_F_X942_KEK_GENERATE = 116,
  PKCS7_F_CMS_3DES_WRAP = 120,
  PKCS7_F_CMS_3DES_UNWRAP = 121,
  PKCS7_F_CMS_GOST_WRAP = 122,
  PKCS7_F_CMS_GOST_UNWRAP = 123,
  PKCS7_F_CMS_DUMMY_WRAP = 124,
  PKCS7_F_CMS_DUMMY_UNWRAP = 125,
};
// Function codes under library 13 (ASN.1).
enum WrapAsn1Function : int {
  ASN1_F_X942_KEY_SPECIFIC_INFO_NEW = 200,
  ASN1_F_X942_OTHER_INFO_NEW = 201,
};
enum WrapReason : int {
  PKCS7_R_OUTPUT_TOO_SMALL = 126,
  PKCS7_R_WRONG_KEY_LENGTH = 127,
  PKCS7_R_ICV_FAILURE = 128,
  PKCS7_R_BAD_KEY_PARITY = 130,
};

constexpr int CMS_3DES_KEY_BYTES = 24;
constexpr int CMS_3DES_WRAPPED_BYTES = 40;
constexpr int CMS_GOST_KEY_BYTES = 32;
constexpr int CMS_GOST_WRAPPED_BYTES = 48;

using CMS_wrap_fn = int (*)(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                            const EVP_CIPHER* cipher);

// Triple-DES wrap of a 24-byte key (40 bytes out). NOTE: odd parity is forced
// on the caller's key bytes in place, before wrapping; callers may rely on the
// key they hold afterwards being the one that was wrapped.
int CMS_3des_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                  const EVP_CIPHER* cipher);
// 40 bytes in, 24 out; each unwrapped DES key must have odd parity.
int CMS_3des_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                    const EVP_CIPHER* cipher);
// The same scheme with GOST R 34.11-94 for the check value and GOST 28147-89
// gamma with feedback for both passes: 32 bytes in, 48 out, and back.
int CMS_gost_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                  const EVP_CIPHER* cipher);
int CMS_gost_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                    const EVP_CIPHER* cipher);
// The key encrypted with `cipher` under the KEK, all-zero IV, no padding and
// no check value. Output length: the input rounded up to whole blocks.
int CMS_dummy_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                   const EVP_CIPHER* cipher);
int CMS_dummy_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                     const EVP_CIPHER* cipher);

// DES parity over 8 bytes: force odd parity in place / 1 when all 8 bytes
// already have it.
void CMS_des_set_odd_parity(unsigned char* key8);
int CMS_des_check_parity(const unsigned char* key8);

// KeySpecificInfo ::= SEQUENCE { algorithm OBJECT IDENTIFIER,
//                                counter OCTET STRING (SIZE 4) }
struct X942_KEY_SPECIFIC_INFO {
  ASN1_OBJECT* algorithm;
  ASN1_OCTET_STRING* counter;
};
// OtherInfo ::= SEQUENCE { keyInfo KeySpecificInfo,
//                          partyAInfo [0] EXPLICIT OCTET STRING OPTIONAL,
//                          suppPubInfo [2] EXPLICIT OCTET STRING (SIZE 4) }
struct X942_OTHER_INFO {
  X942_KEY_SPECIFIC_INFO* keyInfo;
  ASN1_OCTET_STRING* partyAInfo;
  ASN1_OCTET_STRING* suppPubInfo;
};

// The new functions create the OCTET STRINGs (counter; suppPubInfo) at once.
X942_KEY_SPECIFIC_INFO* X942_KEY_SPECIFIC_INFO_new();
void X942_KEY_SPECIFIC_INFO_free(X942_KEY_SPECIFIC_INFO* a);
int i2d_X942_KEY_SPECIFIC_INFO(const X942_KEY_SPECIFIC_INFO* a, unsigned char** out);
X942_OTHER_INFO* X942_OTHER_INFO_new();
void X942_OTHER_INFO_free(X942_OTHER_INFO* a);
int i2d_X942_OTHER_INFO(const X942_OTHER_INFO* a, unsigned char** out);

// KEK = H(ZZ || OtherInfo(counter 1)) || H(ZZ || OtherInfo(counter 2)) || ...
// cut to keklen bytes. wrap_nid names the wrap algorithm (an OpenSSL NID);
// party_a_info may be null. -> keklen, or 0 on failure (output wiped).
int X942_KEK_GENERATE(const EVP_MD* md, const unsigned char* zz, int zzlen, int wrap_nid, unsigned char* out,
                      int keklen, const ASN1_OCTET_STRING* party_a_info);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::X942_OTHER_INFO, qcrypto::X942_OTHER_INFO_free)
