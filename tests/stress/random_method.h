// The software generator installed and seeded for a stress test, and removed
// again afterwards.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "tests/stress/stress_util.h"

namespace stress {

class WithSoftwareGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    qcrypto::RAND_set_rand_method(qcrypto::GRAND_method());
    std::vector<unsigned char> seed = SystemRandom(32);
    ASSERT_EQ(qcrypto::RAND_seed(seed.data(), static_cast<int>(seed.size())), 1);
  }
  void TearDown() override { qcrypto::RAND_set_rand_method(nullptr); }
};

}  // namespace stress
