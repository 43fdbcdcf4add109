// The three GOST 28147-89 ciphers as provider ciphers, all with the cipher
// default S-box set: RUS-CHANGE (simple substitution, 8-byte blocks with the
// usual PKCS padding unless switched off), RUS-GAMMA (gamma) and RUS-GAMMAR
// (gamma with feedback), both stream-like with an 8-byte IV.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/proverr.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

#include "crypto/prov/prov.h"

namespace qcrypto::prov {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kIvBytes = 8;
constexpr size_t kBlock = 8;
// The GOST functions take int lengths: big requests go in slices of whole blocks.
constexpr size_t kSlice = size_t{1} << 30;

enum class Kind { kChange, kGamma, kGammar };

struct CipherCtx {
  GOSTE_CTX g;
  Kind kind;
  bool enc;
  bool keyed;
  bool pad;
  unsigned char iv[kIvBytes];  // the saved IV: given before or with the key
  unsigned char buf[kBlock];   // simple substitution: bytes waiting for a whole block
  size_t buflen;
};

void wipe(CipherCtx* c) {
  GOSTE_clear(&c->g);
  OPENSSL_cleanse(c->buf, sizeof c->buf);
  c->buflen = 0;
}

CipherCtx* make(Kind kind) {
  auto* c = new (std::nothrow) CipherCtx{};
  if (c != nullptr) {
    c->kind = kind;
    c->pad = true;
  }
  return c;
}

void* change_newctx(void*) { return make(Kind::kChange); }
void* gamma_newctx(void*) { return make(Kind::kGamma); }
void* gammar_newctx(void*) { return make(Kind::kGammar); }

void cipher_freectx(void* vctx) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (c == nullptr) return;
  wipe(c);
  OPENSSL_cleanse(c, sizeof *c);
  delete c;
}

void* cipher_dupctx(void* vsrc) {
  const auto* src = static_cast<const CipherCtx*>(vsrc);
  auto* dst = new (std::nothrow) CipherCtx{};
  if (dst == nullptr) return nullptr;
  dst->kind = src->kind;
  dst->enc = src->enc;
  dst->keyed = src->keyed;
  dst->pad = src->pad;
  std::memcpy(dst->iv, src->iv, sizeof dst->iv);
  std::memcpy(dst->buf, src->buf, sizeof dst->buf);
  dst->buflen = src->buflen;
  if (GOSTE_CTX_copy(&dst->g, &src->g) != 1) {
    cipher_freectx(dst);
    return nullptr;
  }
  return dst;
}

// Loads the key (32 bytes) for the context's mode, starting the stream modes
// from the saved IV.
bool load_key(CipherCtx* c, const unsigned char* key) {
  int ok = 0;
  switch (c->kind) {
    case Kind::kChange:
      ok = GOSTE_ss_init(&c->g, c->enc ? 1 : 0, key, nullptr);
      break;
    case Kind::kGamma:
      ok = GOSTE_gamma_init(&c->g, key, c->iv, nullptr);
      break;
    case Kind::kGammar:
      ok = GOSTE_gamma_fb_init(&c->g, key, c->iv, nullptr);
      break;
  }
  c->keyed = ok == 1;
  c->buflen = 0;
  return c->keyed;
}

int set_ctx_params(void* vctx, const OSSL_PARAM params[]);

int cipher_init(CipherCtx* c, bool enc, const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen,
                const OSSL_PARAM params[]) {
  c->enc = enc;
  if (iv != nullptr && c->kind != Kind::kChange) {
    if (ivlen != kIvBytes) return 0;
    std::memcpy(c->iv, iv, kIvBytes);
  }
  if (key != nullptr) {
    if (keylen != kKeyBytes || !load_key(c, key)) return 0;
  } else if (c->keyed) {
    // A new IV or direction on a keyed context restarts it with the kept key;
    // carrying on with the old stream would ignore what the caller asked for.
    unsigned char kept[kKeyBytes];
    for (int i = 0; i < 8; ++i) {
      for (int b = 0; b < 4; ++b) kept[4 * i + b] = static_cast<unsigned char>(c->g.key[i] >> (8 * b));
    }
    const bool ok = load_key(c, kept);
    OPENSSL_cleanse(kept, sizeof kept);
    if (!ok) return 0;
  }
  return set_ctx_params(c, params);
}

int cipher_einit(void* vctx, const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen,
                 const OSSL_PARAM params[]) {
  return cipher_init(static_cast<CipherCtx*>(vctx), true, key, keylen, iv, ivlen, params);
}

int cipher_dinit(void* vctx, const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen,
                 const OSSL_PARAM params[]) {
  return cipher_init(static_cast<CipherCtx*>(vctx), false, key, keylen, iv, ivlen, params);
}

bool partially_overlapping(const unsigned char* out, const unsigned char* in, size_t len) {
  const auto o = reinterpret_cast<uintptr_t>(out), i = reinterpret_cast<uintptr_t>(in);
  return len > 0 && o != i && ((o < i && i - o < len) || (i < o && o - i < len));
}

// Whole blocks in place (ECB) or any length (stream modes), in slices.
bool run(CipherCtx* c, const unsigned char* in, unsigned char* out, size_t len) {
  while (len > 0) {
    const size_t n = len < kSlice ? len : kSlice;
    const int in_n = static_cast<int>(n);
    int done = 0;
    switch (c->kind) {
      case Kind::kChange:
        done = GOSTE_ss_cipher(&c->g, in, out, in_n);
        break;
      case Kind::kGamma:
        done = GOSTE_gamma_update(&c->g, in, out, in_n);
        break;
      case Kind::kGammar:
        done = c->enc ? GOSTE_gamma_fbe_update(&c->g, in, out, in_n) : GOSTE_gamma_fbd_update(&c->g, in, out, in_n);
        break;
    }
    if (done != in_n) return false;
    in += n;
    out += n;
    len -= n;
  }
  return true;
}

// Simple substitution over a stream of updates: whole blocks go out, the rest
// waits; when decrypting with padding the last whole block also waits, since
// the final call strips the padding from it.
int change_update(CipherCtx* c, unsigned char* out, size_t* outl, size_t outsize, const unsigned char* in, size_t inl) {
  const size_t total = c->buflen + inl;
  if (total < c->buflen) return 0;
  size_t keep = total % kBlock;
  if (!c->enc && c->pad && keep == 0 && total > 0) keep = kBlock;
  const size_t outlen = total - keep;
  if (outlen > outsize) return 0;
  if (outlen == 0) {
    std::memcpy(c->buf + c->buflen, in, inl);
    c->buflen = total;
    *outl = 0;
    return 1;
  }
  // The bytes that stay are taken before out (which may be in) is written.
  unsigned char tail[kBlock];
  std::memcpy(tail, in + inl - keep, keep);
  bool ok;
  if (c->buflen == 0) {
    ok = run(c, in, out, outlen);
  } else {
    std::memmove(out + c->buflen, in, outlen - c->buflen);
    std::memcpy(out, c->buf, c->buflen);
    ok = run(c, out, out, outlen);
  }
  std::memcpy(c->buf, tail, keep);
  OPENSSL_cleanse(tail, sizeof tail);
  c->buflen = keep;
  if (!ok) return 0;
  *outl = outlen;
  return 1;
}

int cipher_update(void* vctx, unsigned char* out, size_t* outl, size_t outsize, const unsigned char* in, size_t inl) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!c->keyed) return 0;
  if (inl == 0) {
    *outl = 0;
    return 1;
  }
  if (out == nullptr || in == nullptr || partially_overlapping(out, in, inl)) return 0;
  if (c->kind == Kind::kChange) return change_update(c, out, outl, outsize, in, inl);
  if (inl > outsize || !run(c, in, out, inl)) return 0;
  *outl = inl;
  return 1;
}

int cipher_final(void* vctx, unsigned char* out, size_t* outl, size_t outsize) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!c->keyed) return 0;
  *outl = 0;
  if (c->kind != Kind::kChange) return 1;
  if (!c->pad) {
    if (c->buflen != 0) {
      ERR_raise(ERR_LIB_PROV, PROV_R_WRONG_FINAL_BLOCK_LENGTH);
      return 0;
    }
    return 1;
  }
  if (outsize < kBlock) return 0;
  if (c->enc) {
    const auto n = static_cast<unsigned char>(kBlock - c->buflen);
    std::memset(c->buf + c->buflen, n, n);
    if (!run(c, c->buf, out, kBlock)) return 0;
    c->buflen = 0;
    *outl = kBlock;
    return 1;
  }
  if (c->buflen != kBlock) {
    ERR_raise(ERR_LIB_PROV, PROV_R_WRONG_FINAL_BLOCK_LENGTH);
    return 0;
  }
  unsigned char block[kBlock];
  bool ok = run(c, c->buf, block, kBlock);
  const unsigned n = block[kBlock - 1];
  ok = ok && n >= 1 && n <= kBlock;
  for (unsigned i = 0; ok && i < n; ++i) ok = block[kBlock - 1 - i] == n;
  c->buflen = 0;
  if (ok) {
    std::memcpy(out, block, kBlock - n);
    *outl = kBlock - n;
  } else {
    ERR_raise(ERR_LIB_PROV, PROV_R_BAD_DECRYPT);
  }
  OPENSSL_cleanse(block, sizeof block);
  return ok ? 1 : 0;
}

// EVP_Cipher: no buffering and no padding; the simple substitution takes whole
// blocks only.
int cipher_cipher(void* vctx, unsigned char* out, size_t* outl, size_t outsize, const unsigned char* in, size_t inl) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!c->keyed || inl > outsize || (c->kind == Kind::kChange && inl % kBlock != 0)) return 0;
  if (inl > 0 && (out == nullptr || in == nullptr || partially_overlapping(out, in, inl))) return 0;
  if (!run(c, in, out, inl)) return 0;
  *outl = inl;
  return 1;
}

struct Shape {
  unsigned mode;
  size_t block;
  size_t ivlen;
};

int get_params_of(OSSL_PARAM params[], const Shape& s) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_MODE);
  if (p != nullptr && !OSSL_PARAM_set_uint(p, s.mode)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, kKeyBytes)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, s.ivlen)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, s.block)) return 0;
  for (const char* zero : {OSSL_CIPHER_PARAM_AEAD, OSSL_CIPHER_PARAM_CUSTOM_IV, OSSL_CIPHER_PARAM_CTS,
                           OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, OSSL_CIPHER_PARAM_HAS_RAND_KEY}) {
    p = OSSL_PARAM_locate(params, zero);
    if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) return 0;
  }
  return 1;
}

int change_get_params(OSSL_PARAM params[]) { return get_params_of(params, {EVP_CIPH_ECB_MODE, kBlock, 0}); }
int gamma_get_params(OSSL_PARAM params[]) { return get_params_of(params, {EVP_CIPH_CTR_MODE, 1, kIvBytes}); }
int gammar_get_params(OSSL_PARAM params[]) { return get_params_of(params, {EVP_CIPH_CFB_MODE, 1, kIvBytes}); }

const OSSL_PARAM kGettable[] = {
    OSSL_PARAM_uint(OSSL_CIPHER_PARAM_MODE, nullptr),        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
    OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),     OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_BLOCK_SIZE, nullptr),
    OSSL_PARAM_int(OSSL_CIPHER_PARAM_AEAD, nullptr),         OSSL_PARAM_int(OSSL_CIPHER_PARAM_CUSTOM_IV, nullptr),
    OSSL_PARAM_int(OSSL_CIPHER_PARAM_CTS, nullptr),          OSSL_PARAM_int(OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, nullptr),
    OSSL_PARAM_int(OSSL_CIPHER_PARAM_HAS_RAND_KEY, nullptr), OSSL_PARAM_END,
};
const OSSL_PARAM* gettable_params(void*) { return kGettable; }

int get_ctx_params(void* vctx, OSSL_PARAM params[]) {
  const auto* c = static_cast<const CipherCtx*>(vctx);
  const size_t ivlen = c->kind == Kind::kChange ? 0 : kIvBytes;
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, ivlen)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, kKeyBytes)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_PADDING);
  if (p != nullptr && !OSSL_PARAM_set_uint(p, c->pad ? 1 : 0)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IV);
  if (p != nullptr && ivlen > 0 && !OSSL_PARAM_set_octet_string(p, c->iv, ivlen)) return 0;
  return 1;
}

int set_ctx_params(void* vctx, const OSSL_PARAM params[]) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (params == nullptr) return 1;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_PADDING);
  if (p != nullptr) {
    unsigned pad = 0;
    if (!OSSL_PARAM_get_uint(p, &pad)) return 0;
    c->pad = pad != 0;
  }
  p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr) {
    size_t keylen = 0;
    if (!OSSL_PARAM_get_size_t(p, &keylen) || keylen != kKeyBytes) return 0;
  }
  return 1;
}

const OSSL_PARAM kCtxGettable[] = {
    OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
    OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
    OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
    OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_IV, nullptr, 0),
    OSSL_PARAM_END,
};
const OSSL_PARAM kCtxSettable[] = {
    OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
    OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
    OSSL_PARAM_END,
};
const OSSL_PARAM* gettable_ctx_params(void*, void*) { return kCtxGettable; }
const OSSL_PARAM* settable_ctx_params(void*, void*) { return kCtxSettable; }

#define QCRYPTO_CIPHER_DISPATCH(name, newctx, get_params)                                        \
  const OSSL_DISPATCH name[] = {                                                                 \
      {OSSL_FUNC_CIPHER_NEWCTX, reinterpret_cast<void (*)()>(newctx)},                           \
      {OSSL_FUNC_CIPHER_ENCRYPT_INIT, reinterpret_cast<void (*)()>(cipher_einit)},               \
      {OSSL_FUNC_CIPHER_DECRYPT_INIT, reinterpret_cast<void (*)()>(cipher_dinit)},               \
      {OSSL_FUNC_CIPHER_UPDATE, reinterpret_cast<void (*)()>(cipher_update)},                    \
      {OSSL_FUNC_CIPHER_FINAL, reinterpret_cast<void (*)()>(cipher_final)},                      \
      {OSSL_FUNC_CIPHER_CIPHER, reinterpret_cast<void (*)()>(cipher_cipher)},                    \
      {OSSL_FUNC_CIPHER_FREECTX, reinterpret_cast<void (*)()>(cipher_freectx)},                  \
      {OSSL_FUNC_CIPHER_DUPCTX, reinterpret_cast<void (*)()>(cipher_dupctx)},                    \
      {OSSL_FUNC_CIPHER_GET_PARAMS, reinterpret_cast<void (*)()>(get_params)},                   \
      {OSSL_FUNC_CIPHER_GETTABLE_PARAMS, reinterpret_cast<void (*)()>(gettable_params)},         \
      {OSSL_FUNC_CIPHER_GET_CTX_PARAMS, reinterpret_cast<void (*)()>(get_ctx_params)},           \
      {OSSL_FUNC_CIPHER_SET_CTX_PARAMS, reinterpret_cast<void (*)()>(set_ctx_params)},           \
      {OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, reinterpret_cast<void (*)()>(gettable_ctx_params)}, \
      {OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, reinterpret_cast<void (*)()>(settable_ctx_params)}, \
      {0, nullptr},                                                                              \
  };

QCRYPTO_CIPHER_DISPATCH(kChangeFunctions, change_newctx, change_get_params)
QCRYPTO_CIPHER_DISPATCH(kGammaFunctions, gamma_newctx, gamma_get_params)
QCRYPTO_CIPHER_DISPATCH(kGammarFunctions, gammar_newctx, gammar_get_params)
#undef QCRYPTO_CIPHER_DISPATCH

}  // namespace

const OSSL_ALGORITHM kCiphers[] = {
    {kNamesRusChange, nullptr, kChangeFunctions, "GOST 28147-89 simple substitution"},
    {kNamesRusGamma, nullptr, kGammaFunctions, "GOST 28147-89 gamma"},
    {kNamesRusGammar, nullptr, kGammarFunctions, "GOST 28147-89 gamma with feedback"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
