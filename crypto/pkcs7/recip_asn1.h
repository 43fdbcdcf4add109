// The wire records behind PKCS7_RECIP_INFO (recip_info.h). Inside the module
// and its tests only.
#pragma once

#include <openssl/asn1t.h>
#include <openssl/x509.h>

#include "crypto/cclib/owner.h"
#include "crypto/pkcs7/recip_info.h"

namespace qcrypto {

// OriginatorPublicKey ::= SEQUENCE { algorithm, publicKey BIT STRING }
struct P7_ORIG_PUBKEY {
  X509_ALGOR* algorithm;
  ASN1_BIT_STRING* public_key;
};

struct P7_KARI {
  ASN1_INTEGER* version;
  P7_ORIG_PUBKEY* originator;
  ASN1_OCTET_STRING* ukm;
  X509_ALGOR* key_enc_algor;
  STACK_OF(PKCS7_RECIP_ENC_KEY) * rek;
};

// The form-2 agreement shape: SEQUENCE { version, originator, keyEncryptionAlgorithm, encryptedKey }.
struct P7_KASHAPE {
  ASN1_INTEGER* version;
  P7_ORIG_PUBKEY* originator;
  X509_ALGOR* key_enc_algor;
  ASN1_OCTET_STRING* enc_key;
};

struct P7_KTRI {
  ASN1_INTEGER* version;
  PKCS7_ISSUER_AND_SERIAL* issuer_and_serial;
  X509_ALGOR* key_enc_algor;
  ASN1_OCTET_STRING* enc_key;
};

DECLARE_ASN1_ITEM(PKCS7_RECIP_ENC_KEY)
DECLARE_ASN1_ITEM(P7_ORIG_PUBKEY)
DECLARE_ASN1_ITEM(P7_KASHAPE)
DECLARE_ASN1_ITEM(P7_KTRI)
DECLARE_ASN1_ITEM(P7_KARI_ALT0)
DECLARE_ASN1_ITEM(P7_KARI_ALT1)

PKCS7_RECIP_ENC_KEY* PKCS7_RECIP_ENC_KEY_new();
P7_ORIG_PUBKEY* P7_ORIG_PUBKEY_new();
void P7_ORIG_PUBKEY_free(P7_ORIG_PUBKEY* a);
P7_KARI* P7_KARI_new();
void P7_KARI_free(P7_KARI* a);
P7_KASHAPE* P7_KASHAPE_new();
void P7_KASHAPE_free(P7_KASHAPE* a);
P7_KTRI* P7_KTRI_new();
void P7_KTRI_free(P7_KTRI* a);

// The form-2 agreement shape of a record, i2d conventions.
int pkcs7_kashape_to_der(const PKCS7_RECIP_INFO* ri, unsigned char** out);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::P7_ORIG_PUBKEY, qcrypto::P7_ORIG_PUBKEY_free)
QCRYPTO_DECLARE_OWNER(qcrypto::P7_KARI, qcrypto::P7_KARI_free)
QCRYPTO_DECLARE_OWNER(qcrypto::P7_KASHAPE, qcrypto::P7_KASHAPE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::P7_KTRI, qcrypto::P7_KTRI_free)
