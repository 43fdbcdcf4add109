// The three key wraps. The two checked wraps share one construction and differ
// only in their primitives (SHA-1 + DES-EDE3-CBC, or GOST R 34.11-94 + GOST
// 28147-89 gamma with feedback), so the construction is written once over a
// small table of primitives.
#include "crypto/wrap/keywrap.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"

namespace qcrypto {
namespace {

constexpr int kBlock = 8;
constexpr int kIcvBytes = 8;
// The fixed IV of the second pass of both checked wraps.
constexpr std::array<unsigned char, kBlock> kWrapIv = {0x4a, 0xdd, 0xa2, 0x2c, 0x79, 0xe8, 0x21, 0x05};
// A plainly wrapped key longer than this is no key: refuse it before
// allocating anything for it.
constexpr int kDummyMaxInput = 1024;

void raise(int func, int reason) {
  QERR(ERRLIB_PKCS7, func, reason);
  if (reason != ERR_R_MEMORY_ALLOC) QERR(ERRLIB_PKCS7, func, ERR_R_MEMORY_ALLOC);
}

// Whole-block encryption or decryption of `len` bytes with padding off.
int evp_crypt(const EVP_CIPHER* cipher, const unsigned char* key, const unsigned char* iv, const unsigned char* in,
              unsigned char* out, int len, int enc) {
  UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, enc) != 1) return 0;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int n = 0;
  int fin = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n, in, len) != 1) return 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + n, &fin) != 1) return 0;
  return n + fin;
}

int des3_cbc(const unsigned char* kek, const unsigned char* iv, const unsigned char* in, unsigned char* out, int len,
             int enc) {
  UniquePtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", "provider=default"));
  if (!cipher) return 0;
  return evp_crypt(cipher.get(), kek, iv, in, out, len, enc) == len ? 1 : 0;
}

int gost_cfb(const unsigned char* kek, const unsigned char* iv, const unsigned char* in, unsigned char* out, int len,
             int enc) {
  GOSTE_CTX ctx{};
  int ok = GOSTE_gamma_fb_init(&ctx, kek, iv, nullptr);
  if (ok) {
    ok = enc ? GOSTE_gamma_fbe_update(&ctx, in, out, len) : GOSTE_gamma_fbd_update(&ctx, in, out, len);
  }
  GOSTE_clear(&ctx);
  return ok ? 1 : 0;
}

// First 8 bytes of SHA-1(key).
int sha1_icv(const unsigned char* key, int len, unsigned char* icv) {
  SecretBuffer<EVP_MAX_MD_SIZE> md;
  UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", "provider=default"));
  unsigned int mdlen = 0;
  if (!sha1 || EVP_Digest(key, static_cast<size_t>(len), md.data(), &mdlen, sha1.get(), nullptr) != 1) return 0;
  std::memcpy(icv, md.data(), kIcvBytes);
  return 1;
}

// First 8 bytes of the GOST R 34.11-94 hash (default hash S-boxes, zero start
// vector, most significant byte first).
int gost_icv(const unsigned char* key, int len, unsigned char* icv) {
  UniquePtr<GOSTH_CTX> ctx(GOSTH_new());
  SecretBuffer<GOSTH_DIGEST_BYTES> md;
  if (!ctx || !GOSTH_init(ctx.get(), nullptr, nullptr) || GOSTH_update(ctx.get(), key, len) != len ||
      GOSTH_final(ctx.get(), md.data()) != GOSTH_DIGEST_BYTES) {
    if (ctx) GOSTH_clear(ctx.get());
    return 0;
  }
  GOSTH_clear(ctx.get());
  std::memcpy(icv, md.data(), kIcvBytes);
  return 1;
}

struct Scheme {
  int key_bytes;
  int wrap_func;
  int unwrap_func;
  bool des_parity;
  int (*icv)(const unsigned char* key, int len, unsigned char* icv);
  int (*crypt)(const unsigned char* kek, const unsigned char* iv, const unsigned char* in, unsigned char* out, int len,
               int enc);
};

constexpr Scheme kDes3 = {CMS_3DES_KEY_BYTES, PKCS7_F_CMS_3DES_WRAP, PKCS7_F_CMS_3DES_UNWRAP, true, sha1_icv, des3_cbc};
constexpr Scheme kGost = {
    CMS_GOST_KEY_BYTES, PKCS7_F_CMS_GOST_WRAP, PKCS7_F_CMS_GOST_UNWRAP, false, gost_icv, gost_cfb};

// Large enough for either scheme: IV || key || ICV.
constexpr int kWorkBytes = CMS_GOST_WRAPPED_BYTES;

int checked_wrap(const Scheme& s, const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out,
                 int* outlen) {
  const int wrapped = s.key_bytes + kIcvBytes + kBlock;
  if (outlen == nullptr || kek == nullptr || in == nullptr) {
    raise(s.wrap_func, ERR_R_PASSED_NULL);
    return 0;
  }
  if (inlen != s.key_bytes) {
    raise(s.wrap_func, PKCS7_R_WRONG_KEY_LENGTH);
    return 0;
  }
  if (out == nullptr || *outlen < wrapped) {
    *outlen = wrapped;
    raise(s.wrap_func, PKCS7_R_OUTPUT_TOO_SMALL);
    return 0;
  }
  if (s.des_parity) {
    for (int i = 0; i < inlen; i += kBlock) CMS_des_set_odd_parity(in + i);
  }
  // temp: IV || TEMP1, where TEMP1 = E(KEK, IV, key || ICV).
  SecretBuffer<kWorkBytes> plain;
  SecretBuffer<kWorkBytes> temp;
  std::memcpy(plain.data(), in, static_cast<size_t>(inlen));
  if (!s.icv(in, inlen, plain.data() + inlen)) {
    raise(s.wrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  if (RAND_bytes(temp.data(), kBlock) != kBlock) {
    raise(s.wrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  if (!s.crypt(kek, temp.data(), plain.data(), temp.data() + kBlock, inlen + kIcvBytes, 1)) {
    raise(s.wrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  std::reverse(temp.data(), temp.data() + wrapped);
  if (!s.crypt(kek, kWrapIv.data(), temp.data(), out, wrapped, 1)) {
    OPENSSL_cleanse(out, static_cast<size_t>(wrapped));
    raise(s.wrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  *outlen = wrapped;
  return 1;
}

int checked_unwrap(const Scheme& s, const unsigned char* kek, const unsigned char* in, int inlen, unsigned char* out,
                   int* outlen) {
  const int wrapped = s.key_bytes + kIcvBytes + kBlock;
  if (outlen == nullptr || kek == nullptr || in == nullptr) {
    raise(s.unwrap_func, ERR_R_PASSED_NULL);
    return 0;
  }
  if (inlen != wrapped) {
    raise(s.unwrap_func, PKCS7_R_WRONG_KEY_LENGTH);
    return 0;
  }
  SecretBuffer<kWorkBytes> temp;
  SecretBuffer<kWorkBytes> plain;
  SecretBuffer<kIcvBytes> icv;
  if (!s.crypt(kek, kWrapIv.data(), in, temp.data(), wrapped, 0)) {
    raise(s.unwrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  std::reverse(temp.data(), temp.data() + wrapped);
  const int body = wrapped - kBlock;
  if (!s.crypt(kek, temp.data(), temp.data() + kBlock, plain.data(), body, 0) ||
      !s.icv(plain.data(), s.key_bytes, icv.data())) {
    raise(s.unwrap_func, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  if (CRYPTO_memcmp(icv.data(), plain.data() + s.key_bytes, kIcvBytes) != 0) {
    raise(s.unwrap_func, PKCS7_R_ICV_FAILURE);
    return 0;
  }
  if (s.des_parity) {
    for (int i = 0; i < s.key_bytes; i += kBlock) {
      if (!CMS_des_check_parity(plain.data() + i)) {
        raise(s.unwrap_func, PKCS7_R_BAD_KEY_PARITY);
        return 0;
      }
    }
  }
  if (out == nullptr || *outlen < s.key_bytes) {
    *outlen = s.key_bytes;
    raise(s.unwrap_func, PKCS7_R_OUTPUT_TOO_SMALL);
    return 0;
  }
  std::memcpy(out, plain.data(), static_cast<size_t>(s.key_bytes));
  *outlen = s.key_bytes;
  return 1;
}

// Odd-parity form of every byte value: the low bit is the parity bit.
constexpr std::array<unsigned char, 256> make_odd_parity_table() {
  std::array<unsigned char, 256> t{};
  for (int v = 0; v < 256; ++v) {
    int ones = 0;
    for (int b = 1; b < 8; ++b) ones += (v >> b) & 1;
    t[static_cast<size_t>(v)] = static_cast<unsigned char>((v & 0xfe) | ((ones & 1) == 0 ? 1 : 0));
  }
  return t;
}
constexpr std::array<unsigned char, 256> kOddParity = make_odd_parity_table();

}  // namespace

void CMS_des_set_odd_parity(unsigned char* key8) {
  for (int i = 0; i < kBlock; ++i) key8[i] = kOddParity[key8[i]];
}

int CMS_des_check_parity(const unsigned char* key8) {
  for (int i = 0; i < kBlock; ++i) {
    if (kOddParity[key8[i]] != key8[i]) return 0;
  }
  return 1;
}

int CMS_3des_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                  const EVP_CIPHER* /*cipher*/) {
  return checked_wrap(kDes3, kek, in, inlen, out, outlen);
}

int CMS_3des_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                    const EVP_CIPHER* /*cipher*/) {
  return checked_unwrap(kDes3, kek, in, inlen, out, outlen);
}

int CMS_gost_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                  const EVP_CIPHER* /*cipher*/) {
  return checked_wrap(kGost, kek, in, inlen, out, outlen);
}

int CMS_gost_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                    const EVP_CIPHER* /*cipher*/) {
  return checked_unwrap(kGost, kek, in, inlen, out, outlen);
}

int CMS_dummy_wrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                   const EVP_CIPHER* cipher) {
  if (out == nullptr || outlen == nullptr) {
    QERR(ERRLIB_PKCS7, PKCS7_F_CMS_DUMMY_WRAP, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  if (kek == nullptr || in == nullptr || cipher == nullptr) {
    raise(PKCS7_F_CMS_DUMMY_WRAP, ERR_R_PASSED_NULL);
    return 0;
  }
  if (inlen < 0 || inlen > kDummyMaxInput) {
    raise(PKCS7_F_CMS_DUMMY_WRAP, PKCS7_R_WRONG_KEY_LENGTH);
    return 0;
  }
  const int bs = EVP_CIPHER_get_block_size(cipher);
  const int need = bs > 1 ? (inlen + bs - 1) / bs * bs : inlen;
  if (*outlen < need) {
    *outlen = need;
    raise(PKCS7_F_CMS_DUMMY_WRAP, PKCS7_R_OUTPUT_TOO_SMALL);
    return 0;
  }
  // The last partial block (never passed by callers) is zero-filled rather
  // than left to the cipher's padding, so the output is exactly `need` bytes.
  unsigned char* work = static_cast<unsigned char*>(OPENSSL_zalloc(static_cast<size_t>(need) + 1));
  if (work == nullptr) {
    raise(PKCS7_F_CMS_DUMMY_WRAP, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  std::memcpy(work, in, static_cast<size_t>(inlen));
  const std::array<unsigned char, EVP_MAX_IV_LENGTH> zero_iv{};
  const int n = evp_crypt(cipher, kek, zero_iv.data(), work, out, need, 1);
  OPENSSL_clear_free(work, static_cast<size_t>(need) + 1);
  if (n != need) {
    OPENSSL_cleanse(out, static_cast<size_t>(need));
    raise(PKCS7_F_CMS_DUMMY_WRAP, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  *outlen = need;
  return 1;
}

int CMS_dummy_unwrap(const unsigned char* kek, unsigned char* in, int inlen, unsigned char* out, int* outlen,
                     const EVP_CIPHER* cipher) {
  if (kek == nullptr || in == nullptr || cipher == nullptr || outlen == nullptr) {
    raise(PKCS7_F_CMS_DUMMY_UNWRAP, ERR_R_PASSED_NULL);
    return 0;
  }
  if (inlen < 1 || inlen > kDummyMaxInput) {
    raise(PKCS7_F_CMS_DUMMY_UNWRAP, PKCS7_R_WRONG_KEY_LENGTH);
    return 0;
  }
  // One spare block: EVP may write up to a block more than it was given.
  const size_t cap = static_cast<size_t>(inlen) + EVP_MAX_BLOCK_LENGTH;
  unsigned char* work = static_cast<unsigned char*>(OPENSSL_zalloc(cap));
  if (work == nullptr) {
    raise(PKCS7_F_CMS_DUMMY_UNWRAP, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  const std::array<unsigned char, EVP_MAX_IV_LENGTH> zero_iv{};
  const int n = evp_crypt(cipher, kek, zero_iv.data(), in, work, inlen, 0);
  int ok = 0;
  if (n != inlen) {
    raise(PKCS7_F_CMS_DUMMY_UNWRAP, ERR_R_MEMORY_ALLOC);
  } else if (out == nullptr || *outlen < n) {
    *outlen = n;
    raise(PKCS7_F_CMS_DUMMY_UNWRAP, PKCS7_R_OUTPUT_TOO_SMALL);
  } else {
    std::memcpy(out, work, static_cast<size_t>(n));
    *outlen = n;
    ok = 1;
  }
  OPENSSL_clear_free(work, cap);
  return ok;
}

}  // namespace qcrypto
