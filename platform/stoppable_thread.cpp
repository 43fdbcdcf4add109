#include "platform/stoppable_thread.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform {
namespace {

// Below this the sanitizers' own bookkeeping overflows a thread's stack.
constexpr std::size_t kStackFloor = 64 * 1024;

}  // namespace

void* StoppableThread::trampoline(void* self) {
  auto* t = static_cast<StoppableThread*>(self);
  t->body_(t->stop_);
  return nullptr;
}

bool StoppableThread::start(Body body, std::size_t stack_bytes) {
  if (running_ || !body) return false;
  body_ = std::move(body);
  stop_.store(false);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const long sys_min = sysconf(_SC_THREAD_STACK_MIN);
  std::size_t size = std::max({stack_bytes, kStackFloor, sys_min > 0 ? static_cast<std::size_t>(sys_min) : 0});
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0)
    size =
        (size + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page) * static_cast<std::size_t>(page);
  pthread_attr_setstacksize(&attr, size);
  const int rc = pthread_create(&thread_, &attr, &StoppableThread::trampoline, this);
  pthread_attr_destroy(&attr);
  running_ = rc == 0;
  if (!running_) body_ = nullptr;
  return running_;
}

void StoppableThread::stop() {
  if (!running_) return;
  stop_.store(true);
  pthread_join(thread_, nullptr);
  running_ = false;
  body_ = nullptr;
}

}  // namespace platform
