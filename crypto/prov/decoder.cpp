// SubjectPublicKeyInfo (DER) to GOST keys, for X509_get0_pubkey, d2i_PUBKEY
// and the command line. The SPKI is parsed by the key codecs' own code, never
// by d2i_X509_PUBKEY / d2i_PUBKEY, which would come back into this decoder.
#include <openssl/core_names.h>
#include <openssl/core_object.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include <new>
#include <vector>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto::prov {
namespace {

// A SubjectPublicKeyInfo of either key type is a few hundred bytes; larger
// input is not one of ours.
constexpr size_t kMaxInput = 16384;

struct DecCtx {
  int type;
};

void* dec_new(int type) {
  auto* c = new (std::nothrow) DecCtx{};
  if (c != nullptr) c->type = type;
  return c;
}
void* r3410_dec_newctx(void*) { return dec_new(SYSOBJ_R3410); }
void* ecr3410_dec_newctx(void*) { return dec_new(SYSOBJ_ECR3410); }
void dec_freectx(void* vctx) { delete static_cast<DecCtx*>(vctx); }

int dec_does_selection(void*, int selection) {
  if (selection == 0) return 1;
  return (selection & (OSSL_KEYMGMT_SELECT_PUBLIC_KEY | OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS)) != 0 ? 1 : 0;
}

// Reads the whole input, at most kMaxInput bytes; false when there is more.
bool read_all(OSSL_CORE_BIO* in, std::vector<unsigned char>& out) {
  out.resize(kMaxInput + 1);
  size_t total = 0;
  while (total < out.size()) {
    size_t n = 0;
    if (core_read(in, out.data() + total, out.size() - total, &n) != 1 || n == 0) break;
    total += n;
  }
  out.resize(total);
  return total <= kMaxInput;
}

// Returns 1 both when a key was handed on and when the input is not ours (so
// that other decoders get their turn); 0 only when the callback failed.
int dec_decode(void* vctx, OSSL_CORE_BIO* in, int selection, OSSL_CALLBACK* data_cb, void* data_cbarg,
               OSSL_PASSPHRASE_CALLBACK*, void*) {
  const auto* c = static_cast<const DecCtx*>(vctx);
  if (selection != 0 && dec_does_selection(nullptr, selection) != 1) return 1;
  std::vector<unsigned char> der;
  if (!read_all(in, der) || der.empty()) return 1;
  const long length = static_cast<long>(der.size());
  if (gost_spki_key_type(der.data(), length) != c->type) return 1;

  auto* key = new (std::nothrow) GostKey{c->type, nullptr, nullptr};
  if (key == nullptr) return 0;
  const unsigned char* p = der.data();
  if (c->type == SYSOBJ_R3410) {
    key->r3410 = d2i_R3410_PUBKEY(nullptr, &p, length);
  } else {
    key->ecgost = d2i_ECGOST_PUBKEY(nullptr, &p, length);
  }
  // Bytes after the SubjectPublicKeyInfo make the input something else.
  const bool decoded = (key->r3410 != nullptr || key->ecgost != nullptr) && p == der.data() + der.size();
  int ok = 1;
  if (decoded) {
    int object_type = OSSL_OBJECT_PKEY;
    char type_name[16];
    OPENSSL_strlcpy(type_name, c->type == SYSOBJ_R3410 ? "R3410" : "ECR3410", sizeof type_name);
    OSSL_PARAM params[] = {
        OSSL_PARAM_int(OSSL_OBJECT_PARAM_TYPE, &object_type),
        OSSL_PARAM_construct_utf8_string(OSSL_OBJECT_PARAM_DATA_TYPE, type_name, 0),  // length from the text
        // The reference is the key pointer itself, handed to the key manager's load.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        OSSL_PARAM_octet_string(OSSL_OBJECT_PARAM_REFERENCE, &key, sizeof key),
        OSSL_PARAM_END,
    };
    ok = data_cb(params, data_cbarg);
  }
  // Still here when the key management did not take it.
  if (key != nullptr) {
    R3410_free(key->r3410);
    ECGOST_free(key->ecgost);
    delete key;
  }
  return ok;
}

#define QCRYPTO_DECODER_DISPATCH(name, newctx)                                              \
  const OSSL_DISPATCH name[] = {                                                            \
      {OSSL_FUNC_DECODER_NEWCTX, reinterpret_cast<void (*)()>(newctx)},                     \
      {OSSL_FUNC_DECODER_FREECTX, reinterpret_cast<void (*)()>(dec_freectx)},               \
      {OSSL_FUNC_DECODER_DOES_SELECTION, reinterpret_cast<void (*)()>(dec_does_selection)}, \
      {OSSL_FUNC_DECODER_DECODE, reinterpret_cast<void (*)()>(dec_decode)},                 \
      {0, nullptr},                                                                         \
  };
QCRYPTO_DECODER_DISPATCH(kR3410Decoder, r3410_dec_newctx)
QCRYPTO_DECODER_DISPATCH(kEcr3410Decoder, ecr3410_dec_newctx)
#undef QCRYPTO_DECODER_DISPATCH

}  // namespace

const OSSL_ALGORITHM kDecoders[] = {
    {kNamesR3410, "input=der,structure=SubjectPublicKeyInfo", kR3410Decoder,
     "GOST R 34.10-94 public key from SubjectPublicKeyInfo"},
    {kNamesEcr3410, "input=der,structure=SubjectPublicKeyInfo", kEcr3410Decoder,
     "GOST R 34.10-2001 public key from SubjectPublicKeyInfo"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
