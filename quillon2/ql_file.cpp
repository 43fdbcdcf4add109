#include "quillon2/ql_file.h"

#include <sys/mman.h>
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

MappedFile::~MappedFile() {
  if (map_ != nullptr) ::munmap(map_, size_);
}

FileRead MappedFile::open(const char* path) {
  if (map_ != nullptr) ::munmap(map_, size_);
  map_ = nullptr;
  size_ = 0;
  const int fd = qcrypto::open_regular_file(path);
  if (fd < 0) return FileRead::kUnreadable;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return FileRead::kUnreadable;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  FileRead result = FileRead::kOk;
  if (size > 0) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      result = FileRead::kUnreadable;
    } else {
      // Read once from front to back: read ahead, and drop what was read
      // first when memory runs short.
      ::madvise(map, size, MADV_SEQUENTIAL);
      map_ = map;
      size_ = size;
    }
  }
  ::close(fd);
  return result;
}

const unsigned char* MappedFile::data() const {
  static const unsigned char kEmpty = 0;
  return map_ != nullptr ? static_cast<const unsigned char*>(map_) : &kEmpty;
}

}  // namespace quillon2
