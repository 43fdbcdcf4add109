#include "platform/os_random.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace platform {
namespace {

bool from_urandom(unsigned char* p, std::size_t length) {
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  while (length > 0) {
    const ssize_t n = read(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  close(fd);
  return length == 0;
}

}  // namespace

bool os_random_bytes(void* buffer, std::size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t n = getrandom(p, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == ENOSYS ? from_urandom(p, length) : false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
