// The key as a Diffie-Hellman key for key agreement.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {

EVP_PKEY* R3410_to_DH(const R3410* key) {
  if (key == nullptr) return nullptr;
  UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
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
  // The built parameters may carry x.
  SecretUniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) return nullptr;
  const int selection = key->x != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
  EVP_PKEY* dh = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &dh, selection, params.get()) <= 0) return nullptr;
  return dh;
}

}  // namespace qcrypto
