#include "platform/environment.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

std::optional<std::string> env(const char* name) {
  if (name == nullptr) return std::nullopt;
  static std::mutex lock;
  std::lock_guard<std::mutex> g(lock);
  // The one reader of the environment: the value is copied out under the lock, and the product
  // never writes the environment while threads run (see environment.h).
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read under the lock, never written once threads run
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string errno_text(int err) {
  char buffer[256];
  // The GNU strerror_r returns either its own static text or the buffer.
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string("error ") + std::to_string(err);
}

}  // namespace platform
