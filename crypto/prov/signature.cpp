// Signatures of the two GOST key types. The message is hashed inside with
// GOST R 34.11-94 (the signature objects carry no digest of their own); the
// value is the DER SEQUENCE { r, s } that certificates and signed messages
// carry. A ready digest can be signed too (EVP_PKEY_sign).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/proverr.h>
#include <openssl/x509.h>
#include <strings.h>

#include <climits>
#include <cstring>
#include <new>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"
#include "crypto/rus/gost3411.h"

namespace qcrypto::prov {
namespace {

constexpr int kDer = 1;
constexpr size_t kSlice = size_t{1} << 30;

struct SigCtx {
  int type;  // key type the operation was made for
  GostKey* key;
  GOSTH_CTX hash;
  bool hashing;
};

void* sig_newctx(int type) {
  auto* c = new (std::nothrow) SigCtx{};
  if (c != nullptr) c->type = type;
  return c;
}
void* r3410_sig_newctx(void*, const char*) { return sig_newctx(SYSOBJ_R3410); }
void* ecr3410_sig_newctx(void*, const char*) { return sig_newctx(SYSOBJ_ECR3410); }

void drop_key(SigCtx* c) {
  if (c->key == nullptr) return;
  R3410_free(c->key->r3410);
  ECGOST_free(c->key->ecgost);
  delete c->key;
  c->key = nullptr;
}

// The context holds its own reference to the key record.
bool take_key(SigCtx* c, const GostKey* k) {
  if (k == nullptr || k->type != c->type) return false;
  auto* mine = new (std::nothrow) GostKey{k->type, k->r3410, k->ecgost};
  if (mine == nullptr) return false;
  if (mine->r3410 != nullptr) R3410_up_ref(mine->r3410);
  if (mine->ecgost != nullptr) ECGOST_up_ref(mine->ecgost);
  drop_key(c);
  c->key = mine;
  return true;
}

void sig_freectx(void* vctx) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (c == nullptr) return;
  drop_key(c);
  GOSTH_clear(&c->hash);
  delete c;
}

void* sig_dupctx(void* vsrc) {
  const auto* src = static_cast<const SigCtx*>(vsrc);
  auto* dst = new (std::nothrow) SigCtx{};
  if (dst == nullptr) return nullptr;
  dst->type = src->type;
  dst->hashing = src->hashing;
  if (GOSTH_CTX_copy(&dst->hash, &src->hash) != 1 || (src->key != nullptr && !take_key(dst, src->key))) {
    sig_freectx(dst);
    return nullptr;
  }
  return dst;
}

// Only GOST R 34.11-94 goes with these keys: no name, or a name of one of the
// provider's two digests (which are the same hash).
bool digest_allowed(const char* mdname) {
  if (mdname == nullptr || *mdname == '\0') return true;
  for (const char* list : {kNamesRusHash, kNamesEcr3410Hash}) {
    const size_t n = std::strlen(mdname);
    for (const char* p = list; *p != '\0';) {
      const char* colon = std::strchr(p, ':');
      const size_t len = colon != nullptr ? static_cast<size_t>(colon - p) : std::strlen(p);
      if (len == n && strncasecmp(p, mdname, n) == 0) return true;
      p += len + (colon != nullptr ? 1 : 0);
    }
  }
  return false;
}

int sig_init(void* vctx, void* vkey, const OSSL_PARAM*) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (vkey != nullptr && !take_key(c, static_cast<const GostKey*>(vkey))) return 0;
  c->hashing = false;
  return c->key != nullptr ? 1 : 0;
}

int digest_init(void* vctx, const char* mdname, void* vkey, const OSSL_PARAM* params) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!digest_allowed(mdname)) {
    ERR_raise(ERR_LIB_PROV, PROV_R_INVALID_DIGEST);
    return 0;
  }
  if (sig_init(vctx, vkey, params) != 1 || GOSTH_init(&c->hash, nullptr, nullptr) != 1) return 0;
  c->hashing = true;
  return 1;
}

int digest_update(void* vctx, const unsigned char* data, size_t len) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!c->hashing) return 0;
  while (len > 0) {
    const size_t n = len < kSlice ? len : kSlice;
    if (GOSTH_update(&c->hash, data, static_cast<int>(n)) != static_cast<int>(n)) return 0;
    data += n;
    len -= n;
  }
  return 1;
}

size_t max_sig(const SigCtx* c) {
  const int n = c->type == SYSOBJ_R3410 ? R3410_size(c->key->r3410) : ECGOST_size(c->key->ecgost);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// Signs a ready digest into sig (capacity sigsize); sig null asks for the size.
int sign_digest(SigCtx* c, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* dgst, size_t dlen) {
  if (c->key == nullptr) return 0;
  const size_t need = max_sig(c);
  if (need == 0) return 0;
  if (sig == nullptr) {
    *siglen = need;
    return 1;
  }
  // The signing functions write up to their maximum: never into a smaller buffer.
  if (sigsize < need || dlen > INT_MAX) return 0;
  unsigned int written = 0;
  const int d = static_cast<int>(dlen);
  const int ok = c->type == SYSOBJ_R3410 ? R3410_sign(kDer, c->key->r3410, dgst, d, sig, &written)
                                         : ECGOST_sign_digest(kDer, c->key->ecgost, dgst, d, sig, &written);
  // Anything but 1 is a failure, whatever the signer gives back.
  if (ok != 1 || written == 0) return 0;
  *siglen = written;
  return 1;
}

int verify_digest(SigCtx* c, const unsigned char* sig, size_t siglen, const unsigned char* dgst, size_t dlen) {
  if (c->key == nullptr || siglen > INT_MAX || dlen > INT_MAX) return 0;
  const int s = static_cast<int>(siglen), d = static_cast<int>(dlen);
  const int ok = c->type == SYSOBJ_R3410 ? R3410_verify(kDer, c->key->r3410, dgst, d, sig, s)
                                         : ECGOST_verify_digest(kDer, c->key->ecgost, dgst, d, sig, s);
  return ok == 1 ? 1 : 0;
}

int sig_sign(void* vctx, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* tbs, size_t tbslen) {
  return sign_digest(static_cast<SigCtx*>(vctx), sig, siglen, sigsize, tbs, tbslen);
}

int sig_verify(void* vctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs, size_t tbslen) {
  return verify_digest(static_cast<SigCtx*>(vctx), sig, siglen, tbs, tbslen);
}

int digest_sign_final(void* vctx, unsigned char* sig, size_t* siglen, size_t sigsize) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!c->hashing) return 0;
  if (sig == nullptr) return sign_digest(c, nullptr, siglen, 0, nullptr, 0);
  unsigned char dgst[GOSTH_DIGEST_BYTES];
  if (GOSTH_final(&c->hash, dgst) != GOSTH_DIGEST_BYTES) return 0;
  const int ok = sign_digest(c, sig, siglen, sigsize, dgst, sizeof dgst);
  OPENSSL_cleanse(dgst, sizeof dgst);
  return ok;
}

int digest_verify_final(void* vctx, const unsigned char* sig, size_t siglen) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!c->hashing) return 0;
  unsigned char dgst[GOSTH_DIGEST_BYTES];
  if (GOSTH_final(&c->hash, dgst) != GOSTH_DIGEST_BYTES) return 0;
  return verify_digest(c, sig, siglen, dgst, sizeof dgst);
}

// One-shot forms (EVP_DigestSign / EVP_DigestVerify, which X509_sign and
// X509_verify use): no copy of the context for the final step.
int digest_sign_oneshot(void* vctx, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* tbs,
                        size_t tbslen) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!c->hashing) return 0;
  if (sig == nullptr) return sign_digest(c, nullptr, siglen, 0, nullptr, 0);
  if (digest_update(c, tbs, tbslen) != 1) return 0;
  return digest_sign_final(c, sig, siglen, sigsize);
}

int digest_verify_oneshot(void* vctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs,
                          size_t tbslen) {
  auto* c = static_cast<SigCtx*>(vctx);
  if (!c->hashing || digest_update(c, tbs, tbslen) != 1) return 0;
  return digest_verify_final(c, sig, siglen);
}

// AlgorithmIdentifier { signature OID, NULL } of certificates and CRLs signed
// with this context.
int sig_get_ctx_params(void* vctx, OSSL_PARAM params[]) {
  const auto* c = static_cast<const SigCtx*>(vctx);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
  if (p == nullptr) return 1;
  const auto row = sysobj_find(c->type == SYSOBJ_R3410 ? SYSOBJ_R3410_R3411 : SYSOBJ_ECR3410_R3411);
  X509_ALGOR* alg = X509_ALGOR_new();
  ASN1_OBJECT* obj = OBJ_txt2obj(row->oid, 1);
  unsigned char* der = nullptr;
  int len = 0;
  if (alg != nullptr && obj != nullptr && X509_ALGOR_set0(alg, obj, V_ASN1_NULL, nullptr) == 1) {
    obj = nullptr;  // owned by alg now
    len = i2d_X509_ALGOR(alg, &der);
  }
  ASN1_OBJECT_free(obj);
  X509_ALGOR_free(alg);
  const int ok = len > 0 && OSSL_PARAM_set_octet_string(p, der, static_cast<size_t>(len));
  OPENSSL_free(der);
  return ok ? 1 : 0;
}

const OSSL_PARAM kCtxGettable[] = {
    OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, nullptr, 0),
    OSSL_PARAM_END,
};
const OSSL_PARAM* sig_gettable_ctx_params(void*, void*) { return kCtxGettable; }
int sig_set_ctx_params(void*, const OSSL_PARAM*) { return 1; }
const OSSL_PARAM kCtxSettable[] = {OSSL_PARAM_END};
const OSSL_PARAM* sig_settable_ctx_params(void*, void*) { return kCtxSettable; }

#define QCRYPTO_SIGNATURE_DISPATCH(name, newctx)                                                        \
  const OSSL_DISPATCH name[] = {                                                                        \
      {OSSL_FUNC_SIGNATURE_NEWCTX, reinterpret_cast<void (*)()>(newctx)},                               \
      {OSSL_FUNC_SIGNATURE_SIGN_INIT, reinterpret_cast<void (*)()>(sig_init)},                          \
      {OSSL_FUNC_SIGNATURE_SIGN, reinterpret_cast<void (*)()>(sig_sign)},                               \
      {OSSL_FUNC_SIGNATURE_VERIFY_INIT, reinterpret_cast<void (*)()>(sig_init)},                        \
      {OSSL_FUNC_SIGNATURE_VERIFY, reinterpret_cast<void (*)()>(sig_verify)},                           \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, reinterpret_cast<void (*)()>(digest_init)},                \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, reinterpret_cast<void (*)()>(digest_update)},            \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, reinterpret_cast<void (*)()>(digest_sign_final)},         \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT, reinterpret_cast<void (*)()>(digest_init)},              \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE, reinterpret_cast<void (*)()>(digest_update)},          \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL, reinterpret_cast<void (*)()>(digest_verify_final)},     \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN, reinterpret_cast<void (*)()>(digest_sign_oneshot)},             \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY, reinterpret_cast<void (*)()>(digest_verify_oneshot)},         \
      {OSSL_FUNC_SIGNATURE_FREECTX, reinterpret_cast<void (*)()>(sig_freectx)},                         \
      {OSSL_FUNC_SIGNATURE_DUPCTX, reinterpret_cast<void (*)()>(sig_dupctx)},                           \
      {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, reinterpret_cast<void (*)()>(sig_get_ctx_params)},           \
      {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, reinterpret_cast<void (*)()>(sig_gettable_ctx_params)}, \
      {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, reinterpret_cast<void (*)()>(sig_set_ctx_params)},           \
      {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, reinterpret_cast<void (*)()>(sig_settable_ctx_params)}, \
      {0, nullptr},                                                                                     \
  };
QCRYPTO_SIGNATURE_DISPATCH(kR3410SigFunctions, r3410_sig_newctx)
QCRYPTO_SIGNATURE_DISPATCH(kEcr3410SigFunctions, ecr3410_sig_newctx)
#undef QCRYPTO_SIGNATURE_DISPATCH

}  // namespace

const OSSL_ALGORITHM kSignatures[] = {
    {kNamesR3410, nullptr, kR3410SigFunctions, "GOST R 34.10-94 with GOST R 34.11-94"},
    {kNamesEcr3410, nullptr, kEcr3410SigFunctions, "GOST R 34.10-2001 with GOST R 34.11-94"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
