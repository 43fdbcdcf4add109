// Filling, addressing and finishing RecipientInfo records.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/recip_asn1.h"
#include "crypto/pkcs7/recip_info.h"

namespace qcrypto {
namespace {

bool same_issuer_and_serial(const PKCS7_ISSUER_AND_SERIAL* ias, X509* cert) {
  return ias != nullptr && ias->issuer != nullptr && ias->serial != nullptr &&
         X509_NAME_cmp(ias->issuer, X509_get_issuer_name(cert)) == 0 &&
         ASN1_INTEGER_cmp(ias->serial, X509_get0_serialNumber(cert)) == 0;
}

PKCS7_ISSUER_AND_SERIAL* issuer_and_serial_of(X509* cert) {
  UniquePtr<PKCS7_ISSUER_AND_SERIAL> ias(PKCS7_ISSUER_AND_SERIAL_new());
  if (!ias || !X509_NAME_set(&ias->issuer, X509_get_issuer_name(cert))) return nullptr;
  ASN1_INTEGER_free(ias->serial);
  ias->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
  return ias->serial != nullptr ? ias.release() : nullptr;
}

X509_ALGOR* cert_key_algorithm(X509* cert) {
  X509_ALGOR* alg = nullptr;
  if (!X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, X509_get_X509_PUBKEY(cert))) return nullptr;
  return X509_ALGOR_dup(alg);
}

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, P7E_F_PKCS7_DATAINIT, 0), "PKCS7_dataInit"},
    {ERR_PACK_CODE(0, P7E_F_PKCS7_DATADECODE, 0), "PKCS7_dataDecode"},
    {ERR_PACK_CODE(0, P7E_F_PKCS7_CEK_ENCRYPT, 0), "PKCS7_CEK_ENCRYPT"},
    {ERR_PACK_CODE(0, P7E_F_PKCS7_CEK_DECRYPT, 0), "PKCS7_CEK_DECRYPT"},
    {ERR_PACK_CODE(0, P7E_F_PKCS7_RECIP_INFO_SET, 0), "PKCS7_RECIP_INFO_SET"},
    {ERR_PACK_CODE(0, P7E_F_D2I_PKCS7_RECIP_INFO, 0), "d2i_PKCS7_RECIP_INFO"},
    {0, nullptr},
};

// Reasons 118 to 123 keep no text: they print as their numbers.
const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, P7E_R_UNSUPPORTED_CIPHER_TYPE), "unsupported cipher type"},
    {ERR_PACK_CODE(0, 0, P7E_R_NO_RECIPIENT_MATCHES_CERTIFICATE), "no recipient matches certificate"},
    {ERR_PACK_CODE(0, 0, P7E_R_MALFORMED_ENVELOPE), "malformed enveloped data"},
    {ERR_PACK_CODE(0, 0, P7E_R_CANCELLED), "operation cancelled"},
    {ERR_PACK_CODE(0, 0, P7E_R_CONTENT_LENGTH), "content length mismatch"},
    {ERR_PACK_CODE(0, 0, P7E_R_OUTPUT), "output not written"},
    {ERR_PACK_CODE(0, 0, P7E_R_DECRYPT), "content decryption failed"},
    {0, nullptr},
};

}  // namespace

void ERR_load_PKCS7_envelope_strings() {
  ERR_load_strings(ERRLIB_PKCS7, kFunctions);
  ERR_load_strings(ERRLIB_PKCS7, kReasons);
}

int PKCS7_RECIP_INFO_set(PKCS7_RECIP_INFO* ri, X509* cert) {
  constexpr int F = P7E_F_PKCS7_RECIP_INFO_SET;
  if (ri == nullptr || cert == nullptr) {
    QERR(ERRLIB_PKCS7, F, ERR_R_PASSED_NULL);
    return 0;
  }
  const int type = pkcs7_cert_key_type(cert);
  int version = 3;
  int scheme = 0;
  switch (type) {
    case PKCS7_KEY_RSA:
      version = 0;
      break;
    case PKCS7_KEY_DSA:
      scheme = SYSOBJ_ESDH;
      break;
    case PKCS7_KEY_R3410:
      scheme = SYSOBJ_r3410_ESDH_r3411kdf;
      break;
    case PKCS7_KEY_ECR3410:
      scheme = SYSOBJ_ecdh_SinglePass_cofactorDH_r3411kdf;
      break;
    default:
      QERR(ERRLIB_PKCS7, F, P7E_R_UNSUPPORTED_KEY_TYPE);
      return 0;
  }
  UniquePtr<ASN1_STRING> v(ASN1_INTEGER_new());
  UniquePtr<PKCS7_ISSUER_AND_SERIAL> ias(issuer_and_serial_of(cert));
  UniquePtr<X509_ALGOR> alg(version == 0 ? cert_key_algorithm(cert) : X509_ALGOR_new());
  if (!v || !ias || !alg || !ASN1_INTEGER_set(v.get(), version) ||
      (scheme != 0 && !X509_ALGOR_set0(alg.get(), OBJ_nid2obj(sysobj_nid(scheme)), V_ASN1_UNDEF, nullptr)) ||
      !X509_up_ref(cert)) {
    QERR(ERRLIB_PKCS7, F, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  ASN1_INTEGER_free(ri->version);
  ri->version = v.release();
  PKCS7_ISSUER_AND_SERIAL_free(ri->issuer_and_serial);
  ri->issuer_and_serial = ias.release();
  X509_ALGOR_free(ri->key_enc_algor);
  ri->key_enc_algor = alg.release();
  X509_free(ri->cert);
  ri->cert = cert;
  return 1;
}

PKCS7_RECIP_INFO* PKCS7_add_recipient(RecipInfoList* list, X509* cert, int form) {
  if (list == nullptr) return nullptr;
  UniquePtr<PKCS7_RECIP_INFO> ri(PKCS7_RECIP_INFO_new());
  if (!ri || !PKCS7_RECIP_INFO_set(ri.get(), cert)) return nullptr;
  ri->form = form == PKCS7_FORM_1 || form == PKCS7_FORM_2 ? form : PKCS7_FORM_0;
  list->push_back(std::move(ri));
  return list->back().get();
}

int PKCS7_RECIP_INFO_select(PKCS7_RECIP_INFO* ri, X509* cert) {
  if (ri == nullptr || cert == nullptr) return 0;
  if (ri->rek == nullptr || sk_PKCS7_RECIP_ENC_KEY_num(ri->rek) == 0) {
    return same_issuer_and_serial(ri->issuer_and_serial, cert) ? 1 : 0;
  }
  for (int i = 0; i < sk_PKCS7_RECIP_ENC_KEY_num(ri->rek); ++i) {
    const PKCS7_RECIP_ENC_KEY* rek = sk_PKCS7_RECIP_ENC_KEY_value(ri->rek, i);
    if (!same_issuer_and_serial(rek->rid, cert)) continue;
    UniquePtr<ASN1_STRING> key(ASN1_OCTET_STRING_dup(rek->enc_key));
    UniquePtr<PKCS7_ISSUER_AND_SERIAL> ias(issuer_and_serial_of(cert));
    if (!key || !ias) return 0;
    ASN1_OCTET_STRING_free(ri->enc_key);
    ri->enc_key = key.release();
    PKCS7_ISSUER_AND_SERIAL_free(ri->issuer_and_serial);
    ri->issuer_and_serial = ias.release();
    return 1;
  }
  return 0;
}

int pkcs7_recip_info_finish(PKCS7_RECIP_INFO* ri) {
  if (ri == nullptr || ri->version == nullptr || ri->enc_key == nullptr) return 0;
  if (ASN1_INTEGER_get(ri->version) != 3) return 1;
  if (ri->form == PKCS7_FORM_2) {
    unsigned char* der = nullptr;
    const int n = pkcs7_kashape_to_der(ri, &der);
    UniquePtr<ASN1_STRING> packed(ASN1_OCTET_STRING_new());
    UniquePtr<X509_ALGOR> alg(cert_key_algorithm(ri->cert));
    const bool ok = n > 0 && packed && alg && ASN1_OCTET_STRING_set(packed.get(), der, n) == 1 &&
                    ASN1_INTEGER_set(ri->version, 0) == 1;
    OPENSSL_free(der);
    if (!ok) return 0;
    ASN1_OCTET_STRING_free(ri->enc_key);
    ri->enc_key = packed.release();
    X509_ALGOR_free(ri->key_enc_algor);
    ri->key_enc_algor = alg.release();
    X509_ALGOR_free(ri->orig_algor);
    ri->orig_algor = nullptr;
    ASN1_BIT_STRING_free(ri->orig_pubkey);
    ri->orig_pubkey = nullptr;
    return 1;
  }
  UniquePtr<PKCS7_RECIP_ENC_KEY> rek(PKCS7_RECIP_ENC_KEY_new());
  if (!rek) return 0;
  PKCS7_ISSUER_AND_SERIAL_free(rek->rid);
  rek->rid = issuer_and_serial_of(ri->cert);
  ASN1_OCTET_STRING_free(rek->enc_key);
  rek->enc_key = ASN1_OCTET_STRING_dup(ri->enc_key);
  if (rek->rid == nullptr || rek->enc_key == nullptr) return 0;
  if (ri->rek == nullptr && (ri->rek = sk_PKCS7_RECIP_ENC_KEY_new_null()) == nullptr) return 0;
  PKCS7_RECIP_ENC_KEY* entry = rek.release();
  if (sk_PKCS7_RECIP_ENC_KEY_push(ri->rek, entry) <= 0) {
    PKCS7_RECIP_ENC_KEY_free(entry);
    return 0;
  }
  return 1;
}

X509* PKCS7_find_cert_for_key(STACK_OF(X509) * certs, EVP_PKEY* pkey) {
  if (certs == nullptr || pkey == nullptr) return nullptr;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* cert = sk_X509_value(certs, i);
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    if (pub != nullptr && EVP_PKEY_eq(pub, pkey) == 1) return cert;
  }
  return nullptr;
}

}  // namespace qcrypto
