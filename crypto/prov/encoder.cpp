// GOST public keys to SubjectPublicKeyInfo, in DER (X509_set_pubkey,
// i2d_PUBKEY, certificate signing) and PEM ("PUBLIC KEY"), through the key
// codecs; and as text for printing.
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <new>
#include <vector>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto::prov {
namespace {

enum class Form { kDer, kPem, kText };

struct EncCtx {
  int type;
  Form form;
};

void* enc_new(int type, Form form) {
  auto* c = new (std::nothrow) EncCtx{};
  if (c != nullptr) *c = EncCtx{type, form};
  return c;
}
void* r3410_der_newctx(void*) { return enc_new(SYSOBJ_R3410, Form::kDer); }
void* r3410_pem_newctx(void*) { return enc_new(SYSOBJ_R3410, Form::kPem); }
void* r3410_text_newctx(void*) { return enc_new(SYSOBJ_R3410, Form::kText); }
void* ecr3410_der_newctx(void*) { return enc_new(SYSOBJ_ECR3410, Form::kDer); }
void* ecr3410_pem_newctx(void*) { return enc_new(SYSOBJ_ECR3410, Form::kPem); }
void* ecr3410_text_newctx(void*) { return enc_new(SYSOBJ_ECR3410, Form::kText); }
void enc_freectx(void* vctx) { delete static_cast<EncCtx*>(vctx); }

int enc_does_selection(void*, int selection) { return (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 ? 1 : 0; }

bool write_all(OSSL_CORE_BIO* out, const unsigned char* data, size_t length) {
  while (length > 0) {
    size_t n = 0;
    if (core_write(out, data, length, &n) != 1 || n == 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

// "name:" and the big-endian bytes of a number, 15 to a line, as OpenSSL prints keys.
void print_number(BIO* mem, const char* name, const BIGNUM* n) {
  BIO_printf(mem, "%s:\n", name);
  const int len = BN_num_bytes(n);
  std::vector<unsigned char> b(static_cast<size_t>(len > 0 ? len : 1));
  BN_bn2binpad(n, b.data(), static_cast<int>(b.size()));
  for (size_t i = 0; i < b.size(); ++i) {
    BIO_printf(mem, "%s%02x%s", i % 15 == 0 ? "    " : "", b[i],
               i + 1 == b.size() ? "\n" : (i % 15 == 14 ? ":\n" : ":"));
  }
}

// The public key in words, for `openssl x509 -text` and EVP_PKEY_print_public.
bool write_text(BIO* mem, const GostKey* key) {
  if (key->type == SYSOBJ_R3410) {
    const R3410* k = key->r3410;
    if (k->y == nullptr || k->p == nullptr || k->q == nullptr || k->a == nullptr) return false;
    BIO_printf(mem, "GOST R 34.10-94 Public-Key: (%d bit)\n", BN_num_bits(k->p));
    print_number(mem, "y", k->y);
    print_number(mem, "p", k->p);
    print_number(mem, "q", k->q);
    print_number(mem, "a", k->a);
    return true;
  }
  const ECGOST* k = key->ecgost;
  if (k->curve == nullptr || k->curve->p == nullptr || k->Q == nullptr) return false;
  ASN1_OCTET_STRING* point = ECGOST_point2octet(k->Q, 0);
  if (point == nullptr) return false;
  BIO_printf(mem, "GOST R 34.10-2001 Public-Key: (%d bit)\npub:\n", BN_num_bits(k->curve->p));
  const unsigned char* b = ASN1_STRING_get0_data(point);
  const int len = ASN1_STRING_length(point);
  for (int i = 0; i < len; ++i) {
    BIO_printf(mem, "%s%02x%s", i % 15 == 0 ? "    " : "", b[i], i + 1 == len ? "\n" : (i % 15 == 14 ? ":\n" : ":"));
  }
  ASN1_OCTET_STRING_free(point);
  // A named curve carries the system's object number, not OpenSSL's NID.
  const int nid = k->curve->nid != 0 ? sysobj_nid(k->curve->nid) : NID_undef;
  if (nid != NID_undef) {
    char name[80];
    OBJ_obj2txt(name, sizeof name, OBJ_nid2obj(nid), 0);
    BIO_printf(mem, "Curve: %s\n", name);
  } else {
    print_number(mem, "Prime", k->curve->p);
    if (k->curve->q != nullptr) print_number(mem, "Order", k->curve->q);
  }
  return true;
}

int enc_encode(void* vctx, OSSL_CORE_BIO* out, const void* obj_raw, const OSSL_PARAM obj_abstract[], int selection,
               OSSL_PASSPHRASE_CALLBACK*, void*) {
  const auto* c = static_cast<const EncCtx*>(vctx);
  const auto* key = static_cast<const GostKey*>(obj_raw);
  if (obj_abstract != nullptr || key == nullptr || key->type != c->type ||
      (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) == 0)
    return 0;
  if (c->form == Form::kText) {
    BIO* mem = BIO_new(BIO_s_mem());
    char* text = nullptr;
    bool ok = mem != nullptr && write_text(mem, key);
    const long text_len = ok ? BIO_get_mem_data(mem, &text) : 0;
    ok = ok && text_len > 0 &&
         write_all(out, reinterpret_cast<const unsigned char*>(text), static_cast<size_t>(text_len));
    BIO_free(mem);
    return ok ? 1 : 0;
  }
  unsigned char* der = nullptr;
  const int len = c->type == SYSOBJ_R3410 ? i2d_R3410_PUBKEY(key->r3410, &der) : i2d_ECGOST_PUBKEY(key->ecgost, &der);
  if (len <= 0) return 0;
  bool ok;
  if (c->form == Form::kDer) {
    ok = write_all(out, der, static_cast<size_t>(len));
  } else {
    BIO* mem = BIO_new(BIO_s_mem());
    char* text = nullptr;
    ok = mem != nullptr && PEM_write_bio(mem, PEM_STRING_GOST_PUBLIC, "", der, len) > 0;
    const long text_len = ok ? BIO_get_mem_data(mem, &text) : 0;
    ok = ok && text_len > 0 &&
         write_all(out, reinterpret_cast<const unsigned char*>(text), static_cast<size_t>(text_len));
    BIO_free(mem);
  }
  OPENSSL_free(der);
  return ok ? 1 : 0;
}

#define QCRYPTO_ENCODER_DISPATCH(name, newctx)                                              \
  const OSSL_DISPATCH name[] = {                                                            \
      {OSSL_FUNC_ENCODER_NEWCTX, reinterpret_cast<void (*)()>(newctx)},                     \
      {OSSL_FUNC_ENCODER_FREECTX, reinterpret_cast<void (*)()>(enc_freectx)},               \
      {OSSL_FUNC_ENCODER_DOES_SELECTION, reinterpret_cast<void (*)()>(enc_does_selection)}, \
      {OSSL_FUNC_ENCODER_ENCODE, reinterpret_cast<void (*)()>(enc_encode)},                 \
      {0, nullptr},                                                                         \
  };
QCRYPTO_ENCODER_DISPATCH(kR3410Der, r3410_der_newctx)
QCRYPTO_ENCODER_DISPATCH(kR3410Pem, r3410_pem_newctx)
QCRYPTO_ENCODER_DISPATCH(kEcr3410Der, ecr3410_der_newctx)
QCRYPTO_ENCODER_DISPATCH(kEcr3410Pem, ecr3410_pem_newctx)
QCRYPTO_ENCODER_DISPATCH(kR3410Text, r3410_text_newctx)
QCRYPTO_ENCODER_DISPATCH(kEcr3410Text, ecr3410_text_newctx)
#undef QCRYPTO_ENCODER_DISPATCH

}  // namespace

const OSSL_ALGORITHM kEncoders[] = {
    {kNamesR3410, "output=der,structure=SubjectPublicKeyInfo", kR3410Der,
     "GOST R 34.10-94 public key to DER SubjectPublicKeyInfo"},
    {kNamesR3410, "output=pem,structure=SubjectPublicKeyInfo", kR3410Pem,
     "GOST R 34.10-94 public key to PEM SubjectPublicKeyInfo"},
    {kNamesEcr3410, "output=der,structure=SubjectPublicKeyInfo", kEcr3410Der,
     "GOST R 34.10-2001 public key to DER SubjectPublicKeyInfo"},
    {kNamesEcr3410, "output=pem,structure=SubjectPublicKeyInfo", kEcr3410Pem,
     "GOST R 34.10-2001 public key to PEM SubjectPublicKeyInfo"},
    {kNamesR3410, "output=text", kR3410Text, "GOST R 34.10-94 public key as text"},
    {kNamesEcr3410, "output=text", kEcr3410Text, "GOST R 34.10-2001 public key as text"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
