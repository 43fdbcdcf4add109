// The key as a Diffie-Hellman key for key agreement.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include <memory>

#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
// The built parameters may carry x: its bytes are wiped before the block is
// freed (OpenSSL 3.0 has no clearing free for parameter arrays).
struct ParamClearFree {
  void operator()(OSSL_PARAM* params) const {
    if (params == nullptr) return;
    for (OSSL_PARAM* p = params; p->key != nullptr; ++p) {
      if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
    }
    OSSL_PARAM_free(params);
  }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

}  // namespace

EVP_PKEY* R3410_to_DH(const R3410* key) {
  if (key == nullptr) return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld) return nullptr;
  const struct {
    const char* name;
    const BIGNUM* value;
  } numbers[] = {
      {OSSL_PKEY_PARAM_FFC_P, key->p},   {OSSL_PKEY_PARAM_FFC_Q, key->q},    {OSSL_PKEY_PARAM_FFC_G, key->a},
      {OSSL_PKEY_PARAM_PUB_KEY, key->y}, {OSSL_PKEY_PARAM_PRIV_KEY, key->x},
  };
  for (const auto& n : numbers) {
    if (n.value != nullptr && !OSSL_PARAM_BLD_push_BN(bld.get(), n.name, n.value)) return nullptr;
  }
  if (key->q != nullptr && !OSSL_PARAM_BLD_push_int(bld.get(), OSSL_PKEY_PARAM_DH_PRIV_LEN, BN_num_bits(key->q))) {
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM, ParamClearFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) return nullptr;
  const int selection = key->x != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
  EVP_PKEY* dh = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &dh, selection, params.get()) <= 0) return nullptr;
  return dh;
}

}  // namespace qcrypto
