// Wire forms of the RecipientInfo record (see recip_info.h) on OpenSSL's
// ASN.1 templates, and the conversions between them and the record.
#include "crypto/pkcs7/recip_asn1.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/recip_info.h"

namespace qcrypto {

ASN1_SEQUENCE(PKCS7_RECIP_ENC_KEY) =
    {
        ASN1_SIMPLE(PKCS7_RECIP_ENC_KEY, rid, PKCS7_ISSUER_AND_SERIAL),
        ASN1_SIMPLE(PKCS7_RECIP_ENC_KEY, enc_key, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PKCS7_RECIP_ENC_KEY)

        IMPLEMENT_ASN1_ALLOC_FUNCTIONS(PKCS7_RECIP_ENC_KEY)

            ASN1_SEQUENCE(P7_ORIG_PUBKEY) =
                {
                    ASN1_SIMPLE(P7_ORIG_PUBKEY, algorithm, X509_ALGOR),
                    ASN1_SIMPLE(P7_ORIG_PUBKEY, public_key, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(P7_ORIG_PUBKEY)

                    IMPLEMENT_ASN1_ALLOC_FUNCTIONS(P7_ORIG_PUBKEY)

    // The originator key tagged [1], EXPLICIT (form 1) or IMPLICIT (forms 0, 2).
    ASN1_ITEM_TEMPLATE(P7_ORIG_E) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_EXPLICIT, 1, originator, P7_ORIG_PUBKEY)
        ASN1_ITEM_TEMPLATE_END(P7_ORIG_E)

            ASN1_ITEM_TEMPLATE(P7_ORIG_I) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_IMPLICIT, 1, originator, P7_ORIG_PUBKEY)
                ASN1_ITEM_TEMPLATE_END(P7_ORIG_I)

                    using P7_KARI1 = P7_KARI;
using P7_KARI0 = P7_KARI;

ASN1_SEQUENCE(P7_KARI1) =
    {
        ASN1_SIMPLE(P7_KARI1, version, ASN1_INTEGER),
        ASN1_EXP(P7_KARI1, originator, P7_ORIG_E, 0),
        ASN1_EXP_OPT(P7_KARI1, ukm, ASN1_OCTET_STRING, 1),
        ASN1_SIMPLE(P7_KARI1, key_enc_algor, X509_ALGOR),
        ASN1_SEQUENCE_OF_OPT(P7_KARI1, rek, PKCS7_RECIP_ENC_KEY),
} ASN1_SEQUENCE_END(P7_KARI1)

        ASN1_SEQUENCE(P7_KARI0) =
            {
                ASN1_SIMPLE(P7_KARI0, version, ASN1_INTEGER),
                ASN1_EXP(P7_KARI0, originator, P7_ORIG_I, 0),
                ASN1_EXP_OPT(P7_KARI0, ukm, ASN1_OCTET_STRING, 1),
                ASN1_SIMPLE(P7_KARI0, key_enc_algor, X509_ALGOR),
                ASN1_SEQUENCE_OF_OPT(P7_KARI0, rek, PKCS7_RECIP_ENC_KEY),
} ASN1_SEQUENCE_END(P7_KARI0)

    // The key-agreement alternative of the RecipientInfo CHOICE.
    ASN1_ITEM_TEMPLATE(P7_KARI_ALT1) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_EXPLICIT, 1, kari, P7_KARI1)
        ASN1_ITEM_TEMPLATE_END(P7_KARI_ALT1)

            ASN1_ITEM_TEMPLATE(P7_KARI_ALT0) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_IMPLICIT, 1, kari, P7_KARI0)
                ASN1_ITEM_TEMPLATE_END(P7_KARI_ALT0)

                    ASN1_SEQUENCE(P7_KASHAPE) =
                        {
                            ASN1_SIMPLE(P7_KASHAPE, version, ASN1_INTEGER),
                            ASN1_EXP(P7_KASHAPE, originator, P7_ORIG_I, 0),
                            ASN1_SIMPLE(P7_KASHAPE, key_enc_algor, X509_ALGOR),
                            ASN1_SIMPLE(P7_KASHAPE, enc_key, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(P7_KASHAPE)

                            ASN1_SEQUENCE(P7_KTRI) =
                                {
                                    ASN1_SIMPLE(P7_KTRI, version, ASN1_INTEGER),
                                    ASN1_SIMPLE(P7_KTRI, issuer_and_serial, PKCS7_ISSUER_AND_SERIAL),
                                    ASN1_SIMPLE(P7_KTRI, key_enc_algor, X509_ALGOR),
                                    ASN1_SIMPLE(P7_KTRI, enc_key, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(P7_KTRI)

                                    IMPLEMENT_ASN1_ALLOC_FUNCTIONS(P7_KARI1) IMPLEMENT_ASN1_ALLOC_FUNCTIONS(P7_KASHAPE)
                                        IMPLEMENT_ASN1_ALLOC_FUNCTIONS(P7_KTRI)

                                            P7_KARI
                                * P7_KARI_new() {
  return P7_KARI1_new();
}
void P7_KARI_free(P7_KARI* a) { P7_KARI1_free(a); }

namespace {

void raise(int reason) { QERR(ERRLIB_PKCS7, P7E_F_D2I_PKCS7_RECIP_INFO, reason); }

template <class T>
T* dup_item(const T* value, const ASN1_ITEM* item) {
  if (value == nullptr) return nullptr;
  return static_cast<T*>(ASN1_item_dup(item, const_cast<T*>(value)));
}

template <class T>
bool replace(T** slot, const T* value, const ASN1_ITEM* item) {
  T* copy = nullptr;
  if (value != nullptr && (copy = dup_item(value, item)) == nullptr) return false;
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(*slot), item);
  *slot = copy;
  return true;
}

bool copy_originator(P7_ORIG_PUBKEY** to, const PKCS7_RECIP_INFO* ri) {
  if (ri->orig_algor == nullptr || ri->orig_pubkey == nullptr) return false;
  UniquePtr<P7_ORIG_PUBKEY> orig(P7_ORIG_PUBKEY_new());
  if (!orig || !replace(&orig->algorithm, ri->orig_algor, ASN1_ITEM_rptr(X509_ALGOR)) ||
      !replace(&orig->public_key, ri->orig_pubkey, ASN1_ITEM_rptr(ASN1_BIT_STRING))) {
    return false;
  }
  P7_ORIG_PUBKEY_free(*to);
  *to = orig.release();
  return true;
}

bool take_originator(PKCS7_RECIP_INFO* ri, P7_ORIG_PUBKEY* orig) {
  return orig != nullptr && replace(&ri->orig_algor, orig->algorithm, ASN1_ITEM_rptr(X509_ALGOR)) &&
         replace(&ri->orig_pubkey, orig->public_key, ASN1_ITEM_rptr(ASN1_BIT_STRING));
}

// The key types whose version-0 record carries a packed agreement.
bool agreement_key_algorithm(const X509_ALGOR* alg) {
  if (alg == nullptr || alg->algorithm == nullptr) return false;
  const int type = EVP_PKEY_type(sysobj_number(OBJ_obj2nid(alg->algorithm)));
  return type == PKCS7_KEY_DSA || type == PKCS7_KEY_R3410 || type == PKCS7_KEY_ECR3410;
}

int kari_to_der(const PKCS7_RECIP_INFO* ri, unsigned char** out) {
  UniquePtr<P7_KARI> kari(P7_KARI_new());
  if (!kari || !replace(&kari->version, ri->version, ASN1_ITEM_rptr(ASN1_INTEGER)) ||
      !copy_originator(&kari->originator, ri) || !replace(&kari->ukm, ri->ukm, ASN1_ITEM_rptr(ASN1_OCTET_STRING)) ||
      !replace(&kari->key_enc_algor, ri->key_enc_algor, ASN1_ITEM_rptr(X509_ALGOR))) {
    return 0;
  }
  if (ri->rek != nullptr && sk_PKCS7_RECIP_ENC_KEY_num(ri->rek) > 0) {
    kari->rek = sk_PKCS7_RECIP_ENC_KEY_new_null();
    if (kari->rek == nullptr) return 0;
    for (int i = 0; i < sk_PKCS7_RECIP_ENC_KEY_num(ri->rek); ++i) {
      UniquePtr<PKCS7_RECIP_ENC_KEY> copy(
          dup_item(sk_PKCS7_RECIP_ENC_KEY_value(ri->rek, i), ASN1_ITEM_rptr(PKCS7_RECIP_ENC_KEY)));
      if (!copy) return 0;
      PKCS7_RECIP_ENC_KEY* entry = copy.release();
      if (sk_PKCS7_RECIP_ENC_KEY_push(kari->rek, entry) <= 0) {
        PKCS7_RECIP_ENC_KEY_free(entry);
        return 0;
      }
    }
  }
  const ASN1_ITEM* item = ri->form == PKCS7_FORM_1 ? ASN1_ITEM_rptr(P7_KARI_ALT1) : ASN1_ITEM_rptr(P7_KARI_ALT0);
  return ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(kari.get()), out, item);
}

int ktri_to_der(const PKCS7_RECIP_INFO* ri, unsigned char** out) {
  UniquePtr<P7_KTRI> ktri(P7_KTRI_new());
  if (!ktri || !replace(&ktri->version, ri->version, ASN1_ITEM_rptr(ASN1_INTEGER)) ||
      !replace(&ktri->issuer_and_serial, ri->issuer_and_serial, ASN1_ITEM_rptr(PKCS7_ISSUER_AND_SERIAL)) ||
      !replace(&ktri->key_enc_algor, ri->key_enc_algor, ASN1_ITEM_rptr(X509_ALGOR)) ||
      !replace(&ktri->enc_key, ri->enc_key, ASN1_ITEM_rptr(ASN1_OCTET_STRING))) {
    return 0;
  }
  return ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(ktri.get()), out, ASN1_ITEM_rptr(P7_KTRI));
}

// Decodes exactly `length` bytes with `item`; null when anything is left.
template <class T>
UniquePtr<T> decode_exact(const unsigned char* p, long length, const ASN1_ITEM* item) {
  const unsigned char* q = p;
  UniquePtr<T> value(reinterpret_cast<T*>(ASN1_item_d2i(nullptr, &q, length, item)));
  if (!value || q != p + length) return nullptr;
  return value;
}

bool take_first_rek(PKCS7_RECIP_INFO* ri) {
  if (ri->rek == nullptr || sk_PKCS7_RECIP_ENC_KEY_num(ri->rek) == 0) return true;
  const PKCS7_RECIP_ENC_KEY* first = sk_PKCS7_RECIP_ENC_KEY_value(ri->rek, 0);
  return replace(&ri->issuer_and_serial, first->rid, ASN1_ITEM_rptr(PKCS7_ISSUER_AND_SERIAL)) &&
         replace(&ri->enc_key, first->enc_key, ASN1_ITEM_rptr(ASN1_OCTET_STRING));
}

bool from_kari(PKCS7_RECIP_INFO* ri, P7_KARI* kari, int form) {
  ri->form = form;
  std::swap(ri->version, kari->version);
  std::swap(ri->ukm, kari->ukm);
  std::swap(ri->key_enc_algor, kari->key_enc_algor);
  std::swap(ri->rek, kari->rek);
  return take_originator(ri, kari->originator) && take_first_rek(ri);
}

// A packed agreement inside a version-0 record's encrypted key.
bool unpack_form2(PKCS7_RECIP_INFO* ri) {
  auto shape = decode_exact<P7_KASHAPE>(ASN1_STRING_get0_data(ri->enc_key), ASN1_STRING_length(ri->enc_key),
                                        ASN1_ITEM_rptr(P7_KASHAPE));
  if (!shape || !take_originator(ri, shape->originator)) return false;
  ri->form = PKCS7_FORM_2;
  std::swap(ri->version, shape->version);
  std::swap(ri->key_enc_algor, shape->key_enc_algor);
  std::swap(ri->enc_key, shape->enc_key);
  return true;
}

}  // namespace

PKCS7_RECIP_INFO* PKCS7_RECIP_INFO_new() {
  auto* ri = static_cast<PKCS7_RECIP_INFO*>(OPENSSL_zalloc(sizeof(PKCS7_RECIP_INFO)));
  if (ri == nullptr) QERR(ERRLIB_PKCS7, P7E_F_PKCS7_RECIP_INFO_SET, ERR_R_MEMORY_ALLOC);
  return ri;
}

void PKCS7_RECIP_INFO_free(PKCS7_RECIP_INFO* ri) {
  if (ri == nullptr) return;
  ASN1_INTEGER_free(ri->version);
  PKCS7_ISSUER_AND_SERIAL_free(ri->issuer_and_serial);
  X509_ALGOR_free(ri->key_enc_algor);
  ASN1_OCTET_STRING_free(ri->enc_key);
  X509_free(ri->cert);
  X509_ALGOR_free(ri->orig_algor);
  ASN1_BIT_STRING_free(ri->orig_pubkey);
  ASN1_OCTET_STRING_free(ri->ukm);
  sk_PKCS7_RECIP_ENC_KEY_pop_free(ri->rek, PKCS7_RECIP_ENC_KEY_free);
  OPENSSL_free(ri);
}

int i2d_PKCS7_RECIP_INFO(const PKCS7_RECIP_INFO* ri, unsigned char** out) {
  if (ri == nullptr || ri->version == nullptr) return 0;
  switch (ASN1_INTEGER_get(ri->version)) {
    case 0:
      return ktri_to_der(ri, out);
    case 3:
      return kari_to_der(ri, out);
    default:
      return 0;
  }
}

int pkcs7_kashape_to_der(const PKCS7_RECIP_INFO* ri, unsigned char** out) {
  UniquePtr<P7_KASHAPE> shape(P7_KASHAPE_new());
  if (!shape || !replace(&shape->version, ri->version, ASN1_ITEM_rptr(ASN1_INTEGER)) ||
      !copy_originator(&shape->originator, ri) ||
      !replace(&shape->key_enc_algor, ri->key_enc_algor, ASN1_ITEM_rptr(X509_ALGOR)) ||
      !replace(&shape->enc_key, ri->enc_key, ASN1_ITEM_rptr(ASN1_OCTET_STRING))) {
    return 0;
  }
  return ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(shape.get()), out, ASN1_ITEM_rptr(P7_KASHAPE));
}

PKCS7_RECIP_INFO* d2i_PKCS7_RECIP_INFO(PKCS7_RECIP_INFO** out, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length < 2) {
    raise(P7E_R_MALFORMED_RECIPIENT);
    return nullptr;
  }
  const unsigned char* p = *in;
  long content = 0;
  int tag = 0;
  int xclass = 0;
  const int info = ASN1_get_object(&p, &content, &tag, &xclass, length);
  // Indefinite lengths and lengths past the end are refused here.
  if ((info & 0x80) != 0 || info != V_ASN1_CONSTRUCTED) {
    raise(P7E_R_MALFORMED_RECIPIENT);
    return nullptr;
  }
  const long total = (p - *in) + content;
  UniquePtr<PKCS7_RECIP_INFO> ri(PKCS7_RECIP_INFO_new());
  if (!ri) return nullptr;
  bool ok = false;
  if (xclass == V_ASN1_UNIVERSAL && tag == V_ASN1_SEQUENCE) {
    auto ktri = decode_exact<P7_KTRI>(*in, total, ASN1_ITEM_rptr(P7_KTRI));
    if (ktri) {
      std::swap(ri->version, ktri->version);
      std::swap(ri->issuer_and_serial, ktri->issuer_and_serial);
      std::swap(ri->key_enc_algor, ktri->key_enc_algor);
      std::swap(ri->enc_key, ktri->enc_key);
      ri->form = PKCS7_FORM_0;
      ok = true;
      if (ASN1_INTEGER_get(ri->version) == 0 && agreement_key_algorithm(ri->key_enc_algor)) {
        // The outer record names the recipient; the packed one names the agreement.
        UniquePtr<X509_ALGOR> cert_alg(ri->key_enc_algor);
        ri->key_enc_algor = nullptr;
        ok = unpack_form2(ri.get());
      }
    }
  } else if (xclass == V_ASN1_CONTEXT_SPECIFIC && tag == 1 && content > 0) {
    // The first tag inside [1]: SEQUENCE for EXPLICIT (form 1), INTEGER for IMPLICIT (form 0).
    const int first = p[0];
    const ASN1_ITEM* item = nullptr;
    int form = 0;
    if (first == (V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED)) {
      item = ASN1_ITEM_rptr(P7_KARI_ALT1);
      form = PKCS7_FORM_1;
    } else if (first == V_ASN1_INTEGER) {
      item = ASN1_ITEM_rptr(P7_KARI_ALT0);
      form = PKCS7_FORM_0;
    }
    if (item != nullptr) {
      auto kari = decode_exact<P7_KARI>(*in, total, item);
      ok = kari && ASN1_INTEGER_get(kari->version) == 3 && from_kari(ri.get(), kari.get(), form);
    }
  }
  if (!ok || ri->version == nullptr || ri->key_enc_algor == nullptr) {
    raise(P7E_R_MALFORMED_RECIPIENT);
    return nullptr;
  }
  *in += total;
  if (out != nullptr) {
    PKCS7_RECIP_INFO_free(*out);
    *out = ri.get();
  }
  return ri.release();
}

}  // namespace qcrypto
