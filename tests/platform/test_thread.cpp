#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/os_random.h"
#include "platform/stoppable_thread.h"

namespace platform {
namespace {

TEST(StoppableThread, RunsUntilAskedToStop) {
  StoppableThread t;
  std::atomic<long> loops{0};
  std::atomic<bool> returned{false};
  ASSERT_TRUE(t.start(
      [&](const std::atomic<bool>& stop) {
        while (!stop.load()) loops.fetch_add(1);
        returned.store(true);
      },
      1024));
  EXPECT_TRUE(t.running());
  EXPECT_FALSE(t.start([](const std::atomic<bool>&) {}));  // one at a time
  while (loops.load() == 0) {
  }
  t.stop();
  EXPECT_FALSE(t.running());
  EXPECT_TRUE(returned.load());  // the body returned by itself
  t.stop();                      // nothing to stop
  // A stopped thread object starts again with a cleared flag.
  std::atomic<bool> ran{false};
  std::atomic<bool> started{false};
  ASSERT_TRUE(t.start([&](const std::atomic<bool>& stop) {
    ran.store(!stop.load());
    started.store(true);
    while (!stop.load()) {
    }
  }));
  while (!started.load()) {
  }
  t.stop();
  EXPECT_TRUE(ran.load());
}

TEST(StoppableThread, DestructorStops) {
  std::atomic<bool> returned{false};
  {
    StoppableThread t;
    ASSERT_TRUE(t.start([&](const std::atomic<bool>& stop) {
      while (!stop.load()) {
      }
      returned.store(true);
    }));
  }
  EXPECT_TRUE(returned.load());
}

TEST(OsRandom, FillsAndDiffers) {
  unsigned char a[64] = {}, b[64] = {};
  ASSERT_TRUE(os_random_bytes(a, sizeof(a)));
  ASSERT_TRUE(os_random_bytes(b, sizeof(b)));
  EXPECT_NE(0, memcmp(a, b, sizeof(a)));
  EXPECT_TRUE(os_random_bytes(a, 0));
}

}  // namespace
}  // namespace platform
