#include "tests/support/ql_fixture.h"

#include <openssl/pkcs12.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <utility>

#include "crypto/pkey/key_envelope.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"

QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace test_support {

Scratch::Scratch(const std::string& prefix) {
  std::string templ = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(templ.data()) != nullptr) path = templ;
}

Scratch::~Scratch() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::vector<std::string> Scratch::names() const {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(path)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

int log_progress(int stage, long done, long total, void* user) {
  auto* log = static_cast<ProgressLog*>(user);
  log->calls.push_back({stage, done, total});
  return log->cancel_at != 0 && static_cast<int>(log->calls.size()) == log->cancel_at ? 0 : 1;
}

std::vector<unsigned char> random_bytes(std::size_t n) {
  std::vector<unsigned char> out(n);
  std::mt19937 gen(static_cast<unsigned>(n));
  for (auto& b : out) b = static_cast<unsigned char>(gen());
  return out;
}

bool add_session_key(EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_up_ref(key) != 1) return false;
  qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key, nullptr));
  if (!e) {
    EVP_PKEY_free(key);
    return false;
  }
  e->decrypted = 1;
  quillon2::QL_SESSION* session = quillon2::QL_session_get();
  if (session == nullptr) return false;
  const int rc = quillon2::mputil_add_key(session, std::move(e));
  quillon2::QL_session_release(session);
  return rc == quillon2::QL_OK;
}

std::vector<unsigned char> encrypted_pkcs8(EVP_PKEY* key, const char* password) {
  qcrypto::UniquePtr<PKCS8_PRIV_KEY_INFO> p8;
  if (EVP_PKEY_is_a(key, "RSA") == 1) {
    p8.reset(EVP_PKEY2PKCS8(key));
  } else if (EVP_PKEY_up_ref(key) == 1) {
    qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key, nullptr));
    if (!e) return {};
    e->decrypted = 1;
    p8.reset(qcrypto::gost_key_to_pkcs8(e.get()));
  }
  if (!p8) return {};
  qcrypto::UniquePtr<X509_SIG> sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), password, -1, nullptr, 0, 1000, p8.get()));
  unsigned char* der = nullptr;
  const int n = sig ? i2d_X509_SIG(sig.get(), &der) : 0;
  std::vector<unsigned char> out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  return out;
}

}  // namespace test_support
