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

}  // namespace quillon2
