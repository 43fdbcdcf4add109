#include "crypto/prov/evp_gost.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"

namespace qcrypto {
namespace {

enum Method { kChange, kGamma, kGammar, kHash, kEcHash, kMethods };

struct Loaded {
  std::once_flag once;
  int ok = 0;
  OSSL_PROVIDER* ours = nullptr;
  OSSL_PROVIDER* deflt = nullptr;
  EVP_CIPHER* ciphers[kHash] = {};
  EVP_MD* digests[kMethods - kHash] = {};
};

Loaded& loaded() {
  static Loaded l;
  return l;
}

// Runs before OpenSSL's own clean-up at exit (registered after OpenSSL's
// initialisation): the methods and providers held for the life of the process
// are given back so that OpenSSL can free its stores.
void release_at_exit() {
  Loaded& l = loaded();
  l.ok = 0;
  for (auto*& c : l.ciphers) {
    EVP_CIPHER_free(c);
    c = nullptr;
  }
  for (auto*& m : l.digests) {
    EVP_MD_free(m);
    m = nullptr;
  }
  if (l.ours != nullptr) OSSL_PROVIDER_unload(l.ours);
  if (l.deflt != nullptr) OSSL_PROVIDER_unload(l.deflt);
  l.ours = l.deflt = nullptr;
}

void start_once() {
  Loaded& l = loaded();
  if (sysobj_register() != 1) return;
  // A second copy of the library in the same process finds the name taken
  // by the first; loading by name then gives the provider already there.
  ERR_set_mark();
  OSSL_PROVIDER_add_builtin(nullptr, prov::kProviderName, prov::provider_init);
  ERR_pop_to_mark();
  l.ours = OSSL_PROVIDER_load(nullptr, prov::kProviderName);
  l.deflt = OSSL_PROVIDER_load(nullptr, "default");
  std::atexit(release_at_exit);
  if (l.ours == nullptr || l.deflt == nullptr) return;
  l.ciphers[kChange] = EVP_CIPHER_fetch(nullptr, "RUS-CHANGE", prov::kPropQuery);
  l.ciphers[kGamma] = EVP_CIPHER_fetch(nullptr, "RUS-GAMMA", prov::kPropQuery);
  l.ciphers[kGammar] = EVP_CIPHER_fetch(nullptr, "RUS-GAMMAR", prov::kPropQuery);
  l.digests[kHash - kHash] = EVP_MD_fetch(nullptr, "RUS-HASH", prov::kPropQuery);
  l.digests[kEcHash - kHash] = EVP_MD_fetch(nullptr, "ECR3410-R3411", prov::kPropQuery);
  bool all = true;
  for (auto* c : l.ciphers) all = all && c != nullptr;
  for (auto* m : l.digests) all = all && m != nullptr;
  l.ok = all ? 1 : 0;
}

// True when `name` is one of the names in a provider name list (a:b:c),
// compared as OpenSSL compares algorithm names: ignoring case.
bool in_names(const char* list, const char* name) {
  const std::string_view n(name);
  std::string_view rest(list);
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view one = rest.substr(0, colon);
    if (one.size() == n.size() && strncasecmp(one.data(), name, n.size()) == 0) return true;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return false;
}

bool our_cipher_name(const char* name) {
  return in_names(prov::kNamesRusChange, name) || in_names(prov::kNamesRusGamma, name) ||
         in_names(prov::kNamesRusGammar, name);
}

bool our_digest_name(const char* name) {
  return in_names(prov::kNamesRusHash, name) || in_names(prov::kNamesEcr3410Hash, name);
}

}  // namespace

int evp_provider_start() {
  std::call_once(loaded().once, start_once);
  return loaded().ok;
}

const EVP_CIPHER* EVP_rus_change() { return evp_provider_start() == 1 ? loaded().ciphers[kChange] : nullptr; }
const EVP_CIPHER* EVP_rus_gamma() { return evp_provider_start() == 1 ? loaded().ciphers[kGamma] : nullptr; }
const EVP_CIPHER* EVP_rus_gammar() { return evp_provider_start() == 1 ? loaded().ciphers[kGammar] : nullptr; }
const EVP_MD* EVP_rus_hash() { return evp_provider_start() == 1 ? loaded().digests[kHash - kHash] : nullptr; }
const EVP_MD* EVP_ecr3410() { return evp_provider_start() == 1 ? loaded().digests[kEcHash - kHash] : nullptr; }

EVP_CIPHER* evp_cipher_fetch(const char* name) {
  if (name == nullptr || evp_provider_start() != 1) return nullptr;
  if (our_cipher_name(name)) return EVP_CIPHER_fetch(nullptr, name, prov::kPropQuery);
  // OpenSSL names this OID's object after a different cipher.
  const auto row = sysobj_find(SYSOBJ_3DES_WRAP);
  if (strcasecmp(name, row->short_name) == 0 || std::strcmp(name, row->oid) == 0)
    return EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  return EVP_CIPHER_fetch(nullptr, name, nullptr);
}

EVP_MD* evp_md_fetch(const char* name) {
  if (name == nullptr || evp_provider_start() != 1) return nullptr;
  if (our_digest_name(name)) return EVP_MD_fetch(nullptr, name, prov::kPropQuery);
  return EVP_MD_fetch(nullptr, name, nullptr);
}

}  // namespace qcrypto
