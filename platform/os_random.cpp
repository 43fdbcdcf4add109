#include "platform/os_random.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>

namespace platform {
namespace {

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<int> g_getrandom_errno{0};
std::atomic<bool> g_urandom_fails{false};
#endif

ssize_t call_getrandom(unsigned char* p, std::size_t length) {
#ifdef QCRYPTO_TEST_HOOKS
  if (const int e = g_getrandom_errno.load(); e != 0) {
    errno = e;
    return -1;
  }
#endif
  return getrandom(p, length, 0);
}

bool from_urandom(unsigned char* p, std::size_t length) {
#ifdef QCRYPTO_TEST_HOOKS
  if (g_urandom_fails.load()) {
    errno = ENOENT;
    return false;
  }
#endif
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  while (length > 0) {
    const ssize_t n = read(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      break;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return length == 0;
}

}  // namespace

#ifdef QCRYPTO_TEST_HOOKS
void os_random_set_failure(int getrandom_errno, bool urandom_fails) {
  g_getrandom_errno.store(getrandom_errno);
  g_urandom_fails.store(urandom_fails);
}
#endif

bool os_random_bytes(void* buffer, std::size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t n = call_getrandom(p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A kernel without the call, or a sandbox that filters it, may still
      // offer the device.
      return from_urandom(p, length);
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
