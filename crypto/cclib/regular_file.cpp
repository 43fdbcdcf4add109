#include "crypto/cclib/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qcrypto {

int open_regular_file(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int flags = regular ? ::fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = regular ? errno : EINVAL;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

UniquePtr<BIO> open_regular_file_bio(const char* path) {
  const int fd = open_regular_file(path);
  if (fd < 0) return nullptr;
  FILE* fp = ::fdopen(fd, "rb");
  if (fp == nullptr) {
    ::close(fd);
    return nullptr;
  }
  UniquePtr<BIO> bio(BIO_new_fp(fp, BIO_CLOSE));
  if (!bio) std::fclose(fp);
  return bio;
}

}  // namespace qcrypto
