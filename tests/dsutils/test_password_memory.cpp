// The remembered key password of a UI object, on its own: the minute rule
// under a clock moved by hand, the wiper, names that do not fit, two objects
// that never share, and no password byte left in freed memory after the
// object ends. (Own process: the allocator hooks of the freed-memory scan
// must be in place before the first allocation.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/password_memory.h"
#include "dsutils/engine/ui_scripted.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace dsutils {
namespace {

namespace scan = test_support::freed_scan;
using namespace std::chrono_literals;

const unsigned char kPassword[] = "Pa55-\xD1\xE5\xEA\xF0\xE5\xF2-zq";  // Windows-1251 bytes
constexpr int kLength = static_cast<int>(sizeof(kPassword) - 1);

std::string recalled(PasswordMemory& m, std::string_view name, std::uint32_t minutes) {
  PasswordBuffer out;
  const int n = m.recall(name, minutes, out);
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
}

bool wait_until(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(1ms);
  return done();
}

// Whole minutes since the entry against Min, reuse not renewing the entry.
TEST(PasswordMemory, MinuteRuleUnderAFakeClock) {
  struct Row {
    const char* what;
    std::int64_t after;  // seconds since the entry
    std::uint32_t min;
    bool kept;
  } rows[] = {
      {"at once", 0, 60, true},
      {"59 minutes", 59 * 60 + 59, 60, true},
      {"60 minutes: not above Min", 60 * 60 + 59, 60, true},
      {"61 minutes", 61 * 60, 60, false},
      {"Min 0 within the minute", 59, 0, true},
      {"Min 0 after a minute", 60, 0, false},
      {"a clock that went back", -3600, 0, true},
  };
  for (const Row& row : rows) {
    auto clock = std::make_shared<ManualPasswordClock>();
    PasswordMemory m;
    m.setClock(clock);
    m.remember("key.p8", kPassword, kLength, row.min);
    clock->advance(row.after);
    EXPECT_EQ(recalled(m, "key.p8", row.min), row.kept ? std::string(reinterpret_cast<const char*>(kPassword)) : "")
        << row.what;
    EXPECT_EQ(m.empty(), !row.kept) << row.what;
  }
  // Reuse at 59 minutes does not renew: at 61 it is gone.
  auto clock = std::make_shared<ManualPasswordClock>();
  PasswordMemory m;
  m.setClock(clock);
  m.remember("key.p8", kPassword, kLength, 60);
  clock->advance(59 * 60);
  EXPECT_EQ(recalled(m, "key.p8", 60).size(), static_cast<std::size_t>(kLength));
  clock->advance(2 * 60);
  EXPECT_EQ(recalled(m, "key.p8", 60), "");
}

// Another name neither takes nor clears; an expired password goes whatever
// the name asked.
TEST(PasswordMemory, AnotherKeyNameNeitherTakesNorClears) {
  auto clock = std::make_shared<ManualPasswordClock>();
  PasswordMemory m;
  m.setClock(clock);
  m.remember("/keys/a.p8", kPassword, kLength, 60);
  for (const char* other : {"/keys/b.p8", "/keys/A.p8", "/keys/a.p8 ", "/keys/a.p", ""}) {
    PasswordBuffer out;
    EXPECT_EQ(m.recall(other, 60, out), 0) << other;
    EXPECT_EQ(std::memcmp(out.data(), PasswordBuffer().data(), out.size()), 0) << other;
  }
  EXPECT_FALSE(m.empty());
  clock->advance(61 * 60);
  EXPECT_EQ(recalled(m, "/keys/b.p8", 60), "");
  EXPECT_TRUE(m.empty());
}

// A name or password that does not fit is not kept, and what was kept before
// goes: a shortened name could name another key.
TEST(PasswordMemory, TextsThatDoNotFitAreNotKept) {
  PasswordMemory m;
  const std::string longName(kPasswordBytes, 'n');
  const std::string fitting(kPasswordBytes - 1, 'n');
  const std::string longPassword(kPasswordBytes, 'p');
  m.remember(fitting, kPassword, kLength, 60);
  EXPECT_EQ(recalled(m, fitting, 60).size(), static_cast<std::size_t>(kLength));
  m.remember(longName, kPassword, kLength, 60);
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(recalled(m, longName.substr(0, kPasswordBytes - 1), 60), "");
  m.remember("k", reinterpret_cast<const unsigned char*>(longPassword.data()), static_cast<int>(longPassword.size()),
             60);
  EXPECT_TRUE(m.empty());
  m.remember("k", kPassword, -1, 60);
  EXPECT_TRUE(m.empty());
}

// The wiper wipes (Min + 1) x 60 s after the entry, not before; a new entry
// re-arms it.
TEST(PasswordMemory, TheWiperWipesAtTheDeadline) {
  auto clock = std::make_shared<ManualPasswordClock>();
  PasswordMemory m;
  m.setClock(clock);
  m.remember("key.p8", kPassword, kLength, 5);
  clock->advance(6 * 60 - 1);
  std::this_thread::sleep_for(50ms);  // many looks of the wiper
  EXPECT_FALSE(m.empty());
  EXPECT_EQ(m.wiperWipes(), 0);
  clock->advance(1);
  ASSERT_TRUE(wait_until([&] { return m.empty(); }));
  EXPECT_EQ(m.wiperWipes(), 1);
  m.remember("key.p8", kPassword, kLength, 0);
  clock->advance(59);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(m.empty());
  clock->advance(1);
  ASSERT_TRUE(wait_until([&] { return m.empty(); }));
  EXPECT_EQ(m.wiperWipes(), 2);
}

// The real clock: the wiper sleeps until the deadline, and the end of the
// object wakes it at once.
TEST(PasswordMemory, TheSteadyWiperEndsWithTheObject) {
  const auto start = std::chrono::steady_clock::now();
  {
    PasswordMemory m;
    m.remember("key.p8", kPassword, kLength, 60);
    EXPECT_FALSE(m.empty());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Each UI object has its own memory: one object's password never answers
// another's operation, on any thread.
class PasswordMemoryInEngine : public testing::EngineTest {};

TEST_F(PasswordMemoryInEngine, TwoObjectsNeverShare) {
  ScriptedUi first, second;
  first.passwordMemory().remember("/keys/a.p8", kPassword, kLength, 60);
  PasswordBuffer out;
  {
    const OperationUiScope scope(&first);
    EXPECT_EQ(CryptoSession::RememberedPasswordFor(QStringLiteral("/keys/a.p8"), out), kLength);
  }
  int seen = -1;
  std::thread other([&] {
    const OperationUiScope scope(&second);
    PasswordBuffer b;
    seen = CryptoSession::RememberedPasswordFor(QStringLiteral("/keys/a.p8"), b);
  });
  other.join();
  EXPECT_EQ(seen, 0);
  EngineHelper::setUi(nullptr);
  EXPECT_EQ(CryptoSession::RememberedPasswordFor(QStringLiteral("/keys/a.p8"), out), 0);  // no interface at all
  EXPECT_TRUE(second.passwordMemory().empty());
  first.keyLoadFailed();
  EXPECT_TRUE(first.passwordMemory().empty());
}

// After the object ends, no freed block holds a byte sequence of the password.
TEST(PasswordMemory, NothingLeftInFreedMemoryAfterTheObjectEnds) {
  ASSERT_TRUE(scan::installed());
  scan::scan_cxx_heap(true);
  {
    auto ui = std::make_unique<ScriptedUi>();
    ui->passwordMemory().remember("/keys/a.p8", kPassword, kLength, 60);
    EXPECT_EQ(recalled(ui->passwordMemory(), "/keys/a.p8", 60).size(), static_cast<std::size_t>(kLength));
    // From here on: the recalled text above is the test's own copy.
    scan::reset();
    scan::Watch(kPassword, kLength);
    ui.reset();
  }
  EXPECT_EQ(scan::hits(), 0);
  // The scanner itself sees an unwiped copy. (Last: the allocator may hand
  // that block, stale bytes and all, to a later allocation.)
  auto* copy = new unsigned char[64];
  std::memcpy(copy, kPassword, kLength);
  delete[] copy;
  EXPECT_EQ(scan::hits(), 1);
  scan::scan_cxx_heap(false);
  scan::reset();
}

}  // namespace
}  // namespace dsutils
