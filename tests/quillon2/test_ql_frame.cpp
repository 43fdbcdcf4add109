// The toolkit frame: start and stop with their reference counts, a failed
// first start, the setters, the cipher rule, the allocator, the thread's last
// result, the verification flags, the progress protocol and the session's
// lifetime across threads.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cadb/library.h"
#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_frame.h"
#include "tests/support/provider_fixture.h"

namespace quillon2 {
namespace {

using test_support::kSystemRand;

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(QL_is_initialized(), 0);
    base_refs_ = qcrypto::cadb_library_references();
  }
  void TearDown() override {
    while (QL_is_initialized() != 0) QL_cleanup();
    EXPECT_EQ(qcrypto::cadb_library_references(), base_refs_) << "the toolkit gives back every library reference";
  }
  int base_refs_ = 0;
};

// Each row is a series of start/stop calls with the code of each and the
// started flag after it.
TEST_F(FrameTest, StartAndStopAreBalanced) {
  enum Op { Init, Cleanup };
  struct Step {
    Op op;
    int code;
    int started;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
  } rows[] = {
      {"once", {{Init, 0, 1}, {Cleanup, 0, 0}}},
      {"twice, the second cleanup stops", {{Init, 0, 1}, {Init, 0, 1}, {Cleanup, 0, 1}, {Cleanup, 0, 0}}},
      {"cleanup without init does nothing", {{Cleanup, 0, 0}, {Cleanup, 0, 0}}},
      {"extra cleanups after the stop",
       {{Init, 0, 1}, {Cleanup, 0, 0}, {Cleanup, 0, 0}, {Init, 0, 1}, {Cleanup, 0, 0}}},
  };
  for (const auto& row : rows) {
    for (const Step& s : row.steps) {
      const int code = s.op == Init ? QL_init(nullptr, 0) : QL_cleanup();
      EXPECT_EQ(code, s.code) << row.what;
      EXPECT_EQ(QL_is_initialized(), s.started) << row.what;
      EXPECT_EQ(QL_settings_get() != nullptr, s.started == 1) << row.what;
      EXPECT_EQ(qcrypto::cadb_library_references(), base_refs_ + s.started) << row.what;
    }
  }
}

// A path without a container: 169, and the toolkit is stopped as if never
// started; a later start works and has its store.
TEST_F(FrameTest, FailedFirstStartLeavesTheToolkitStopped) {
  const std::string nowhere = (std::filesystem::temp_directory_path() / "ql-no-container-here").string();
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(QL_init(nowhere.c_str(), 0), QL_ERR_CONTAINER);
    EXPECT_EQ(QL_is_initialized(), 0);
    EXPECT_EQ(QL_session_get(), nullptr);
    EXPECT_EQ(QL_settings_get(), nullptr);
    EXPECT_EQ(QL_set_include_certs(1), QL_ERR_NOT_INITIALISED);
    EXPECT_EQ(qcrypto::cadb_library_references(), base_refs_);
  }
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  QL_SESSION* session = QL_session_get();
  ASSERT_NE(session, nullptr);
  EXPECT_NE(session->store, nullptr);
  QL_session_release(session);
  // A started toolkit does not test the path of a second start.
  EXPECT_EQ(QL_init(nowhere.c_str(), 0), QL_OK);
  QL_cleanup();
  EXPECT_EQ(QL_is_initialized(), 1);
}

TEST_F(FrameTest, SettersNeedAStartedToolkit) {
  const std::vector<std::pair<const char*, std::function<int()>>> setters = {
      {"cipher", [] { return QL_set_cipher("RUS-GAMMAR"); }},
      {"cipher null", [] { return QL_set_cipher(nullptr); }},
      {"include certs", [] { return QL_set_include_certs(1); }},
      {"signing time", [] { return QL_set_signing_time(1); }},
      {"recipient format", [] { return QL_set_recipient_format(2); }},
      {"progress", [] { return QL_set_progress_callback(nullptr, nullptr); }},
  };
  for (const auto& [what, call] : setters) EXPECT_EQ(call(), QL_ERR_NOT_INITIALISED) << what;
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  for (const auto& [what, call] : setters)
    EXPECT_EQ(call(), std::string(what) == "cipher null" ? QL_ERR_CIPHER : 0) << what;
}

TEST_F(FrameTest, DefaultsAndStoredWords) {
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  QL_SETTINGS* s = QL_settings_get();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->cipher.load(), qcrypto::EVP_rus_gammar());
  ASSERT_NE(s->digest.load(), nullptr);
  EXPECT_TRUE(EVP_MD_is_a(s->digest.load(), "MD5"));
  EXPECT_EQ(s->key_type.load(), 177);
  EXPECT_EQ(s->key_bits.load(), 1024);
  EXPECT_EQ(s->include_certs.load(), 0);
  EXPECT_EQ(s->signing_time.load(), 0);
  EXPECT_EQ(s->recipient_format.load(), 0);
  EXPECT_EQ(s->check_options.load(), 0U);
  EXPECT_EQ(s->name, nullptr);
  EXPECT_EQ(QL_set_include_certs(1), 0);
  EXPECT_EQ(QL_set_signing_time(5), 0);
  EXPECT_EQ(QL_set_recipient_format(3), 0);
  EXPECT_EQ(s->include_certs.load(), 1);
  EXPECT_EQ(s->signing_time.load(), 5);
  EXPECT_EQ(s->recipient_format.load(), 3);
  // The stop forgets everything; the next start writes the defaults again.
  QL_cleanup();
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  EXPECT_EQ(QL_settings_get()->include_certs.load(), 0);
}

TEST_F(FrameTest, OnlyTwoCiphersAreAllowed) {
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  QL_SETTINGS* s = QL_settings_get();
  const struct {
    const char* name;
    int code;
    const char* is_a;  // the cipher in place afterwards
  } rows[] = {
      {"DES-EDE3-CBC", 0, "DES-EDE3-CBC"},
      {"RUS-GAMMAR", 0, "RUS-GAMMAR"},
      {"des-ede3-cbc", 0, "DES-EDE3-CBC"},         // the long name
      {"DES-CBC", QL_ERR_CIPHER, "DES-EDE3-CBC"},  // known, but not allowed
      {"RUS-GAMMA", QL_ERR_CIPHER, "DES-EDE3-CBC"},
      {"AES-256-CBC", QL_ERR_CIPHER, "DES-EDE3-CBC"},
      {"MD5", QL_ERR_CIPHER, "DES-EDE3-CBC"},  // an object, not a cipher
      {"no such cipher", QL_ERR_CIPHER, "DES-EDE3-CBC"},
      {"", QL_ERR_CIPHER, "DES-EDE3-CBC"},
      {nullptr, QL_ERR_CIPHER, "DES-EDE3-CBC"},
  };
  for (const auto& row : rows) {
    const std::string what = row.name != nullptr ? row.name : "(null)";
    EXPECT_EQ(QL_set_cipher(row.name), row.code) << what;
    ASSERT_NE(s->cipher.load(), nullptr) << what;
    const bool gost = s->cipher.load() == qcrypto::EVP_rus_gammar();
    EXPECT_EQ(gost, std::string(row.is_a) == "RUS-GAMMAR") << what;
    if (!gost) {
      EXPECT_TRUE(EVP_CIPHER_is_a(s->cipher.load(), row.is_a)) << what;
    }
  }
}

TEST(FrameFlags, CheckOptionsMapToVerificationFlags) {
  const struct {
    unsigned options;
    unsigned long flags;
  } rows[] = {
      {0x0, 0x1808},   {0x1, 0x1A08},      {0x2, 0x1C08},     {0x4, 0x801808},      {0x8, 0x30180C}, {0x10, 0x1041808},
      {0x20, 0x1800},  {0x40, 0x1008},     {0x140, 0x1808},   {0x80, 0x808},        {0x280, 0x1808}, {0xE0, 0x0},
      {0x3E0, 0x1800}, {0x3FF, 0x1B41E04}, {0x1F, 0x1B41E0C}, {0xFFFFFC00, 0x1808},
  };
  for (const auto& row : rows) EXPECT_EQ(QL_verify_flags(row.options), row.flags) << std::hex << row.options;
}

// A counting allocator, to see which functions serve which block.
std::atomic<int> g_allocs{0}, g_frees{0};
void* counting_malloc(std::size_t n) {
  ++g_allocs;
  return std::malloc(n);
}
void* counting_realloc(void* p, std::size_t n) { return std::realloc(p, n); }
void counting_free(void* p) {
  ++g_frees;
  std::free(p);
}

TEST(FrameMemory, AllocatorIsReplacedWholeOrNotAtAll) {
  void* before = QL_malloc(10);
  ASSERT_NE(before, nullptr);
  // One missing function changes nothing.
  EXPECT_EQ(QL_set_mem_functions(nullptr, counting_realloc, counting_free), 0);
  EXPECT_EQ(QL_set_mem_functions(counting_malloc, nullptr, counting_free), 0);
  EXPECT_EQ(QL_set_mem_functions(counting_malloc, counting_realloc, nullptr), 0);
  void* still_stock = QL_malloc(10);
  EXPECT_EQ(g_allocs.load(), 0);
  ASSERT_EQ(QL_set_mem_functions(counting_malloc, counting_realloc, counting_free), 1);
  char* text = QL_strdup("key file");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "key file");
  EXPECT_EQ(g_allocs.load(), 1);
  QL_free(text);
  EXPECT_EQ(g_frees.load(), 1);
  // Blocks made before the switch go back to the allocator that made them
  // (ASan reports a mismatch otherwise).
  QL_free(before);
  QL_free(still_stock);
  EXPECT_EQ(g_frees.load(), 1);
  QL_free(nullptr);
  QL_set_last_error(0);
  EXPECT_EQ(QL_malloc(SIZE_MAX), nullptr);
  EXPECT_EQ(QL_get_last_error(), QL_ERR_MEMORY);
  ASSERT_EQ(QL_set_mem_functions(std::malloc, std::realloc, std::free), 1);
}

TEST(FrameLastError, PerThreadAndClearedWithTheErrorQueue) {
  QL_set_last_error(186);
  EXPECT_EQ(QL_get_last_error(), 186);
  int other = -1;
  std::thread([&] { other = QL_get_last_error(); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(QL_get_last_error(), 186);
  qcrypto::ERR_clear_error();
  EXPECT_EQ(QL_get_last_error(), 0);
}

struct Call {
  int stage;
  long done, total;
  void* user;
  bool operator==(const Call&) const = default;
};
thread_local std::vector<Call> t_calls;
thread_local int t_cancel_at = -1;  // 0-based call that answers 0
int record_progress(int stage, long done, long total, void* user) {
  t_calls.push_back({stage, done, total, user});
  return static_cast<int>(t_calls.size()) - 1 == t_cancel_at ? 0 : 1;
}

TEST_F(FrameTest, ProgressProtocol) {
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  int word = 0;
  ASSERT_EQ(QL_set_progress_callback(record_progress, &word), 0);
  // (total, stage, whether the operation ends with end()) -> the calls.
  const struct {
    long total;
    int stage;
    bool ends;
    std::vector<long> done;
  } rows[] = {
      {10000, QL_STAGE_VERIFY, true, {0, 4096, 8192, 10000}},
      {8192, QL_STAGE_DECRYPT, true, {0, 4096, 8192}},  // the last block reached the total
      {0, QL_STAGE_DECRYPT, true, {0}},
      {5000, QL_STAGE_SIGN, false, {0, 4096, 5000}},
      {4096, QL_STAGE_ENCRYPT, false, {0, 4096}},
  };
  for (const auto& row : rows) {
    t_calls.clear();
    ProgressReport report(row.stage, row.total);
    EXPECT_EQ(report.begin(), 0);
    for (long left = row.total; left > 0; left -= static_cast<long>(QL_BLOCK_BYTES))
      EXPECT_EQ(report.advance(std::min<std::size_t>(QL_BLOCK_BYTES, static_cast<std::size_t>(left))), 0);
    if (row.ends) {
      EXPECT_EQ(report.end(), 0);
    }
    std::vector<Call> want;
    for (long d : row.done) want.push_back({row.stage, d, row.total, &word});
    EXPECT_EQ(t_calls, want) << row.total;
  }
  // A read that stopped short still ends at the total.
  t_calls.clear();
  ProgressReport short_read(QL_STAGE_VERIFY, 9000);
  short_read.begin();
  short_read.advance(4096);
  short_read.end();
  EXPECT_EQ(t_calls.back(), (Call{QL_STAGE_VERIFY, 9000, 9000, &word}));
  // A 0 at any call is a cancel.
  for (int at = 0; at < 3; ++at) {
    t_calls.clear();
    t_cancel_at = at;
    ProgressReport report(QL_STAGE_SIGN, 8192);
    std::vector<int> codes = {report.begin(), report.advance(4096), report.advance(4096)};
    EXPECT_EQ(codes[static_cast<size_t>(at)], QL_ERR_CANCELLED) << at;
    for (int i = 0; i < at; ++i) EXPECT_EQ(codes[static_cast<size_t>(i)], 0) << at;
  }
  t_cancel_at = -1;
  // Another thread's operation does not see this thread's callback.
  std::thread([] {
    ProgressReport report(QL_STAGE_SIGN, 4096);
    EXPECT_EQ(report.begin(), 0);
    EXPECT_TRUE(t_calls.empty());
  }).join();
  // Removed: nothing is called.
  ASSERT_EQ(QL_set_progress_callback(nullptr, nullptr), 0);
  t_calls.clear();
  ProgressReport quiet(QL_STAGE_SIGN, 10);
  EXPECT_EQ(quiet.begin(), 0);
  EXPECT_TRUE(t_calls.empty());
}

// An operation that still holds the session when the last QL_cleanup runs
// keeps its session until it lets go; the toolkit is stopped meanwhile and
// the next start gets a fresh session.
TEST_F(FrameTest, SessionOutlivesTheStopOnlyForItsHolder) {
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  QL_SESSION* a = QL_session_get();
  QL_SESSION* b = QL_session_get();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->references, 3);
  QL_session_release(b);
  EXPECT_EQ(QL_cleanup(), 0);
  EXPECT_EQ(QL_is_initialized(), 0);
  EXPECT_EQ(QL_session_get(), nullptr);
  EXPECT_NE(a->store, nullptr);
  EXPECT_EQ(a->references, 1);
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  QL_SESSION* fresh = QL_session_get();
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, a);
  EXPECT_NE(fresh->store, nullptr);
  QL_session_release(fresh);
  QL_session_release(a);  // frees it (ASan: no leak, no double free)
  QL_session_release(nullptr);
}

TEST_F(FrameTest, StartsStopsAndSessionsFromManyThreads) {
  constexpr int kThreads = 8, kRounds = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (QL_init(nullptr, 0) != 0) ++failures;
        QL_SESSION* s = QL_session_get();
        if (s == nullptr || s->store == nullptr) ++failures;
        if (QL_set_include_certs(t) != 0 || QL_settings_get() == nullptr) ++failures;
        QL_session_release(s);
        QL_cleanup();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(QL_is_initialized(), 0);
}

TEST(FrameCallbacks, NullIsIgnoredExceptForTheToken) {
  auto medium = [](int, int, int) { return 1; };
  auto token = [](char*, int, int, void*) { return 4; };
  QL_set_medium_message_callback(medium);
  QL_set_medium_message_callback(nullptr);
  EXPECT_EQ(QL_medium_message_callback(), +medium);
  QL_set_token_password_callback(token);
  EXPECT_EQ(QL_token_password_callback(), +token);
  QL_set_token_password_callback(nullptr);
  EXPECT_EQ(QL_token_password_callback(), nullptr);
}

}  // namespace
}  // namespace quillon2
