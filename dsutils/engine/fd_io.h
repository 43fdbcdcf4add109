// Whole writes to a file descriptor for the engine's file copies and lock
// files, and the folder sync that makes a rename or a new name last.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

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

// Syncs a folder, so that the names made or renamed in it survive a power
// loss: 0 or an errno value.
int sync_folder(const char* folder);

#ifdef QCRYPTO_TEST_HOOKS
// The folders synced since the last call; and, while set, every folder sync
// fails with EIO.
std::vector<std::string> sync_folder_test_calls();
void sync_folder_test_fail(bool fail);
#endif

}  // namespace dsutils
