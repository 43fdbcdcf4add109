// GOST public keys to SubjectPublicKeyInfo, in DER (X509_set_pubkey,
// i2d_PUBKEY, certificate signing) and PEM ("PUBLIC KEY"), through the key
// codecs.
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <new>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto::prov {
namespace {

struct EncCtx {
  int type;
  bool pem;
};

void* enc_new(int type, bool pem) {
  auto* c = new (std::nothrow) EncCtx{};
  if (c != nullptr) *c = EncCtx{type, pem};
  return c;
}
void* r3410_der_newctx(void*) { return enc_new(SYSOBJ_R3410, false); }
void* r3410_pem_newctx(void*) { return enc_new(SYSOBJ_R3410, true); }
void* ecr3410_der_newctx(void*) { return enc_new(SYSOBJ_ECR3410, false); }
void* ecr3410_pem_newctx(void*) { return enc_new(SYSOBJ_ECR3410, true); }
void enc_freectx(void* vctx) { delete static_cast<EncCtx*>(vctx); }

int enc_does_selection(void*, int selection) {
  return (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 ? 1 : 0;
}

bool write_all(OSSL_CORE_BIO* out, const unsigned char* data, size_t length) {
  while (length > 0) {
    size_t n = 0;
    if (core_write(out, data, length, &n) != 1 || n == 0) return false;
    data += n;
    length -= n;
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
  unsigned char* der = nullptr;
  const int len = c->type == SYSOBJ_R3410 ? i2d_R3410_PUBKEY(key->r3410, &der) : i2d_ECGOST_PUBKEY(key->ecgost, &der);
  if (len <= 0) return 0;
  bool ok;
  if (!c->pem) {
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
  const OSSL_DISPATCH name[] = {                                                           \
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
#undef QCRYPTO_ENCODER_DISPATCH

}  // namespace

const OSSL_ALGORITHM kEncoders[] = {
    {kNamesR3410, "provider=dossar,output=der,structure=SubjectPublicKeyInfo", kR3410Der,
     "GOST R 34.10-94 public key to DER SubjectPublicKeyInfo"},
    {kNamesR3410, "provider=dossar,output=pem,structure=SubjectPublicKeyInfo", kR3410Pem,
     "GOST R 34.10-94 public key to PEM SubjectPublicKeyInfo"},
    {kNamesEcr3410, "provider=dossar,output=der,structure=SubjectPublicKeyInfo", kEcr3410Der,
     "GOST R 34.10-2001 public key to DER SubjectPublicKeyInfo"},
    {kNamesEcr3410, "provider=dossar,output=pem,structure=SubjectPublicKeyInfo", kEcr3410Pem,
     "GOST R 34.10-2001 public key to PEM SubjectPublicKeyInfo"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
