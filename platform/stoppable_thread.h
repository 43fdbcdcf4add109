// A thread that is asked to stop instead of being terminated: its body polls
// a flag and returns; stop() sets the flag and waits for the return.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace platform {

class StoppableThread {
 public:
  using Body = std::function<void(const std::atomic<bool>& stop_requested)>;

  StoppableThread() = default;
  ~StoppableThread() { stop(); }
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  // Starts `body` on a new thread with a stack of at least `stack_bytes`
  // (raised to what the system and the sanitizers need). False when a thread
  // is already running or cannot be created.
  bool start(Body body, std::size_t stack_bytes = 0);
  // Sets the flag and joins; nothing when no thread runs.
  void stop();
  bool running() const { return running_; }

 private:
  static void* trampoline(void* self);

  Body body_;
  std::atomic<bool> stop_{false};
  pthread_t thread_{};
  bool running_ = false;
};

}  // namespace platform
