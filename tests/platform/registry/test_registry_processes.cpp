// Several real processes on one database: what the main program and the
// engine library do at once, and a writer killed in the middle.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/registry/registry_store.h"
#include "tests/platform/registry/registry_test_util.h"

namespace platform::reg {
namespace {

class RegistryProcesses : public testing::ScratchRegistry {};

int wait_exit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(RegistryProcesses, ConcurrentWritersToOneKeyLoseNothing) {
  constexpr int kChildren = 4;
  constexpr int kValues = 60;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char b;
      if (read(go[0], &b, 1) != 0) _exit(10);  // wait until every child is up
      std::shared_ptr<Store> s;
      if (Store::open(db_, s) != ERROR_SUCCESS) _exit(11);
      for (int i = 0; i < kValues; ++i) {
        // Every child creates the same key and writes into it.
        KeyId k = 0;
        if (s->create_key(Store::kRoot, "Shared\\Key", k) != ERROR_SUCCESS) _exit(12);
        const std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
        const std::uint32_t v = static_cast<std::uint32_t>(c * 1000 + i);
        if (s->set_value(k, name, REG_DWORD, &v, 4) != ERROR_SUCCESS) _exit(13);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);  // releases all children at once
  for (pid_t pid : kids) EXPECT_EQ(wait_exit(pid), 0);

  std::shared_ptr<Store> s;
  ASSERT_EQ(Store::open(db_, s), ERROR_SUCCESS);
  KeyId k = 0;
  ASSERT_EQ(s->open_key(Store::kRoot, "shared\\key", k), ERROR_SUCCESS);
  std::set<std::string> seen;
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  for (std::uint32_t i = 0; s->enum_value(k, i, name, &type, &data) == ERROR_SUCCESS; ++i) {
    EXPECT_EQ(type, REG_DWORD);
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kChildren * kValues));
  for (int c = 0; c < kChildren; ++c)
    for (int i = 0; i < kValues; ++i) {
      std::uint32_t v = 0, size = 4;
      ASSERT_EQ(s->query_value(k, "c" + std::to_string(c) + "_" + std::to_string(i), nullptr, &v, &size),
                ERROR_SUCCESS);
      EXPECT_EQ(v, static_cast<std::uint32_t>(c * 1000 + i));
    }
  // Only one "Shared\Key" was made although four processes created it.
  KeyId shared = 0;
  ASSERT_EQ(s->open_key(Store::kRoot, "Shared", shared), ERROR_SUCCESS);
  std::string sub;
  EXPECT_EQ(s->enum_key(shared, 1, sub), ERROR_NO_MORE_ITEMS);
}

#ifdef QCRYPTO_TEST_HOOKS
int g_signal_fd = -1;
void stop_before_commit() {
  const char b = 'x';
  (void)!write(g_signal_fd, &b, 1);
  for (;;) pause();  // killed here, inside the open transaction
}

TEST_F(RegistryProcesses, AWriterKilledInsideATransactionLeavesTheLastCommittedState) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    std::shared_ptr<Store> s;
    if (Store::open(db_, s) != ERROR_SUCCESS) _exit(11);
    KeyId k = 0;
    if (s->create_key(Store::kRoot, "Crash", k) != ERROR_SUCCESS) _exit(12);
    const std::uint32_t committed = 1;
    if (s->set_value(k, "Value", REG_DWORD, &committed, 4) != ERROR_SUCCESS) _exit(13);
    g_signal_fd = ready[1];
    Store::set_before_commit_hook(stop_before_commit);
    // A rewrite of the committed value in flight.
    const std::uint32_t pending = 2;
    s->set_value(k, "Value", REG_DWORD, &pending, 4);
    _exit(14);
  }
  close(ready[1]);
  char b = 0;
  ASSERT_EQ(read(ready[0], &b, 1), 1);
  close(ready[0]);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(wait_exit(pid), 128 + SIGKILL);

  std::shared_ptr<Store> s;
  std::string msg;
  ASSERT_EQ(Store::open(db_, s, &msg), ERROR_SUCCESS) << msg;
  KeyId k = 0;
  ASSERT_EQ(s->open_key(Store::kRoot, "Crash", k), ERROR_SUCCESS);
  std::uint32_t v = 0, size = 4;
  ASSERT_EQ(s->query_value(k, "Value", nullptr, &v, &size), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u);
  // The dead writer's lock is gone: writing works at once.
  const std::uint32_t three = 3;
  EXPECT_EQ(s->set_value(k, "Value", REG_DWORD, &three, 4), ERROR_SUCCESS);
}
#endif

}  // namespace
}  // namespace platform::reg
