// A process in which, before the library starts, a foreign provider already
// offers algorithms under our names and an object of our table already
// exists: the library must reuse the object and never hand out the foreign
// methods. One test, since it depends on what happens first in the process.
#include <gtest/gtest.h>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <cstring>
#include <vector>

#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"

namespace {

// The foreign digest answers 32 bytes of 0xEE whatever it is fed; its cipher
// copies the input.
int f_dummy = 0;
void* f_newctx(void*) { return &f_dummy; }
void f_freectx(void*) {}
void* f_dupctx(void* c) { return c; }
int f_md_init(void*, const OSSL_PARAM*) { return 1; }
int f_md_update(void*, const unsigned char*, size_t) { return 1; }
int f_md_final(void*, unsigned char* out, size_t* outl, size_t outsz) {
  if (outsz < 32) return 0;
  std::memset(out, 0xEE, 32);
  *outl = 32;
  return 1;
}
int f_md_get_params(OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 32)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 32)) return 0;
  return 1;
}
int f_c_init(void*, const unsigned char*, size_t, const unsigned char*, size_t, const OSSL_PARAM*) { return 1; }
int f_c_update(void*, unsigned char* out, size_t* outl, size_t, const unsigned char* in, size_t inl) {
  std::memmove(out, in, inl);
  *outl = inl;
  return 1;
}
int f_c_final(void*, unsigned char*, size_t* outl, size_t) {
  *outl = 0;
  return 1;
}
int f_c_get_params(OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 32)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 8)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 1)) return 0;
  return 1;
}

#define FN(id, f) \
  { id, reinterpret_cast<void (*)()>(f) }
const OSSL_DISPATCH kForeignMd[] = {FN(OSSL_FUNC_DIGEST_NEWCTX, f_newctx),
                                    FN(OSSL_FUNC_DIGEST_FREECTX, f_freectx),
                                    FN(OSSL_FUNC_DIGEST_DUPCTX, f_dupctx),
                                    FN(OSSL_FUNC_DIGEST_INIT, f_md_init),
                                    FN(OSSL_FUNC_DIGEST_UPDATE, f_md_update),
                                    FN(OSSL_FUNC_DIGEST_FINAL, f_md_final),
                                    FN(OSSL_FUNC_DIGEST_GET_PARAMS, f_md_get_params),
                                    {0, nullptr}};
const OSSL_DISPATCH kForeignCipher[] = {FN(OSSL_FUNC_CIPHER_NEWCTX, f_newctx),
                                        FN(OSSL_FUNC_CIPHER_FREECTX, f_freectx),
                                        FN(OSSL_FUNC_CIPHER_DUPCTX, f_dupctx),
                                        FN(OSSL_FUNC_CIPHER_ENCRYPT_INIT, f_c_init),
                                        FN(OSSL_FUNC_CIPHER_DECRYPT_INIT, f_c_init),
                                        FN(OSSL_FUNC_CIPHER_UPDATE, f_c_update),
                                        FN(OSSL_FUNC_CIPHER_FINAL, f_c_final),
                                        FN(OSSL_FUNC_CIPHER_GET_PARAMS, f_c_get_params),
                                        {0, nullptr}};
const OSSL_ALGORITHM kForeignDigests[] = {{"RUS-HASH:r3411", "provider=foreign", kForeignMd, nullptr},
                                          {"ECR3410-R3411", "provider=foreign", kForeignMd, nullptr},
                                          {nullptr, nullptr, nullptr, nullptr}};
const OSSL_ALGORITHM kForeignCiphers[] = {{"RUS-GAMMA:rus-gfb", "provider=foreign", kForeignCipher, nullptr},
                                          {nullptr, nullptr, nullptr, nullptr}};
const OSSL_ALGORITHM* f_query(void*, int op, int* no_cache) {
  *no_cache = 0;
  return op == OSSL_OP_DIGEST ? kForeignDigests : op == OSSL_OP_CIPHER ? kForeignCiphers : nullptr;
}
const OSSL_DISPATCH kForeignProvider[] = {FN(OSSL_FUNC_PROVIDER_QUERY_OPERATION, f_query), {0, nullptr}};
#undef FN

int foreign_init(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** provctx) {
  *out = kForeignProvider;
  *provctx = &f_dummy;
  return 1;
}

using Bytes = std::vector<unsigned char>;

TEST(EvpProviderBesideOthers, ForeignMethodsNeverAnswerAndExistingObjectsAreReused) {
  // Before the library starts: an object with one of our OIDs (as another copy
  // of the library, or another library, would have left it) and a foreign
  // provider with our names, loaded first.
  const char* imito_oid = qcrypto::sysobj_find(qcrypto::SYSOBJ_RUS_IMITO)->oid;
  const int existing = OBJ_create(imito_oid, "earlier-imito", "earlier imito");
  ASSERT_NE(existing, NID_undef);
  ASSERT_EQ(OSSL_PROVIDER_add_builtin(nullptr, "foreign", foreign_init), 1);
  OSSL_PROVIDER* foreign = OSSL_PROVIDER_load(nullptr, "foreign");
  ASSERT_NE(foreign, nullptr);
  EVP_MD* foreign_md = EVP_MD_fetch(nullptr, "RUS-HASH", "provider=foreign");
  ASSERT_NE(foreign_md, nullptr);  // the foreign method is really there

  ASSERT_EQ(qcrypto::evp_provider_start(), 1);
  EXPECT_EQ(qcrypto::sysobj_nid(qcrypto::SYSOBJ_RUS_IMITO), existing);
  EXPECT_EQ(qcrypto::sysobj_number(existing), qcrypto::SYSOBJ_RUS_IMITO);

  Bytes data(100, 0x5A);
  Bytes direct(32);
  ASSERT_NE(qcrypto::GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, direct.data()),
            nullptr);
  EVP_MD* by_alias = qcrypto::evp_md_fetch("r3411");
  ASSERT_NE(by_alias, nullptr);
  for (const EVP_MD* md : {qcrypto::EVP_rus_hash(), qcrypto::EVP_ecr3410(), static_cast<const EVP_MD*>(by_alias)}) {
    ASSERT_NE(md, nullptr);
    EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(md)), "dossar");
    Bytes out(32);
    unsigned len = 0;
    ASSERT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
    EXPECT_EQ(out, direct);
  }
  EVP_MD_free(by_alias);

  // The gamma cipher: the foreign one copies, ours encrypts as the direct call.
  const Bytes key(32, 0x11), iv(8, 0x22);
  Bytes expected(data.size());
  qcrypto::GOSTE_CTX g{};
  ASSERT_EQ(qcrypto::GOSTE_gamma_init(&g, key.data(), iv.data(), nullptr), 1);
  ASSERT_EQ(qcrypto::GOSTE_gamma_update(&g, data.data(), expected.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  qcrypto::GOSTE_clear(&g);
  EVP_CIPHER* by_name = qcrypto::evp_cipher_fetch("RUS-GAMMA");
  ASSERT_NE(by_name, nullptr);
  for (const EVP_CIPHER* c : {qcrypto::EVP_rus_gamma(), static_cast<const EVP_CIPHER*>(by_name)}) {
    EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(c)), "dossar");
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, c, nullptr, key.data(), iv.data()), 1);
    Bytes out(data.size());
    int outl = 0;
    ASSERT_EQ(EVP_EncryptUpdate(ctx, out.data(), &outl, data.data(), static_cast<int>(data.size())), 1);
    EXPECT_EQ(out, expected);
    EVP_CIPHER_CTX_free(ctx);
  }
  EVP_CIPHER_free(by_name);
  EVP_MD_free(foreign_md);
  OSSL_PROVIDER_unload(foreign);
}

}  // namespace
