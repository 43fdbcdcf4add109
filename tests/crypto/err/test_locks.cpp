#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "crypto/cclib/locks.h"

namespace qcrypto {
namespace {

// Another thread's attempt, bounded in time so a broken lock fails the test
// instead of hanging it.
bool other_thread_takes(int type) {
  auto attempt = std::async(std::launch::async, [type] {
    if (!CRYPTO_try_lock(type)) return false;
    CRYPTO_lock(CRYPTO_UNLOCK, type, __FILE__, __LINE__);
    return true;
  });
  return attempt.wait_for(std::chrono::seconds(5)) == std::future_status::ready && attempt.get();
}

TEST(Locks, RecursiveForTheOwningThread) {
  ASSERT_TRUE(other_thread_takes(CRYPTO_LOCK_RUS));
  {
    CryptoLockGuard outer(CRYPTO_LOCK_RUS);
    {
      CryptoLockGuard inner(CRYPTO_LOCK_RUS);  // would dead-lock on a plain mutex
      EXPECT_EQ(CRYPTO_lock_held(CRYPTO_LOCK_RUS), 1);
      EXPECT_FALSE(other_thread_takes(CRYPTO_LOCK_RUS));
    }
    // One release of two: still held.
    EXPECT_EQ(CRYPTO_lock_held(CRYPTO_LOCK_RUS), 1);
    EXPECT_FALSE(other_thread_takes(CRYPTO_LOCK_RUS));
    EXPECT_EQ(CRYPTO_try_lock(CRYPTO_LOCK_RUS), 1);  // the owner's try nests too
    CRYPTO_lock(CRYPTO_UNLOCK, CRYPTO_LOCK_RUS, __FILE__, __LINE__);
    EXPECT_FALSE(other_thread_takes(CRYPTO_LOCK_RUS));
  }
  EXPECT_EQ(CRYPTO_lock_held(CRYPTO_LOCK_RUS), 0);
  EXPECT_TRUE(other_thread_takes(CRYPTO_LOCK_RUS));
  // A release by a thread that does not hold the lock changes nothing.
  CryptoLockGuard held(CRYPTO_LOCK_RUS);
  std::thread([] { CRYPTO_lock(CRYPTO_UNLOCK, CRYPTO_LOCK_RUS, __FILE__, __LINE__); }).join();
  EXPECT_FALSE(other_thread_takes(CRYPTO_LOCK_RUS));
}

// The documented order (a higher number under a lower one) is accepted,
// including taking a held lower lock again; the reverse aborts with both
// names, before it can dead-lock against a thread nesting the right way.
TEST(Locks, OrderIsCheckedOnEveryTake) {
  {
    CryptoLockGuard rand(CRYPTO_LOCK_RAND);
    CryptoLockGuard pse(CRYPTO_LOCK_PSE);
    CryptoLockGuard rus(CRYPTO_LOCK_RUS);
    CryptoLockGuard again(CRYPTO_LOCK_RAND);  // already held: no new order
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CryptoLockGuard pse(CRYPTO_LOCK_PSE);
        CryptoLockGuard rand(CRYPTO_LOCK_RAND);
      },
      "order violated.*taking 17 \\(rand\\) while holding 25 \\(pse\\)");
  EXPECT_DEATH(
      {
        CryptoLockGuard rand(CRYPTO_LOCK_RAND);
        CryptoLockGuard rus(CRYPTO_LOCK_RUS);
        CryptoLockGuard pse(CRYPTO_LOCK_PSE);
      },
      "taking 25 \\(pse\\) while holding 29 \\(rus\\)");
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
