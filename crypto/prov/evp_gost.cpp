#include "crypto/prov/evp_gost.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
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
  // Set once by the start; read only after it (the once flag orders that).
  std::string name = prov::kProviderName;
  std::string query = std::string("provider=") + prov::kProviderName;
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

// True when `p` runs this copy's provider code.
bool runs_this_copy(OSSL_PROVIDER* p) {
  void* tag = nullptr;
  OSSL_PARAM params[] = {OSSL_PARAM_octet_ptr(prov::kParamCopyTag, &tag, 0), OSSL_PARAM_END};
  return OSSL_PROVIDER_get_params(p, params) == 1 && tag == prov::copy_tag();
}

// Each copy of the library in a process runs its own provider code under a
// name of its own: the first to come takes kProviderName, later ones
// kProviderName-2, -3... OpenSSL accepts a second built-in of a name already
// registered and then loads the first one, so a name counts as ours only once
// the provider loaded under it answers with this copy's tag; a name another
// copy (or anything else) holds is let go and the next one tried.
constexpr int kMaxCopies = 64;

OSSL_PROVIDER* claim_provider(std::string* name) {
  for (int n = 1; n <= kMaxCopies; ++n) {
    std::string candidate = prov::kProviderName;
    if (n > 1) {
      // Appended in two steps: g++ 12 at -O3 misreads "-" + to_string(n) as
      // an overlapping copy.
      candidate += '-';
      candidate += std::to_string(n);
    }
    ERR_set_mark();
    // Always registered before the load, so that a free name never makes
    // OpenSSL look for a module of that name on disk.
    OSSL_PROVIDER_add_builtin(nullptr, candidate.c_str(), prov::provider_init);
    OSSL_PROVIDER* p = OSSL_PROVIDER_load(nullptr, candidate.c_str());
    ERR_pop_to_mark();
    if (p != nullptr && runs_this_copy(p)) {
      *name = std::move(candidate);
      return p;
    }
    if (p != nullptr) OSSL_PROVIDER_unload(p);
  }
  return nullptr;
}

void start_once() {
  Loaded& l = loaded();
  if (sysobj_register() != 1) return;
  std::string name;
  l.ours = claim_provider(&name);
  if (l.ours != nullptr) {
    l.name = name;
    l.query = "provider=" + name;
  }
  l.deflt = OSSL_PROVIDER_load(nullptr, "default");
  std::atexit(release_at_exit);
  if (l.ours == nullptr || l.deflt == nullptr) return;
  const char* query = l.query.c_str();
  l.ciphers[kChange] = EVP_CIPHER_fetch(nullptr, "RUS-CHANGE", query);
  l.ciphers[kGamma] = EVP_CIPHER_fetch(nullptr, "RUS-GAMMA", query);
  l.ciphers[kGammar] = EVP_CIPHER_fetch(nullptr, "RUS-GAMMAR", query);
  l.digests[kHash - kHash] = EVP_MD_fetch(nullptr, "RUS-HASH", query);
  l.digests[kEcHash - kHash] = EVP_MD_fetch(nullptr, "ECR3410-R3411", query);
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

const char* evp_provider_name() {
  evp_provider_start();
  return loaded().name.c_str();
}

const char* evp_provider_query() {
  evp_provider_start();
  return loaded().query.c_str();
}

const EVP_CIPHER* EVP_rus_change() { return evp_provider_start() == 1 ? loaded().ciphers[kChange] : nullptr; }
const EVP_CIPHER* EVP_rus_gamma() { return evp_provider_start() == 1 ? loaded().ciphers[kGamma] : nullptr; }
const EVP_CIPHER* EVP_rus_gammar() { return evp_provider_start() == 1 ? loaded().ciphers[kGammar] : nullptr; }
const EVP_MD* EVP_rus_hash() { return evp_provider_start() == 1 ? loaded().digests[kHash - kHash] : nullptr; }
const EVP_MD* EVP_ecr3410() { return evp_provider_start() == 1 ? loaded().digests[kEcHash - kHash] : nullptr; }

EVP_CIPHER* evp_cipher_fetch(const char* name) {
  if (name == nullptr || evp_provider_start() != 1) return nullptr;
  if (our_cipher_name(name)) return EVP_CIPHER_fetch(nullptr, name, evp_provider_query());
  // OpenSSL names this OID's object after a different cipher.
  const auto row = sysobj_find(SYSOBJ_3DES_WRAP);
  if (strcasecmp(name, row->short_name) == 0 || std::strcmp(name, row->oid) == 0)
    return EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  return EVP_CIPHER_fetch(nullptr, name, nullptr);
}

EVP_MD* evp_md_fetch(const char* name) {
  if (name == nullptr || evp_provider_start() != 1) return nullptr;
  if (our_digest_name(name)) return EVP_MD_fetch(nullptr, name, evp_provider_query());
  return EVP_MD_fetch(nullptr, name, nullptr);
}

}  // namespace qcrypto
