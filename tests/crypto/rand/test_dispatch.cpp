#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"

namespace qcrypto {
namespace {

// A recording method whose slot results the test chooses.
struct Recorder {
  int seeds = 0, bytes = 0, cleanups = 0, inits = 0, infos = 0;
  int seed_result = 1, cleanup_result = 1, init_result = 1, info_result = 1, placeholder_result = 0;
  void* last_a = nullptr;
  void* last_b = nullptr;
};
Recorder rec;

int rec_seed(unsigned char*, int) {
  ++rec.seeds;
  return rec.seed_result;
}
int rec_bytes(unsigned char* buf, int n) {
  ++rec.bytes;
  for (int i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>(i);
  return n;
}
int rec_cleanup() {
  ++rec.cleanups;
  return rec.cleanup_result;
}
int rec_init(void* a, void* b) {
  ++rec.inits;
  rec.last_a = a;
  rec.last_b = b;
  return rec.init_result;
}
int rec_info(void*) {
  ++rec.infos;
  return rec.info_result;
}
int rec_placeholder() { return rec.placeholder_result; }

const RAND_METHOD kFull = {rec_seed, rec_bytes, rec_cleanup, rec_init, nullptr, nullptr, rec_info, rec_placeholder};
const RAND_METHOD kEmpty = {};

class RandDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    RAND_set_rand_method(nullptr);
    rec = Recorder{};
    ERR_clear_error();
  }
  void TearDown() override {
    rec.cleanup_result = 1;
    RAND_set_rand_method(nullptr);
    ERR_clear_error();
  }
};

TEST_F(RandDispatch, NoMethodRaisesMethodNotSet) {
  unsigned char buf[4] = {};
  struct Case {
    int (*call)(unsigned char*);
    int function;
  };
  const Case cases[] = {
      {[](unsigned char* b) { return RAND_bytes(b, 4); }, 101},
      {[](unsigned char* b) { return RAND_seed(b, 4); }, 102},
      {[](unsigned char* b) { return RAND_init(b, nullptr); }, 103},
  };
  for (const auto& c : cases) {
    ERR_clear_error();
    EXPECT_EQ(c.call(buf), 0);
    const unsigned long e = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB_CODE(e), 69);
    EXPECT_EQ(ERR_GET_FUNC_CODE(e), c.function);
    EXPECT_EQ(ERR_GET_REASON_CODE(e), 100);
  }
  EXPECT_EQ(RAND_cleanup(), 0);
  EXPECT_EQ(RAND_is_placeholder(), 0);
  EXPECT_EQ(RAND_info(nullptr), 0);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
}

TEST_F(RandDispatch, EmptySlots) {
  RAND_set_rand_method(&kEmpty);
  unsigned char buf[4] = {};
  EXPECT_EQ(RAND_seed(buf, 4), 1);  // nothing to seed is success
  EXPECT_EQ(RAND_bytes(buf, 4), 0);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(RAND_info(nullptr), 0);
  EXPECT_EQ(RAND_is_placeholder(), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(RAND_cleanup(), 1);  // no cleanup slot: forgotten at once
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
}

TEST_F(RandDispatch, SlotsAreCalledAndResultsPassedOn) {
  RAND_set_rand_method(&kFull);
  unsigned char buf[8] = {};
  EXPECT_EQ(RAND_bytes(buf, 8), 8);
  EXPECT_EQ(buf[7], 7);
  int a = 0, b = 0;
  EXPECT_EQ(RAND_init(&a, &b), 1);
  EXPECT_EQ(rec.last_a, &a);
  EXPECT_EQ(rec.last_b, &b);
  rec.init_result = 5;
  EXPECT_EQ(RAND_init(nullptr, nullptr), 1);  // any non-zero is 1
  rec.init_result = 0;
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  rec.seed_result = 0;
  EXPECT_EQ(RAND_seed(buf, 8), 0);
  rec.placeholder_result = 1;
  EXPECT_EQ(RAND_is_placeholder(), 1);
  rec.info_result = 0;
  EXPECT_EQ(RAND_info(nullptr), 0);
  EXPECT_EQ(rec.infos, 1);
}

TEST_F(RandDispatch, CleanupFailureKeepsMethod) {
  RAND_set_rand_method(&kFull);
  rec.cleanup_result = 0;
  EXPECT_EQ(RAND_cleanup(), 0);
  EXPECT_EQ(RAND_get_rand_method(), &kFull);
  rec.cleanup_result = 1;
  EXPECT_EQ(RAND_cleanup(), 1);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
}

TEST_F(RandDispatch, SetSameMethodDoesNotCleanUp) {
  RAND_set_rand_method(&kFull);
  RAND_set_rand_method(&kFull);
  EXPECT_EQ(rec.cleanups, 0);
  RAND_set_rand_method(&kEmpty);  // a different record: the old one is cleaned up
  EXPECT_EQ(rec.cleanups, 1);
  EXPECT_EQ(RAND_get_rand_method(), &kEmpty);
  RAND_set_rand_method(&kFull);
  RAND_set_rand_method(nullptr);
  EXPECT_EQ(rec.cleanups, 2);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
}

TEST_F(RandDispatch, FixedMethodHandsOutExactlyTheGivenBytes) {
  RAND_set_rand_method(RAND_fixed_method());
  const std::vector<unsigned char> given = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  RAND_fixed_set_bytes(given);
  unsigned char a[4] = {}, b[10] = {};
  ASSERT_EQ(RAND_bytes(a, 4), 4);
  EXPECT_EQ(std::vector<unsigned char>(a, a + 4), std::vector<unsigned char>(given.begin(), given.begin() + 4));
  EXPECT_EQ(RAND_fixed_remaining(), 6u);
  ASSERT_EQ(RAND_bytes(b, 10), 6);  // short once the queue runs dry
  EXPECT_EQ(std::vector<unsigned char>(b, b + 6), std::vector<unsigned char>(given.begin() + 4, given.end()));
  EXPECT_EQ(RAND_bytes(b, 1), 0);
  const unsigned char more[] = {0xAA, 0xBB};
  RAND_fixed_add_bytes(more);
  RAND_fixed_add_bytes(more);
  ASSERT_EQ(RAND_bytes(b, 4), 4);
  EXPECT_EQ(b[0], 0xAA);
  EXPECT_EQ(b[3], 0xBB);
  RAND_fixed_set_bytes(given);
  EXPECT_EQ(RAND_cleanup(), 1);  // wipes the queue
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
}

TEST_F(RandDispatch, ConcurrentDrawsFromFixedQueueNeverOverlap) {
  RAND_set_rand_method(RAND_fixed_method());
  std::vector<unsigned char> given(4 * 1000 * 4);
  for (std::size_t i = 0; i < given.size(); i += 4) {
    const unsigned v = static_cast<unsigned>(i / 4);
    given[i] = static_cast<unsigned char>(v);
    given[i + 1] = static_cast<unsigned char>(v >> 8);
    given[i + 2] = given[i + 3] = 0x5A;
  }
  RAND_fixed_set_bytes(given);
  std::vector<std::vector<unsigned>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 1000; ++i) {
        unsigned char w[4];
        if (RAND_bytes(w, 4) != 4) return;
        seen[t].push_back(static_cast<unsigned>(w[0] | (w[1] << 8)));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<bool> hit(4000, false);
  for (const auto& s : seen) {
    for (unsigned v : s) {
      ASSERT_LT(v, 4000u);
      EXPECT_FALSE(hit[v]) << v;
      hit[v] = true;
    }
  }
  EXPECT_EQ(std::count(hit.begin(), hit.end(), true), 4000);
}

}  // namespace
}  // namespace qcrypto
