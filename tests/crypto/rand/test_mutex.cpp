// The generator's named mutex, alone and shared by two processes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "platform/named_mutex.h"
#include "tests/crypto/rand/rand_test_support.h"

namespace qcrypto {
namespace {

using testing_support::RandTest;

class RandMutexTest : public RandTest {
 protected:
  void SetUp() override {
    RandTest::SetUp();
    std::string tmpl = ::testing::TempDir() + "rm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    mprand_mutex_close();
    if (auto p = platform::NamedMutex::path_for(kRandomMutexName)) unlink(p->c_str());
    unlink((dir_ + "/state").c_str());
    rmdir(dir_.c_str());
    unsetenv("XDG_RUNTIME_DIR");
    RandTest::TearDown();
  }
  std::string dir_;
};

TEST_F(RandMutexTest, CreateLockUnlockClose) {
  EXPECT_EQ(mprand_lock(), 0);  // no handle yet
  EXPECT_EQ(mprand_unlock(), 0);
  ASSERT_EQ(mprand_mutex_create(), 1);
  ASSERT_EQ(mprand_mutex_create(), 1);  // keeps the open handle
  EXPECT_EQ(mprand_lock(), 1);
  EXPECT_EQ(mprand_lock(), 1);  // recursive for this thread
  // The lock file carries the system's name.
  auto other = platform::NamedMutex::open(kRandomMutexName);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->held_by_me(), 2);
  EXPECT_EQ(mprand_unlock(), 1);
  EXPECT_EQ(mprand_unlock(), 1);
  EXPECT_EQ(mprand_unlock(), 0);  // not held
  mprand_mutex_close();
  EXPECT_EQ(mprand_lock(), 0);
}

// Two processes refresh one saved state under the mutex, the way key
// containers do: read it, seed nothing new, draw a fresh state, write it.
// No refresh is lost and no state is ever produced twice.
TEST_F(RandMutexTest, TwoProcessesShareTheStateFile) {
  const std::string state = dir_ + "/state";
  struct Record {
    uint32_t count;
    unsigned char bytes[32];
  };
  {
    const int fd = open(state.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    Record zero{};
    ASSERT_EQ(pwrite(fd, &zero, sizeof(zero), 0), static_cast<ssize_t>(sizeof(zero)));
    close(fd);
  }
  RAND_set_rand_method(GRAND_method());
  unsigned char seed[32] = {7};
  ASSERT_EQ(RAND_seed(seed, 32), 1);
  ASSERT_EQ(mprand_mutex_create(), 1);

  constexpr int kRounds = 100;
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  // Each round appends the state it wrote to `log_fd`.
  auto work = [&state](int log_fd) -> bool {
    const int fd = open(state.c_str(), O_RDWR);
    if (fd < 0) return false;
    for (int i = 0; i < kRounds; ++i) {
      if (mprand_lock() != 1) return false;
      Record r{};
      if (pread(fd, &r, sizeof(r), 0) != static_cast<ssize_t>(sizeof(r))) return false;
      sched_yield();
      r.count += 1;
      if (RAND_bytes(r.bytes, 32) != 32) return false;
      if (pwrite(fd, &r, sizeof(r), 0) != static_cast<ssize_t>(sizeof(r))) return false;
      if (mprand_unlock() != 1) return false;
      if (write(log_fd, r.bytes, 32) != 32) return false;
    }
    close(fd);
    return true;
  };
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipe_fds[0]);
    const bool ok = work(pipe_fds[1]);
    close(pipe_fds[1]);
    _exit(ok ? 0 : 1);
  }
  close(pipe_fds[1]);
  int mine[2];
  ASSERT_EQ(pipe(mine), 0);
  // The parent logs into a pipe of its own; it is drained after the child's.
  // Both logs are read after the work: 100 * 32 bytes fit in a pipe.
  std::vector<unsigned char> child_log, parent_log;
  const bool parent_ok = work(mine[1]);
  close(mine[1]);
  auto drain = [](int fd, std::vector<unsigned char>& into) {
    unsigned char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) into.insert(into.end(), buf, buf + n);
    close(fd);
  };
  drain(pipe_fds[0], child_log);
  drain(mine[0], parent_log);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(parent_ok);

  Record final_record{};
  const int fd = open(state.c_str(), O_RDONLY);
  ASSERT_EQ(pread(fd, &final_record, sizeof(final_record), 0), static_cast<ssize_t>(sizeof(final_record)));
  close(fd);
  EXPECT_EQ(final_record.count, 2u * kRounds);

  ASSERT_EQ(child_log.size(), 32u * kRounds);
  ASSERT_EQ(parent_log.size(), 32u * kRounds);
  std::set<std::string> states;
  for (const auto* log : {&child_log, &parent_log}) {
    for (std::size_t at = 0; at < log->size(); at += 32)
      states.emplace(reinterpret_cast<const char*>(log->data() + at), 32);
  }
  EXPECT_EQ(states.size(), 2u * kRounds) << "a state was produced twice";
}

}  // namespace
}  // namespace qcrypto
