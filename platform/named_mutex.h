// A mutex known by name to every process of the user.
//
// Held by one thread at a time across all processes that open the same name,
// recursive for the thread that holds it, and let go by the kernel when the
// holding process ends (it is an flock on a file in the per-user runtime
// folder). Opening the same name twice in one process gives handles to the
// same mutex, so a thread that holds it through one handle holds it through
// all. After fork() the child starts with the mutex not held and its own
// file description, so parent and child exclude each other.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The per-user runtime folder: $XDG_RUNTIME_DIR when it is an absolute path
// to a folder of ours that nobody else may enter, else /tmp/dossar-<uid>,
// created 0700 and checked the same way. Empty when neither can be trusted.
std::string user_runtime_dir();

class NamedMutex {
 public:
  struct State;  // shared by every handle of one name in this process

  // Creates or opens the mutex (not held). Null when the runtime folder or
  // the lock file cannot be used.
  static std::unique_ptr<NamedMutex> open(std::string_view name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits without time-out. False only when the lock file fails.
  bool lock();
  bool try_lock();
  // False when the calling thread does not hold it.
  bool unlock();
  // Levels of recursion the calling thread holds (0: not held by it).
  int held_by_me() const;

  // Registers the fork handlers of every named mutex of the process (once;
  // later calls do nothing). Whoever takes its own locks around these must
  // register its handlers after this, so that its prepare handler runs
  // first. Called while the program loads, before any thread exists.
  static void install_fork_handlers();

  // The lock file of a name: the runtime folder, "dossar-lock-", the name
  // with everything but [A-Za-z0-9._-] written as %XX, ".lock".
  static std::optional<std::string> path_for(std::string_view name);

 private:
  explicit NamedMutex(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace platform
