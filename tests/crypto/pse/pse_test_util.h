// Shared pieces of the key-container tests: a system random method, error
// draining, a scratch folder, and signing through a loaded key.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto::pse_test {

using Bytes = std::vector<unsigned char>;

using ::test_support::kSystemRand;

struct Err {
  int lib, func, reason;
  bool operator==(const Err&) const = default;
};
inline void PrintTo(const Err& e, std::ostream* os) { *os << "(" << e.lib << "," << e.func << "," << e.reason << ")"; }
inline std::vector<Err> drain() {
  std::vector<Err> out;
  while (unsigned long e = ERR_get_error())
    out.push_back({ERR_GET_LIB_CODE(e), ERR_GET_FUNC_CODE(e), ERR_GET_REASON_CODE(e)});
  return out;
}
inline bool has(const std::vector<Err>& errors, Err e) {
  for (const Err& x : errors)
    if (x == e) return true;
  return false;
}

// A fresh folder under the test's temporary directory, removed at the end.
class Scratch {
 public:
  Scratch() {
    std::string templ = (std::filesystem::temp_directory_path() / "pse-XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~Scratch() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes sign(EVP_PKEY* pkey, const Bytes& msg) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return {};
  size_t len = 0;
  if (EVP_DigestSign(ctx.get(), nullptr, &len, msg.data(), msg.size()) != 1) return {};
  Bytes sig(len);
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, msg.data(), msg.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

inline int verify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& sig) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return -1;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), msg.data(), msg.size());
}

}  // namespace qcrypto::pse_test
