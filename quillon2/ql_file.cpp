#include "quillon2/ql_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "crypto/cclib/regular_file.h"

namespace quillon2 {

FileRead ql_read_whole_file(const char* path, std::size_t max_bytes, std::vector<unsigned char>* out) {
  out->clear();
  const int fd = qcrypto::open_regular_file(path);
  if (fd < 0) return FileRead::kUnreadable;
  struct stat st {};
  FileRead result = FileRead::kOk;
  if (::fstat(fd, &st) != 0) {
    result = FileRead::kUnreadable;
  } else if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
    result = FileRead::kTooLarge;
  } else {
    out->resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < out->size()) {
      const ssize_t n = ::read(fd, out->data() + got, out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    out->resize(got);
  }
  ::close(fd);
  return result;
}

}  // namespace quillon2
