// Shared set-up of the store and verification tests: the provider started
// and a random method that draws from the kernel.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto::store_test {

using test_support::kSystemRand;

class ProviderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
  }
  static void TearDownTestSuite() { RAND_set_rand_method(nullptr); }
  void SetUp() override { ERR_clear_error(); }
};

inline test_support::PkiCertSpec ca_spec(const std::string& cn, long serial) {
  test_support::PkiCertSpec s;
  s.common_name = cn;
  s.serial = serial;
  s.basic_constraints = test_support::PkiBasicConstraints::kCa;
  s.key_usage = test_support::PkiKeyUsage::kCa;
  return s;
}
inline test_support::PkiCertSpec leaf_spec(const std::string& cn, long serial) {
  test_support::PkiCertSpec s;
  s.common_name = cn;
  s.serial = serial;
  return s;
}

// The certificates of a stack, released into owners; the stack itself is freed.
inline std::vector<UniquePtr<X509>> take(STACK_OF(X509) * sk) {
  std::vector<UniquePtr<X509>> out;
  for (int i = 0; i < sk_X509_num(sk); ++i) out.emplace_back(sk_X509_value(sk, i));
  sk_X509_free(sk);
  return out;
}

}  // namespace qcrypto::store_test
