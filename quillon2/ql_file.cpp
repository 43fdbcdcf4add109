#include "quillon2/ql_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillon2 {
namespace {

// A descriptor of a regular file and its length, or -1. Opened without
// blocking, so that a pipe or a device behind the name is refused at once.
int open_regular(const char* path, struct stat* st) {
  if (path == nullptr || path[0] == '\0') return -1;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

FileRead ql_read_whole_file(const char* path, std::size_t max_bytes, std::vector<unsigned char>* out) {
  out->clear();
  struct stat st {};
  const int fd = open_regular(path, &st);
  if (fd < 0) return FileRead::kUnreadable;
  FileRead result = FileRead::kOk;
  if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
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
  struct stat st {};
  const int fd = open_regular(path, &st);
  if (fd < 0) return FileRead::kUnreadable;
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
