// A process in which a foreign provider already runs under the name the
// library's provider would take first: the library must register its own
// under the next free name and never hand out the foreign methods. One test,
// since it depends on what happens first in the process.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rus/gost3411.h"

namespace {

// The foreign digest answers 32 bytes of 0xEE whatever it is fed.
int f_dummy = 0;
void* f_newctx(void*) { return &f_dummy; }
void f_freectx(void*) {}
void* f_dupctx(void* c) { return c; }
int f_init(void*, const OSSL_PARAM*) { return 1; }
int f_update(void*, const unsigned char*, size_t) { return 1; }
int f_final(void*, unsigned char* out, size_t* outl, size_t outsz) {
  if (outsz < 32) return 0;
  std::memset(out, 0xEE, 32);
  *outl = 32;
  return 1;
}
int f_get_params(OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 32)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, 32)) return 0;
  return 1;
}

#define FN(id, f) \
  { id, reinterpret_cast<void (*)()>(f) }
const OSSL_DISPATCH kForeignMd[] = {
    FN(OSSL_FUNC_DIGEST_NEWCTX, f_newctx),         FN(OSSL_FUNC_DIGEST_FREECTX, f_freectx),
    FN(OSSL_FUNC_DIGEST_DUPCTX, f_dupctx),         FN(OSSL_FUNC_DIGEST_INIT, f_init),
    FN(OSSL_FUNC_DIGEST_UPDATE, f_update),         FN(OSSL_FUNC_DIGEST_FINAL, f_final),
    FN(OSSL_FUNC_DIGEST_GET_PARAMS, f_get_params), {0, nullptr}};
// It even declares the property our fetches used to ask for.
const OSSL_ALGORITHM kForeignDigests[] = {{"RUS-HASH:r3411", "provider=dossar", kForeignMd, nullptr},
                                          {nullptr, nullptr, nullptr, nullptr}};
const OSSL_ALGORITHM* f_query(void*, int op, int* no_cache) {
  *no_cache = 0;
  return op == OSSL_OP_DIGEST ? kForeignDigests : nullptr;
}
const OSSL_DISPATCH kForeignProvider[] = {FN(OSSL_FUNC_PROVIDER_QUERY_OPERATION, f_query), {0, nullptr}};
#undef FN

int foreign_init(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** provctx) {
  *out = kForeignProvider;
  *provctx = &f_dummy;
  return 1;
}

TEST(EvpProviderNameTaken, TheLibraryTakesTheNextNameAndOnlyItsOwnCodeAnswers) {
  ASSERT_EQ(OSSL_PROVIDER_add_builtin(nullptr, "dossar", foreign_init), 1);
  OSSL_PROVIDER* foreign = OSSL_PROVIDER_load(nullptr, "dossar");
  ASSERT_NE(foreign, nullptr);

  ASSERT_EQ(qcrypto::evp_provider_start(), 1);
  EXPECT_STREQ(qcrypto::evp_provider_name(), "dossar-2");
  EXPECT_EQ(std::string(qcrypto::evp_provider_query()), std::string("provider=") + qcrypto::evp_provider_name());

  const std::vector<unsigned char> data(77, 0x3C);
  std::vector<unsigned char> direct(32);
  ASSERT_NE(qcrypto::GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, direct.data()),
            nullptr);
  qcrypto::UniquePtr<EVP_MD> by_alias(qcrypto::evp_md_fetch("r3411"));
  ASSERT_NE(by_alias, nullptr);
  for (const EVP_MD* md : {qcrypto::EVP_rus_hash(), static_cast<const EVP_MD*>(by_alias.get())}) {
    ASSERT_NE(md, nullptr);
    EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(md)), "dossar-2");
    std::vector<unsigned char> out(32);
    unsigned len = 0;
    ASSERT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
    EXPECT_EQ(out, direct);
  }

  // A record goes to the library's own provider and comes back from it.
  qcrypto::UniquePtr<qcrypto::ECGOST> key(qcrypto::ECGOST_new(nullptr));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(BN_set_word(key->d, 0x1234567), 1);
  ASSERT_EQ(qcrypto::ECGOST_generate_pubkey(key.get()), 1);
  qcrypto::UniquePtr<EVP_PKEY> pkey(qcrypto::evp_pkey_from_ecgost(key.get()));
  ASSERT_NE(pkey, nullptr);
  EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_PKEY_get0_provider(pkey.get())), "dossar-2");
  EXPECT_EQ(qcrypto::evp_pkey_get0_ecgost(pkey.get()), key.get());
  OSSL_PROVIDER_unload(foreign);
}

}  // namespace
