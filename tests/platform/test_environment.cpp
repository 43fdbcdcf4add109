#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"

namespace platform {
namespace {

constexpr const char* kName = "DOSSAR_TEST_ENVIRONMENT";

TEST(Environment, ReadsSetUnsetAndEmptyValues) {
  struct Case {
    const char* what;
    const char* value;  // null: unset
  };
  const Case cases[] = {
      {"plain", "/home/u"},
      {"separators kept", "a=b:c d"},
      {"non-ASCII bytes", "/home/\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87"},
      {"empty is set", ""},
      {"unset", nullptr},
  };
  for (const auto& c : cases) {
    if (c.value != nullptr) {
      setenv(kName, c.value, 1);
    } else {
      unsetenv(kName);
    }
    const std::optional<std::string> got = env(kName);
    if (c.value == nullptr) {
      EXPECT_FALSE(got.has_value()) << c.what;
    } else {
      ASSERT_TRUE(got.has_value()) << c.what;
      EXPECT_EQ(*got, c.value) << c.what;
    }
  }
  EXPECT_FALSE(env(nullptr).has_value());
  EXPECT_FALSE(env("").has_value());
}

// Many threads reading at once (the ThreadSanitizer build watches this).
TEST(Environment, ConcurrentReadersSeeTheValue) {
  setenv(kName, "shared value", 1);
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (std::size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 2000; ++i) {
        if (env(kName) != std::optional<std::string>("shared value") || env("DOSSAR_TEST_NEVER_SET").has_value()) {
          ++wrong[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  unsetenv(kName);
  for (std::size_t t = 0; t < wrong.size(); ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(Environment, ErrnoTexts) {
  EXPECT_EQ(errno_text(ENOENT), "No such file or directory");
  EXPECT_EQ(errno_text(EACCES), "Permission denied");
  // A code the C library does not know is named by its number.
  EXPECT_EQ(errno_text(123456), "Unknown error 123456");
}

}  // namespace
}  // namespace platform
