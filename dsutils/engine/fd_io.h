// Whole writes to a file descriptor for the engine's file copies and lock
// files.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace dsutils {

// write() may write less than asked or be interrupted; false on any other
// failure, with errno as write left it.
inline bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace dsutils
