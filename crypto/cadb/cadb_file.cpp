#include "crypto/cadb/cadb_file.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bio/media_buffer.h"
#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/bio/vxsdk_bio.h"
#include "crypto/cadb/cadb_codes.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/regular_file.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/native_path.h"

namespace qcrypto {
namespace {

constexpr std::size_t kEraseBlock = 4096;

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<long> g_write_limit{-1};
std::atomic<bool> g_fail_sync{false};
#endif

// Closes a descriptor on every path out of a scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded: the last chance a
  // file system has to report a failed write.
  bool close_checked() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool path_fits(const char* path) { return path != nullptr && strnlen(path, CADB_PATH_MAX + 1) <= CADB_PATH_MAX; }

bool read_all(int fd, unsigned char* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    std::size_t want = n - done;
#ifdef QCRYPTO_TEST_HOOKS
    const long limit = g_write_limit.load();
    if (limit >= 0) {
      if (done >= static_cast<std::size_t>(limit)) {
        errno = ENOSPC;
        return false;
      }
      want = std::min(want, static_cast<std::size_t>(limit) - done);
    }
#endif
    const ssize_t put = ::write(fd, bytes + done, want);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool sync_fd(int fd) {
#ifdef QCRYPTO_TEST_HOOKS
  if (g_fail_sync.load()) {
    errno = EIO;
    return false;
  }
#endif
  return ::fsync(fd) == 0;
}

// Makes every missing folder above the file; a level that already exists is
// no error (a file in its place makes the later open fail).
void make_parent_folders(const std::string& native) {
  for (std::size_t at = native.find('/', 1); at != std::string::npos; at = native.find('/', at + 1)) {
    const std::string level = native.substr(0, at);
    if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) return;
  }
}

std::string parent_of(const std::string& native) {
  const std::size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return native.substr(0, slash);
}

int write_file_system(const char* path, const unsigned char* bytes, std::size_t n) {
  const std::optional<std::string> native = platform::native_path(path);
  if (!native || native->back() == '/') {
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  make_parent_folders(*native);
  // The new file keeps the permissions of the one it replaces; a new one is
  // readable by its owner only, since key files go through here.
  mode_t mode = 0600;
  struct stat old {};
  if (::lstat(native->c_str(), &old) == 0) {
    if (S_ISDIR(old.st_mode)) {
      QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_BAD_ARGUMENT);
      return 0;
    }
    if (S_ISREG(old.st_mode)) mode = old.st_mode & 07777;
  }
  const std::string folder = parent_of(*native);
  std::string temp = folder + "/.cadb-XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  const bool written =
      ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), bytes, n) && sync_fd(fd.get()) && fd.close_checked();
  if (!written || ::rename(temp.c_str(), native->c_str()) != 0) {
    ::unlink(temp.c_str());
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  // The rename itself becomes durable with the folder. The new content is in
  // place either way, so a folder that cannot be synced is no failure.
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return 1;
}

int write_medium(const char* path, const unsigned char* bytes, int count, const MEDIUM_OPEN_OPTIONS* options) {
  UniquePtr<BIO> bio(media_bio_open(path, "wb", options != nullptr ? options->flags : 0,
                                    options != nullptr ? options->password : nullptr));
  if (!bio) {
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  int done = 0;
  while (done < count) {
    const int put = BIO_write(bio.get(), bytes + done, count - done);
    if (put <= 0) break;
    done += put;
  }
  if (done != count || BIO_flush(bio.get()) <= 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  return 1;
}

// A regular file of the file-system medium opened for reading, with its
// status, or -1.
int open_regular(const char* path, struct stat* st) {
  const std::optional<std::string> native = platform::native_path(path);
  if (!native) return -1;
  const int fd = open_regular_file(native->c_str());
  if (fd >= 0 && ::fstat(fd, st) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

BUFFER* read_file_system(const char* path) {
  struct stat st {};
  Fd fd(open_regular(path, &st));
  if (fd.get() < 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_CALLED_PART);
    return nullptr;
  }
  if (st.st_size >= INT_MAX) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || !BUFFER_fill(buffer.get(), nullptr, static_cast<int>(st.st_size))) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_MEMORY);
    return nullptr;
  }
  if (!read_all(fd.get(), buffer->data, static_cast<std::size_t>(st.st_size))) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_CALLED_PART);
    return nullptr;
  }
  return buffer.release();
}

// A hardware medium's BIO holds the whole file once it is open; its size is
// what it gives before the end. No medium file is larger than a token's
// 16-bit size, so anything beyond that is no file of ours.
constexpr std::size_t kMediumFileMax = 0xFFFF;

BUFFER* read_medium(const char* path, const MEDIUM_OPEN_OPTIONS* options) {
  UniquePtr<BIO> bio(media_bio_open(path, "rb", options != nullptr ? options->flags : 0,
                                    options != nullptr ? options->password : nullptr));
  if (!bio) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_CALLED_PART);
    return nullptr;
  }
  std::vector<unsigned char, WipingAllocator<unsigned char>> bytes;
  unsigned char chunk[4096];
  for (;;) {
    const int got = BIO_read(bio.get(), chunk, sizeof chunk);
    if (got < 0 || bytes.size() + static_cast<std::size_t>(got > 0 ? got : 0) > kMediumFileMax) {
      OPENSSL_cleanse(chunk, sizeof chunk);
      QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_CALLED_PART);
      return nullptr;
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || !BUFFER_fill(buffer.get(), bytes.data(), static_cast<int>(bytes.size()))) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_MEMORY);
    return nullptr;
  }
  return buffer.release();
}

int erase_file_system(const char* path) {
  const std::optional<std::string> native = platform::native_path(path);
  if (!native) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  struct stat link {};
  if (::lstat(native->c_str(), &link) != 0) {
    if (errno == ENOENT) return 1;
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  // Wiping through a link would zero a file the path does not name.
  if (!S_ISREG(link.st_mode)) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  Fd fd(::open(native->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != link.st_ino ||
      st.st_dev != link.st_dev) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  // The name goes first: a folder that does not let the file go must not
  // cost its content. Under the hidden name the wiped file can still be
  // taken back when the overwrite fails half-way.
  const std::string folder = parent_of(*native);
  std::string hidden = folder + "/.cadb-erase-XXXXXX";
  {
    Fd placeholder(::mkostemp(hidden.data(), O_CLOEXEC));
    if (placeholder.get() < 0 || ::rename(native->c_str(), hidden.c_str()) != 0) {
      if (placeholder.get() >= 0) ::unlink(hidden.c_str());
      QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
      return 0;
    }
  }
  static const unsigned char kZeros[kEraseBlock] = {};
  bool wiped = true;
  for (off_t left = st.st_size; left > 0 && wiped;) {
    const std::size_t block = left < static_cast<off_t>(kEraseBlock) ? static_cast<std::size_t>(left) : kEraseBlock;
    wiped = write_all(fd.get(), kZeros, block);
    left -= static_cast<off_t>(block);
  }
  wiped = wiped && sync_fd(fd.get()) && fd.close_checked();
  if (!wiped) {
    ::rename(hidden.c_str(), native->c_str());
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  if (::unlink(hidden.c_str()) != 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
    return 0;
  }
  return 1;
}

// The system's wildcard "*.*" means every name, dotless ones included; its
// patterns know no character classes, and they ignore the case of letters.
std::string to_fnmatch(std::string_view pattern) {
  if (pattern == "*.*") return "*";
  std::string out;
  for (const char c : pattern) {
    if (c == '[' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

struct Walk {
  std::string pattern;  // empty: every entry
  int options;
  CADB_ENUM_CALLBACK callback;
  void* user;
};

// 1 finished, 0 stopped by the callback.
int walk_folder(const Walk& walk, const std::string& native_dir, const std::string& text_dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(native_dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  // Directory order differs between file systems; callers get one order.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    // A name the local code page cannot spell (or holding "\\", which is a
    // separator in a path text) would come back as another name: skip it.
    const std::string text_name = platform::utf8_to_ansi(name);
    if (name.find('\\') != std::string::npos || platform::ansi_to_utf8(text_name) != name) continue;
    const bool joined = text_dir.empty() || text_dir.back() == '\\' || text_dir.back() == '/';
    const std::string text = joined ? text_dir + text_name : text_dir + "\\" + text_name;
    // A path longer than the media limit could not be opened by anyone.
    if (text.size() > CADB_PATH_MAX) continue;
    const std::string native =
        native_dir == "." ? name : (native_dir.back() == '/' ? native_dir + name : native_dir + "/" + name);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) continue;
    const bool folder = S_ISDIR(st.st_mode);
    const bool matches = walk.pattern.empty() || fnmatch(walk.pattern.c_str(), text_name.c_str(), FNM_CASEFOLD) == 0;
    if (matches && (!folder || (walk.options & CADB_ENUM_DIRECTORIES) != 0)) {
      if (walk.callback(text.c_str(), walk.user) == 0) return 0;
    }
    if (folder && (walk.options & CADB_ENUM_RECURSIVE) != 0) {
      if (walk_folder(walk, native, text) == 0) return 0;
    }
  }
  return 1;
}

// The entries of one folder of a token or a button, as full path texts.
// Media folders are walked one level deep; patterns are not applied there.
int enum_medium(const char* path, int options, CADB_ENUM_CALLBACK callback, void* user) {
  std::string folder(path);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  struct Entry {
    std::string name;
    bool is_folder;
  };
  std::vector<Entry> entries;
  int listed = 0;
  const MediumKind kind = media_kind(path);
  if (kind == MediumKind::IButton) {
    TM_WALK walk;
    for (int more = tm_dir_first((folder + "\\x").c_str(), &walk); more != 0; more = tm_dir_next(&walk)) {
      std::string name = tm_entry_name(walk.entry);
      const bool is_folder = walk.entry.extension == TM_FOLDER_EXTENSION;
      if (!is_folder) {
        char ext[8];
        std::snprintf(ext, sizeof ext, ".%03u", static_cast<unsigned>(walk.entry.extension));
        name += ext;
      }
      entries.push_back({name, is_folder});
    }
    listed = walk.session != 0 ? 1 : 0;
    tm_dir_close(&walk);
  } else {
    std::vector<VEXIL_FILE_INFO*> list;
    listed =
        kind == MediumKind::Vexil ? vxdk_list_directory(folder.c_str(), &list) : vx_list_files(folder.c_str(), &list);
    for (VEXIL_FILE_INFO* e : list) {
      entries.push_back({std::string(e->name, strnlen(e->name, sizeof e->name)), e->is_directory != 0});
      vxdk_file_info_free(e);
    }
  }
  if (listed == 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ENUM_FILES, CADB_R_CALLED_PART);
    return 0;
  }
  for (const Entry& e : entries) {
    if (e.is_folder && (options & CADB_ENUM_DIRECTORIES) == 0) continue;
    const std::string full = folder + "\\" + e.name;
    if (full.size() > CADB_PATH_MAX) continue;
    if (callback(full.c_str(), user) == 0) return 0;
  }
  return 1;
}

}  // namespace

BUFFER* CADB_read_file(const char* path, const MEDIUM_OPEN_OPTIONS* options) {
  if (!path_fits(path)) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_FILE, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  if (media_kind(path) == MediumKind::File) return read_file_system(path);
  return read_medium(path, options);
}

BUFFER* BUFFER_read_file(const char* path) { return CADB_read_file(path, nullptr); }

int CADB_read_bytes(const char* path, void* buffer, int count) {
  if (buffer == nullptr || count < 0) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_BYTES, CADB_R_BAD_ARGUMENT);
    return -1;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  int done = 0;
  if (path_fits(path) && media_kind(path) == MediumKind::File) {
    struct stat st {};
    Fd fd(open_regular(path, &st));
    if (fd.get() < 0) {
      QERR(ERRLIB_CADB, CADB_F_CADB_READ_BYTES, CADB_R_CALLED_PART);
      return -1;
    }
    while (done < count) {
      const ssize_t got = ::read(fd.get(), out + done, static_cast<std::size_t>(count - done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<int>(got);
    }
    return done;
  }
  UniquePtr<BIO> bio(path_fits(path) ? media_fopen(path, "rb") : nullptr);
  if (!bio) {
    QERR(ERRLIB_CADB, CADB_F_CADB_READ_BYTES, CADB_R_CALLED_PART);
    return -1;
  }
  while (done < count) {
    const int got = BIO_read(bio.get(), out + done, count - done);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

int CADB_write_file(const char* path, const void* bytes, int count, const MEDIUM_OPEN_OPTIONS* options) {
  if (!path_fits(path) || count < 0 || (bytes == nullptr && count > 0)) {
    QERR(ERRLIB_CADB, CADB_F_CADB_WRITE_FILE, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  const auto* data = static_cast<const unsigned char*>(bytes);
  const int ok = media_kind(path) == MediumKind::File ? write_file_system(path, data, static_cast<std::size_t>(count))
                                                      : write_medium(path, data, count, options);
  return ok != 0 ? count : 0;
}

int CADB_write_buffer(const char* path, const void* bytes, int count) {
  return CADB_write_file(path, bytes, count, nullptr);
}

long media_file_size(const char* path) {
  if (!path_fits(path) || media_kind(path) != MediumKind::File) return -1;
  const std::optional<std::string> native = platform::native_path(path);
  struct stat st {};
  if (!native || ::stat(native->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long>(st.st_size);
}

int CADB_erase_file(const char* path, const MEDIUM_OPEN_OPTIONS* options) {
  if (!path_fits(path)) {
    QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  int ok = 0;
  switch (media_kind(path)) {
    case MediumKind::File:
      return erase_file_system(path);
    case MediumKind::Vexil:
      ok = vxdk_erase(path, options != nullptr ? options->flags : 0, options != nullptr ? options->password : nullptr);
      break;
    case MediumKind::VxR2:
      ok = vx_erase(path);
      break;
    case MediumKind::IButton:
      ok = tm_erase(path);
      break;
  }
  // A missing medium must not pass for a file that is already gone: the
  // media answer 1 only when they saw that the file is not there.
  if (ok == 0) QERR(ERRLIB_CADB, CADB_F_CADB_ERASE_FILE, CADB_R_CALLED_PART);
  return ok;
}

int CADB_erase(const char* path) { return CADB_erase_file(path, nullptr); }

int CADB_enum_files(const char* path, int options, CADB_ENUM_CALLBACK callback, void* user) {
  if (callback == nullptr || !path_fits(path) || path[0] == '\0') {
    QERR(ERRLIB_CADB, CADB_F_CADB_ENUM_FILES, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  if (media_kind(path) != MediumKind::File) return enum_medium(path, options, callback, user);
  std::string text(path);
  const bool names_folder = text.back() == '\\' || text.back() == '/';
  while (text.size() > 1 && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  Walk walk{{}, options, callback, user};
  std::optional<std::string> native = platform::native_path(text);
  struct stat st {};
  if (!native || ::stat(native->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (names_folder) {
      QERR(ERRLIB_CADB, CADB_F_CADB_ENUM_FILES, CADB_R_BAD_ARGUMENT);
      return 0;
    }
    const std::size_t sep = text.find_last_of("\\/");
    // "\\pattern" walks the root folder.
    std::string folder = sep == std::string::npos ? std::string() : text.substr(0, sep == 0 ? 1 : sep);
    walk.pattern =
        to_fnmatch(sep == std::string::npos ? std::string_view(text) : std::string_view(text).substr(sep + 1));
    if (walk.pattern.empty()) {
      QERR(ERRLIB_CADB, CADB_F_CADB_ENUM_FILES, CADB_R_BAD_ARGUMENT);
      return 0;
    }
    text = folder;
    native = folder.empty() ? std::optional<std::string>(".") : platform::native_path(folder);
    if (!native || ::stat(native->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      QERR(ERRLIB_CADB, CADB_F_CADB_ENUM_FILES, CADB_R_BAD_ARGUMENT);
      return 0;
    }
  }
  return walk_folder(walk, *native, text);
}

#ifdef QCRYPTO_TEST_HOOKS
void CADB_test_set_write_limit(long bytes) { g_write_limit.store(bytes); }
void CADB_test_fail_sync(bool fail) { g_fail_sync.store(fail); }
#endif

}  // namespace qcrypto
