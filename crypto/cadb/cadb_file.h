// Files on any key medium: whole-file reads, checked writes, erasing and the
// folder walk.
//
// The path's keyword chooses the medium (crypto/bio/media.h); "/" and "\"
// both separate folders. On the file-system medium a write goes to a
// temporary name in the target folder and is renamed into place only once
// every byte is on disk, so a failed write never costs the old file; an
// erase never follows a symbolic link. The token and Touch-Memory media
// reach their files through the medium BIOs; until their drivers are part
// of the build, every operation on them fails with the medium's error.
#pragma once

#include <cstdint>

#include "crypto/bio/media.h"
#include "crypto/cadb/buffer.h"

namespace qcrypto {

// The longest path a read or a write accepts (the 260-character limit
// includes the terminating zero of the system's path buffers).
constexpr std::size_t CADB_PATH_MAX = MEDIA_PATH_MAX - 1;

// The whole file as a new buffer (with its terminating zero byte), or null
// with a cadb error. `options` may be null.
BUFFER* CADB_read_file(const char* path, const MEDIUM_OPEN_OPTIONS* options);
BUFFER* BUFFER_read_file(const char* path);

// At most `count` bytes from the start of the file: the number read, or -1
// when the file cannot be opened.
int CADB_read_bytes(const char* path, void* buffer, int count);

// Writes `count` bytes as the whole new content of the file, creating the
// missing folders of the path first. `count` once every byte is written and
// on the medium, else 0 with the old file (if any) left as it was.
int CADB_write_file(const char* path, const void* bytes, int count, const MEDIUM_OPEN_OPTIONS* options);
int CADB_write_buffer(const char* path, const void* bytes, int count);

// The size in bytes of a regular file, or -1 when there is none.
long media_file_size(const char* path);

// Overwrites the file with zero bytes in blocks of 4096 and removes it. 1
// when it is gone (or was never there), 0 with a cadb error otherwise. A
// symbolic link, a folder or any other non-regular file is refused.
int CADB_erase_file(const char* path, const MEDIUM_OPEN_OPTIONS* options);
int CADB_erase(const char* path);

// Option bits of CADB_enum_files.
constexpr int CADB_ENUM_RECURSIVE = 1;
constexpr int CADB_ENUM_DIRECTORIES = 2;

// Called with the full path text of each entry; 0 stops the walk.
using CADB_ENUM_CALLBACK = int (*)(const char* path, void* user);

// Walks a folder (every entry) or "folder\pattern" (the entries matching the
// wildcard pattern). Folders are reported only with CADB_ENUM_DIRECTORIES;
// CADB_ENUM_RECURSIVE descends into every sub-folder, never through a
// symbolic link. 1 when the walk finished, 0 when the callback stopped it or
// the path was bad.
int CADB_enum_files(const char* path, int options, CADB_ENUM_CALLBACK callback, void* user);

#ifdef QCRYPTO_TEST_HOOKS
// Simulates a full disk: the file-system writes of CADB_write_file fail with
// ENOSPC once `bytes` bytes have been written (negative: no limit).
void CADB_test_set_write_limit(long bytes);
// Makes the flush to disk of the next writes fail with EIO (false: normal).
void CADB_test_fail_sync(bool fail);
#endif

}  // namespace qcrypto
