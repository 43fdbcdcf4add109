// Inputs that are names of something other than a regular file: a FIFO that
// nobody writes to and a folder. A reader that opens the FIFO the blocking
// way waits for a writer for ever, so each call runs in a thread with a
// deadline; past it the FIFO's other end is opened and closed until the
// call comes back, and the call is reported as hung instead of hanging the
// test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct NonRegularInput {
  const char* what;
  std::string path;
};

// A FIFO and a folder made in `dir`; empty when either cannot be made.
inline std::vector<NonRegularInput> make_nonregular_inputs(const std::string& dir) {
  const std::string fifo = dir + "/fifo";
  const std::string folder = dir + "/folder";
  if (::mkfifo(fifo.c_str(), 0600) != 0 || ::mkdir(folder.c_str(), 0700) != 0) return {};
  return {{"fifo", fifo}, {"folder", folder}};
}

// The call's result, or nothing when it had not come back by the deadline.
template <class Call>
auto call_with_deadline(const std::string& fifo, Call call,
                        std::chrono::milliseconds deadline = std::chrono::seconds(10))
    -> std::optional<decltype(call())> {
  auto done = std::async(std::launch::async, std::move(call));
  if (done.wait_for(deadline) == std::future_status::ready) return done.get();
  // A writer that comes and goes lets a blocked open through; its reads then
  // see the end of the input.
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  (void)done.get();
  return std::nullopt;
}

}  // namespace test_support
