// The set-up most provider tests share: a random method that draws from the
// kernel (so key generation does not depend on a seeded pool), the provider
// started, and an empty error queue before and after each test so one test's
// leftovers cannot satisfy another's error checks.
#pragma once

#include <gtest/gtest.h>
#include <sys/random.h>

#include <cstddef>

#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"

namespace test_support {

// getrandom may return fewer bytes than asked (a signal, a large request), so
// it is called until the buffer is full.
inline int kernel_random_bytes(unsigned char* buffer, int length) {
  for (int done = 0; done < length;) {
    const ssize_t n = getrandom(buffer + done, static_cast<std::size_t>(length - done), 0);
    if (n <= 0) return 0;
    done += static_cast<int>(n);
  }
  return length;
}
inline const qcrypto::RAND_METHOD kSystemRand = {
    nullptr, kernel_random_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Base is ::testing::Test or ::testing::TestWithParam<T>.
template <class Base = ::testing::Test>
class ProviderFixture : public Base {
 protected:
  void SetUp() override {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_clear_error();
  }
  void TearDown() override {
    qcrypto::RAND_set_rand_method(nullptr);
    qcrypto::ERR_clear_error();
  }
};

}  // namespace test_support
