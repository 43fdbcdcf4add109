// Start and stop of the crypto library: reference counting, what the first
// start and the last stop do, media libraries by name, many threads at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cadb/cclib_media.h"
#include "crypto/cadb/library.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "tests/crypto/cadb/library_test_support.h"

namespace qcrypto {
namespace {

using testing_support::LibraryRound;
using testing_support::run_library_round;

const std::string kBoards = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib";
const std::string kMediaProbe = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/media-probe";

// A reason text of the system's own random library (69/100), present only
// while the error texts are loaded.
bool own_texts_loaded() { return ERR_reason_error_string(ERR_PACK_CODE(69, 0, RAND_R_METHOD_NOT_SET)) != nullptr; }

struct LibraryState {
  int references;
  int media_loaded;
  bool texts;
  bool random;
};

LibraryState state() {
  return {cadb_library_references(), CCLIB_media_loaded(), own_texts_loaded(), RAND_get_rand_method() != nullptr};
}

class LibraryStartStop : public ::testing::Test {
 protected:
  void SetUp() override {
    // The random boards and the one media library stand-in; a Crypton board
    // is fitted so the first start can seed the software generator.
    ::setenv("DOSSAR_LIB_PATH", (kBoards + ":" + kMediaProbe).c_str(), 1);
    ::setenv("DOSSAR_STANDIN_CRYPTON", "present", 1);
    ASSERT_EQ(cadb_library_references(), 0) << "a previous test left references";
  }
  void TearDown() override {
    while (cadb_library_references() > 0) cadb_library_cleanup();
    ::unsetenv("DOSSAR_STANDIN_CRYPTON");
  }
};

TEST_F(LibraryStartStop, FirstStartPreparesAndLastStopUndoes) {
  const LibraryState before = state();
  EXPECT_EQ(before.media_loaded, 0);
  EXPECT_FALSE(before.texts);
  EXPECT_FALSE(before.random);

  cadb_library_init();
  LibraryState s = state();
  EXPECT_EQ(s.references, 1);
  EXPECT_EQ(s.media_loaded, 1);
  EXPECT_TRUE(s.texts);
  EXPECT_TRUE(s.random) << "the generator was not seeded from the fitted board";
  EXPECT_EQ(cadb_library_registered(), 1);

  // Two starts and one stop leave everything in place.
  cadb_library_init();
  EXPECT_EQ(cadb_library_references(), 2);
  cadb_library_cleanup();
  s = state();
  EXPECT_EQ(s.references, 1);
  EXPECT_EQ(s.media_loaded, 1);
  EXPECT_TRUE(s.texts);
  EXPECT_TRUE(s.random);

  // The second stop undoes the start; the registrations stay.
  cadb_library_cleanup();
  s = state();
  EXPECT_EQ(s.references, 0);
  EXPECT_EQ(s.media_loaded, 0);
  EXPECT_FALSE(s.texts);
  EXPECT_FALSE(s.random);
  EXPECT_EQ(cadb_library_registered(), 1);
}

TEST_F(LibraryStartStop, StopWithoutStartChangesNothing) {
  cadb_library_cleanup();
  cadb_library_cleanup();
  EXPECT_EQ(cadb_library_references(), 0);
  EXPECT_EQ(CCLIB_media_loaded(), 0);

  // The count did not go below 0: one start is a first start, and one stop
  // (not two) is the last one.
  cadb_library_init();
  EXPECT_EQ(cadb_library_references(), 1);
  EXPECT_EQ(CCLIB_media_loaded(), 1);
  EXPECT_TRUE(own_texts_loaded());
  cadb_library_init();
  cadb_library_cleanup();
  EXPECT_EQ(CCLIB_media_loaded(), 1);
  cadb_library_cleanup();
  EXPECT_EQ(CCLIB_media_loaded(), 0);

  // A stop at 0 while started elsewhere before does not undo anything either.
  cadb_library_init();
  cadb_library_cleanup();
  cadb_library_cleanup();
  cadb_library_init();
  EXPECT_EQ(cadb_library_references(), 1);
  EXPECT_TRUE(state().random);
  cadb_library_cleanup();
}

TEST_F(LibraryStartStop, MissingMediaLibrariesLeaveOnlyTheirMediumUnusable) {
  struct Case {
    const char* folders;
    int expected[CCLIB_MEDIA_COUNT];
  };
  const std::string with_probe = kBoards + ":" + kMediaProbe;
  const Case cases[] = {
      {with_probe.c_str(), {1, 0, 0}},  // only the older token API's library is there
      {kBoards.c_str(), {0, 0, 0}},     // none of them
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folders);
    ::setenv("DOSSAR_LIB_PATH", c.folders, 1);
    cadb_library_init();
    EXPECT_EQ(cadb_library_references(), 1);
    EXPECT_EQ(CCLIB_media_loaded(), 1);
    for (int m = 0; m < CCLIB_MEDIA_COUNT; ++m)
      EXPECT_EQ(CCLIB_medium_usable(m), c.expected[m]) << CCLIB_media_library_name(m);
    // The rest of the library works all the same.
    const unsigned char msg[] = "missing media";
    LibraryRound r;
    run_library_round(msg, sizeof(msg), &r);
    EXPECT_EQ(r.digest_matches, 1);
    EXPECT_EQ(r.signature_verifies, 1);
    cadb_library_cleanup();
    for (int m = 0; m < CCLIB_MEDIA_COUNT; ++m) EXPECT_EQ(CCLIB_medium_usable(m), 0);
  }
  EXPECT_EQ(CCLIB_medium_usable(-1), 0);
  EXPECT_EQ(CCLIB_medium_usable(CCLIB_MEDIA_COUNT), 0);
}

TEST_F(LibraryStartStop, CclibInitTwiceBindsOnceAndResetsTheRandomMethodOnlyThen) {
  static const RAND_METHOD kMarker = {};
  EXPECT_EQ(CCLIB_init(), 1);
  EXPECT_EQ(CCLIB_media_loaded(), 1);
  RAND_set_rand_method(&kMarker);
  // Bound already: nothing happens, the installed method stays.
  EXPECT_EQ(CCLIB_init(), 1);
  EXPECT_EQ(RAND_get_rand_method(), &kMarker);
  CCLIB_cleanup();
  EXPECT_EQ(CCLIB_media_loaded(), 0);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
  // A fresh bind resets whatever method is in place.
  RAND_set_rand_method(&kMarker);
  EXPECT_EQ(CCLIB_init(), 1);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
  CCLIB_cleanup();
  CCLIB_cleanup();  // unbound: nothing
  EXPECT_EQ(CCLIB_media_loaded(), 0);
}

TEST_F(LibraryStartStop, StartAgainAfterTheLastStopWorks) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<unsigned char> msg(100 + 37 * static_cast<std::size_t>(round), static_cast<unsigned char>(round));
    LibraryRound r;
    run_library_round(msg.data(), msg.size(), &r);
    EXPECT_EQ(r.references_while_started, 1);
    EXPECT_EQ(r.references_after_stop, 0);
    EXPECT_EQ(r.registered, 1);
    EXPECT_EQ(r.random_installed, 1);
    EXPECT_EQ(r.digest_matches, 1);
    EXPECT_EQ(r.signature_verifies, 1);
    EXPECT_EQ(r.flipped_signature_fails, 1);
    EXPECT_EQ(r.record_key_refused, 0);
    EXPECT_EQ(r.spki_verifies, 1);
    EXPECT_EQ(r.flipped_spki_fails, 1);
    EXPECT_EQ(state().media_loaded, 0);
  }
}

// Many threads start (the first starts racing), check that what a started
// library offers is there, work, and stop; the count ends at 0 and nothing
// is left loaded.
TEST_F(LibraryStartStop, ManyThreadsStartAndStopAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  std::barrier go(kThreads);
  std::atomic<int> not_started{0}, broken_work{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        cadb_library_init();
        if (cadb_library_references() < 1 || CCLIB_media_loaded() != 1 || RAND_get_rand_method() == nullptr ||
            !own_texts_loaded())
          ++not_started;
        // Every few rounds a full round nested inside this thread's reference.
        if ((i + t) % 10 == 0) {
          const unsigned char msg[] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
          LibraryRound r;
          run_library_round(msg, sizeof(msg), &r);
          if (r.digest_matches != 1 || r.signature_verifies != 1 || r.references_after_stop < 1) ++broken_work;
        }
        cadb_library_cleanup();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(not_started.load(), 0);
  EXPECT_EQ(broken_work.load(), 0);
  const LibraryState s = state();
  EXPECT_EQ(s.references, 0);
  EXPECT_EQ(s.media_loaded, 0);
  EXPECT_FALSE(s.random);
}

// Forks while other threads start and stop: every child can start, work
// and stop on its own (nothing half-done or held came across).
TEST_F(LibraryStartStop, ForkWhileOthersStartAndStop) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's allocator takes its own lock without a fork handler,
  // so a child forked while another thread allocates can hang inside free()
  // (seen: a child stuck in the sanitizer's allocator mutex). glibc's malloc
  // and ThreadSanitizer are fork-safe: the ThreadSanitizer run checks this.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe with other threads allocating";
#endif
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        cadb_library_init();
        cadb_library_cleanup();
      }
    });
  }
  int children_failed = 0;
  for (int f = 0; f < 10; ++f) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const unsigned char msg[] = "child";
      LibraryRound r;
      run_library_round(msg, sizeof(msg), &r);
      const bool ok = r.references_while_started >= 1 && r.digest_matches == 1 && r.signature_verifies == 1;
      _exit(ok ? 0 : 1);
    }
    // A child that inherited a held lock hangs: give it 20 s.
    int status = 0;
    pid_t done = 0;
    for (int waited_ms = 0; done == 0 && waited_ms < 20000; waited_ms += 10) {
      done = waitpid(pid, &status, WNOHANG);
      if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ++children_failed;
      continue;
    }
    ASSERT_EQ(done, pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++children_failed;
  }
  stop.store(true);
  for (auto& th : threads) th.join();
  EXPECT_EQ(children_failed, 0);
  EXPECT_EQ(cadb_library_references(), 0);
}

}  // namespace
}  // namespace qcrypto
