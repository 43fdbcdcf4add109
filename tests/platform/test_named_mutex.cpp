#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"

namespace platform {
namespace {

// Every test gets a runtime folder of its own, so parallel test processes
// never meet on a name.
class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "nm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (auto p = NamedMutex::path_for(kName)) unlink(p->c_str());
    unlink((dir_ + "/counter").c_str());
    rmdir(dir_.c_str());
    unsetenv("XDG_RUNTIME_DIR");
  }
  static constexpr const char* kName = "Quillon Random Mutex";
  std::string dir_;
};

// Waits for a child and gives its exit code (-1 when it did not exit).
int wait_child(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(NamedMutexTest, LockFilePath) {
  EXPECT_EQ(NamedMutex::path_for(kName).value(), dir_ + "/dossar-lock-Quillon%20Random%20Mutex.lock");
  EXPECT_EQ(NamedMutex::path_for("a/../b").value(), dir_ + "/dossar-lock-a%2F..%2Fb.lock");
  EXPECT_FALSE(NamedMutex::path_for("").has_value());
}

TEST_F(NamedMutexTest, RuntimeFolderMustBeOurs) {
  EXPECT_EQ(user_runtime_dir(), dir_);
  const std::string fallback = "/tmp/dossar-" + std::to_string(getuid());
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  const std::string open_dir = dir_ + "/open";
  ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0755), 0);
  const Case cases[] = {
      {"unset", [] { unsetenv("XDG_RUNTIME_DIR"); }},
      {"relative", [] { setenv("XDG_RUNTIME_DIR", "relative/dir", 1); }},
      {"missing", [] { setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime", 1); }},
      {"open to others", [&] { setenv("XDG_RUNTIME_DIR", open_dir.c_str(), 1); }},
  };
  for (const auto& c : cases) {
    c.arrange();
    EXPECT_EQ(user_runtime_dir(), fallback) << c.what;
  }
  struct stat st {};
  ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, getuid());
  rmdir(open_dir.c_str());
}

TEST_F(NamedMutexTest, RecursiveForTheOwner) {
  auto m = NamedMutex::open(kName);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->unlock());  // not held
  ASSERT_TRUE(m->lock());
  ASSERT_TRUE(m->lock());
  ASSERT_TRUE(m->try_lock());
  EXPECT_EQ(m->held_by_me(), 3);
  EXPECT_TRUE(m->unlock());
  EXPECT_TRUE(m->unlock());
  EXPECT_TRUE(m->unlock());
  EXPECT_EQ(m->held_by_me(), 0);
  EXPECT_FALSE(m->unlock());
}

TEST_F(NamedMutexTest, ThreadsOfOneProcessExcludeEachOther) {
  auto m = NamedMutex::open(kName);
  auto other_handle = NamedMutex::open(kName);  // the same mutex
  ASSERT_TRUE(m && other_handle);
  ASSERT_TRUE(m->lock());
  EXPECT_EQ(other_handle->held_by_me(), 1);
  std::atomic<int> stage{0};
  std::thread t([&] {
    stage.store(other_handle->try_lock() ? 2 : 1);
    if (stage.load() == 1) {
      other_handle->lock();  // waits for the main thread
      stage.store(3);
      other_handle->unlock();
    }
  });
  while (stage.load() == 0) std::this_thread::yield();
  EXPECT_EQ(stage.load(), 1) << "another thread got a held mutex";
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  EXPECT_NE(stage.load(), 3) << "got in before the holder let go";
  EXPECT_TRUE(m->unlock());
  t.join();
  EXPECT_EQ(stage.load(), 3);
  // Counting under the lock from several threads loses nothing.
  long counter = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        m->lock();
        const long v = counter;
        std::this_thread::yield();
        counter = v + 1;
        m->unlock();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 8000);
}

// Parent and child: a held mutex is refused to the other process until it
// is released; the child has a description of its own after fork().
TEST_F(NamedMutexTest, ExcludesAnotherProcess) {
  auto m = NamedMutex::open(kName);
  ASSERT_TRUE(m);
  ASSERT_TRUE(m->lock());
  int checked[2], go[2];
  ASSERT_EQ(pipe(checked), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(checked[0]);
    close(go[1]);
    // Inherited handle and a fresh one: both are this process's mutex, not
    // held here, and refused while the parent holds it.
    if (m->held_by_me() != 0) _exit(9);
    if (m->try_lock()) _exit(10);
    auto fresh = NamedMutex::open(kName);
    if (!fresh || fresh->try_lock()) _exit(11);
    if (write(checked[1], "c", 1) != 1) _exit(12);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(13);
    if (!fresh->lock()) _exit(14);  // the parent has let go by now
    fresh->unlock();
    _exit(0);
  }
  close(checked[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(read(checked[0], &c, 1), 1) << "child exit " << wait_child(pid);
  EXPECT_EQ(m->held_by_me(), 1);
  ASSERT_TRUE(m->unlock());
  ASSERT_EQ(write(go[1], "x", 1), 1);
  close(go[1]);
  close(checked[0]);
  EXPECT_EQ(wait_child(pid), 0);
}

// Another thread holds the mutex, twice over, when the process forks: the
// child neither inherits that hold nor blocks on it; it waits for the
// parent's process-wide lock like any other process, then gets it.
TEST_F(NamedMutexTest, ForkWhileAnotherThreadHoldsIt) {
  auto m = NamedMutex::open(kName);
  ASSERT_TRUE(m);
  std::atomic<int> stage{0};
  std::thread holder([&] {
    m->lock();
    m->lock();
    stage.store(1);
    while (stage.load() != 2) std::this_thread::yield();
    m->unlock();
    m->unlock();
  });
  while (stage.load() != 1) std::this_thread::yield();
  int checked[2], go[2];
  ASSERT_EQ(pipe(checked), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(checked[0]);
    close(go[1]);
    alarm(30);  // a child stuck on the parent's thread dies instead of hanging the test
    if (m->held_by_me() != 0) _exit(9);
    if (m->unlock()) _exit(10);    // the parent thread's hold is not ours
    if (m->try_lock()) _exit(11);  // the parent process still holds it
    if (write(checked[1], "c", 1) != 1) _exit(12);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(13);
    if (!m->lock() || !m->lock()) _exit(14);
    if (m->held_by_me() != 2) _exit(15);
    if (!m->unlock() || !m->unlock() || m->unlock()) _exit(16);
    _exit(0);
  }
  close(checked[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(read(checked[0], &c, 1), 1) << "child exit " << wait_child(pid);
  stage.store(2);
  holder.join();
  EXPECT_EQ(m->held_by_me(), 0);
  ASSERT_EQ(write(go[1], "x", 1), 1);
  close(go[1]);
  close(checked[0]);
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_TRUE(m->try_lock());  // the child let go when it ended
  m->unlock();
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderDies) {
  auto m = NamedMutex::open(kName);
  ASSERT_TRUE(m);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    if (!m->lock()) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(2);
    pause();  // killed while holding it
    _exit(3);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  EXPECT_FALSE(m->try_lock());
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(m->lock());
  m->unlock();
}

// Two processes increment a number in a file under the mutex, with a pause
// between read and write that invites lost updates.
TEST_F(NamedMutexTest, TwoProcessesCountWithoutLosingUpdates) {
  const std::string counter = dir_ + "/counter";
  {
    const int fd = open(counter.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    long zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, sizeof(zero), 0), static_cast<ssize_t>(sizeof(zero)));
    close(fd);
  }
  constexpr int kRounds = 300;
  auto work = [&counter]() -> bool {
    auto m = NamedMutex::open(kName);
    if (!m) return false;
    const int fd = open(counter.c_str(), O_RDWR);
    if (fd < 0) return false;
    for (int i = 0; i < kRounds; ++i) {
      if (!m->lock()) return false;
      long v = 0;
      if (pread(fd, &v, sizeof(v), 0) != static_cast<ssize_t>(sizeof(v))) return false;
      sched_yield();
      ++v;
      if (pwrite(fd, &v, sizeof(v), 0) != static_cast<ssize_t>(sizeof(v))) return false;
      m->unlock();
    }
    close(fd);
    return true;
  };
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(work() ? 0 : 1);
  EXPECT_TRUE(work());
  EXPECT_EQ(wait_child(pid), 0);
  const int fd = open(counter.c_str(), O_RDONLY);
  long v = -1;
  ASSERT_EQ(pread(fd, &v, sizeof(v), 0), static_cast<ssize_t>(sizeof(v)));
  close(fd);
  EXPECT_EQ(v, 2 * kRounds);
}

// A lock file planted as a symlink is not followed.
TEST_F(NamedMutexTest, SymlinkedLockFileIsRefused) {
  const std::string target = dir_ + "/elsewhere";
  const auto path = NamedMutex::path_for("linked");
  ASSERT_TRUE(path.has_value());
  ASSERT_EQ(symlink(target.c_str(), path->c_str()), 0);
  EXPECT_EQ(NamedMutex::open("linked"), nullptr);
  struct stat st {};
  EXPECT_NE(lstat(target.c_str(), &st), 0);  // nothing created through the link
  unlink(path->c_str());
}

}  // namespace
}  // namespace platform
