// Shared set-up of the store and verification tests: the provider started
// and a random method that draws from the kernel.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/random.h>

#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"

namespace qcrypto::store_test {

inline int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
inline const RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

class ProviderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
  }
  static void TearDownTestSuite() { RAND_set_rand_method(nullptr); }
  void SetUp() override { ERR_clear_error(); }
};

}  // namespace qcrypto::store_test
