// Whole-file reads of the toolkit's own inputs (certificate files, messages
// read whole): a regular file of at most a given size, read through one
// descriptor so the size checked is the size read.
#pragma once

#include <cstddef>
#include <vector>

namespace quillon2 {

enum class FileRead { kOk, kUnreadable, kTooLarge };

// kUnreadable when the path cannot be opened or is not a regular file (a
// pipe would block the read), kTooLarge above max_bytes.
FileRead ql_read_whole_file(const char* path, std::size_t max_bytes, std::vector<unsigned char>* out);

// A regular file of any size mapped read-only. Its pages are the page
// cache's: reading it costs the reader address space, not memory of its
// own. The file must not be cut short while it is mapped (the kernel would
// stop the reader with SIGBUS): the toolkit maps only files it reads and
// writes atomically.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // kUnreadable when the path cannot be opened, is not a regular file (a
  // pipe is not waited for) or cannot be mapped.
  FileRead open(const char* path);
  // Never null, also for an empty file.
  const unsigned char* data() const;
  std::size_t size() const { return size_; }

 private:
  void* map_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quillon2
