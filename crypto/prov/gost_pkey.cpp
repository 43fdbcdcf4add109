#include "crypto/prov/gost_pkey.h"

#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <cstring>

#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/prov.h"

namespace qcrypto {
namespace {

EVP_PKEY* adopt(int type, void* record, bool has_private) {
  if (record == nullptr || evp_provider_start() != 1) return nullptr;
  if (type == SYSOBJ_R3410) {
    R3410_up_ref(static_cast<R3410*>(record));
  } else {
    ECGOST_up_ref(static_cast<ECGOST*>(record));
  }
  const uint64_t ticket = prov::key_ticket_file(type, record);
  const char* name = type == SYSOBJ_R3410 ? "R3410" : "ECR3410";
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, name, evp_provider_query());
  EVP_PKEY* pkey = nullptr;
  if (ticket != 0 && ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
    uint64_t t = ticket;
    OSSL_PARAM params[] = {OSSL_PARAM_uint64(prov::kParamKeyTicket, &t), OSSL_PARAM_END};
    if (EVP_PKEY_fromdata(ctx, &pkey, has_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) != 1)
      pkey = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  // A ticket the import never reached still holds its reference.
  if (void* left = prov::key_ticket_take(ticket, type); left != nullptr) {
    if (type == SYSOBJ_R3410) {
      R3410_free(static_cast<R3410*>(left));
    } else {
      ECGOST_free(static_cast<ECGOST*>(left));
    }
  }
  return pkey;
}

void* record_of(EVP_PKEY* pkey, const char* type_name) {
  if (pkey == nullptr || !EVP_PKEY_is_a(pkey, type_name)) return nullptr;
  const OSSL_PROVIDER* p = EVP_PKEY_get0_provider(pkey);
  // Only a key this copy's provider holds has a record this copy may use:
  // another copy's records belong to its own code, locks and caches.
  if (p == nullptr || std::strcmp(OSSL_PROVIDER_get0_name(p), evp_provider_name()) != 0) return nullptr;
  void* record = nullptr;
  OSSL_PARAM params[] = {OSSL_PARAM_octet_ptr(prov::kParamKeyRecord, &record, 0), OSSL_PARAM_END};
  if (EVP_PKEY_get_params(pkey, params) != 1) return nullptr;
  return record;
}

}  // namespace

EVP_PKEY* evp_pkey_from_r3410(R3410* key) {
  return adopt(SYSOBJ_R3410, key, key != nullptr && key->x != nullptr && !BN_is_zero(key->x));
}

EVP_PKEY* evp_pkey_from_ecgost(ECGOST* key) {
  return adopt(SYSOBJ_ECR3410, key, key != nullptr && key->d != nullptr && !BN_is_zero(key->d));
}

R3410* evp_pkey_get0_r3410(EVP_PKEY* pkey) { return static_cast<R3410*>(record_of(pkey, "R3410")); }
ECGOST* evp_pkey_get0_ecgost(EVP_PKEY* pkey) { return static_cast<ECGOST*>(record_of(pkey, "ECR3410")); }

}  // namespace qcrypto
