#include "crypto/cclib/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qcrypto {
namespace {

TEST(Locks, RecursiveForTheOwningThread) {
  CryptoLockGuard outer(CRYPTO_LOCK_RUS);
  CryptoLockGuard inner(CRYPTO_LOCK_RUS);  // would dead-lock on a plain mutex
  SUCCEED();
}

TEST(Locks, MutualExclusionAcrossThreads) {
  long counter = 0;  // guarded by lock 17 only
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < 20000; ++i) {
        CryptoLockGuard g(CRYPTO_LOCK_RAND);
        counter = counter + 1;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 8 * 20000);
}

TEST(Locks, DistinctNumbersAreIndependent) {
  CryptoLockGuard held(CRYPTO_LOCK_PSE);
  std::atomic<bool> done{false};
  std::thread([&done] {
    CryptoLockGuard other(CRYPTO_LOCK_ECGOST);
    done = true;
  }).join();
  EXPECT_TRUE(done);
}

TEST(Locks, NumbersOutsideTheTableAreIgnored) {
  CRYPTO_lock(CRYPTO_LOCK, -1, __FILE__, __LINE__);
  CRYPTO_lock(CRYPTO_LOCK, CRYPTO_NUM_LOCKS, __FILE__, __LINE__);
  CRYPTO_lock(CRYPTO_UNLOCK, CRYPTO_NUM_LOCKS, __FILE__, __LINE__);
  EXPECT_STREQ(CRYPTO_get_lock_name(33), "ERROR");
}

TEST(Locks, SystemLockNames) {
  const char* expected[] = {"r3410", "pse", "mask", "ecgost", "cms", "rus", "asn1", "Vexil", "pse_cache"};
  for (int i = 24; i <= 32; ++i) EXPECT_STREQ(CRYPTO_get_lock_name(i), expected[i - 24]);
  EXPECT_STREQ(CRYPTO_get_lock_name(17), "rand");
}

TEST(CclibReverse, ReversesInPlace) {
  unsigned char three[] = {1, 2, 3};
  EXPECT_EQ(CCLIB_reverse(three, 3), three);
  EXPECT_EQ(three[0], 3);
  EXPECT_EQ(three[1], 2);
  EXPECT_EQ(three[2], 1);
  unsigned char one[] = {7};
  CCLIB_reverse(one, 1);
  EXPECT_EQ(one[0], 7);
  unsigned char two[] = {1, 2};
  CCLIB_reverse(two, 0);
  CCLIB_reverse(two, -3);
  EXPECT_EQ(two[0], 1);
  EXPECT_EQ(CCLIB_reverse(nullptr, 5), nullptr);
}

}  // namespace
}  // namespace qcrypto
