#include "crypto/bio/media.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "crypto/bio/media_codes.h"
#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/bio/vxsdk_bio.h"
#include "platform/codepage/native_path.h"

namespace qcrypto {
namespace {

constexpr std::string_view kVexil = "Vexil";
constexpr std::string_view kVxR2 = "vxR2";
constexpr std::string_view kIButton = "iButton";
constexpr std::string_view kReaderPrefix = "QRL ifdh ";
constexpr std::size_t kIButtonNameMax = 4;
constexpr std::size_t kIButtonFoldersMax = 10;
// The Touch-Memory file system marks a sub-folder with extension 127.
constexpr int kIButtonFolderExtension = 127;

int starts_with_keyword(const char* path, std::string_view keyword) {
  if (path == nullptr) return 0;
  return strncasecmp(path, keyword.data(), keyword.size()) == 0 ? 1 : 0;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// The token path after the colon: 4-hex-digit file ids, each after a
// separator (the first separator may be left out), an optional separator at
// the end.
bool parse_token_path(std::string_view s, std::vector<uint16_t>& ids) {
  std::size_t i = 0;
  bool first = true;
  while (i < s.size()) {
    if (is_separator(s[i])) {
      ++i;
      if (i == s.size()) break;  // one trailing separator
    } else if (!first) {
      return false;
    }
    first = false;
    if (i + 4 > s.size()) return false;
    uint16_t id = 0;
    for (int k = 0; k < 4; ++k) {
      if (!is_hex(s[i + k])) return false;
      id = static_cast<uint16_t>((id << 4) | hex_value(s[i + k]));
    }
    ids.push_back(id);
    i += 4;
  }
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool parse_ibutton(std::string_view rest, MediumPath& out) {
  // rest follows "iButton": ":" then a separator, then the components.
  if (rest.size() < 2 || rest[0] != ':' || !is_separator(rest[1])) return false;
  rest.remove_prefix(2);
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= rest.size(); ++i) {
    if (i == rest.size() || is_separator(rest[i])) {
      parts.push_back(rest.substr(start, i - start));
      start = i + 1;
    }
  }
  std::string_view file = parts.back();
  parts.pop_back();
  if (parts.size() > kIButtonFoldersMax) return false;
  for (std::string_view folder : parts) {
    if (folder.empty() || folder.size() > kIButtonNameMax || folder.find('.') != folder.npos) {
      return false;
    }
    out.folders.emplace_back(folder);
  }
  if (file.empty()) return true;  // a folder path ("iButton:\" is the root)
  const std::size_t dot = file.find('.');
  if (dot == file.npos || dot == 0 || dot > kIButtonNameMax) return false;
  std::string_view ext = file.substr(dot + 1);
  if (ext.empty() || ext.size() > 3) return false;
  int value = 0;
  for (char c : ext) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value >= kIButtonFolderExtension) return false;
  out.file_name.assign(file.substr(0, dot));
  out.extension = value;
  return true;
}

// The medium's own BIO, opened on the path as given; the options record is
// read only while the open runs.
BIO* open_medium(MediumKind kind, const char* path, int flags, uint32_t opt_flags, const char* opt_password) {
  const BIO_METHOD* method = nullptr;
  switch (kind) {
    case MediumKind::Vexil:
      method = vxdk_bound() != 0 ? BIO_s_vxdk() : nullptr;
      break;
    case MediumKind::VxR2:
      method = VEXIL_bound() != 0 ? BIO_s_vexil() : nullptr;
      break;
    case MediumKind::IButton:
      method = TM_bound() != 0 ? BIO_s_tm() : nullptr;
      break;
    case MediumKind::File:
      break;
  }
  if (method == nullptr) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_MEDIUM_NOT_AVAILABLE);
    return nullptr;
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  MEDIUM_OPEN_OPTIONS options{opt_flags, opt_password};
  BIO_set_ex_data(bio, 0, &options);
  const long rc = BIO_ctrl(bio, BIO_C_SET_FILENAME, flags, const_cast<char*>(path));
  BIO_set_ex_data(bio, 0, nullptr);
  if (rc <= 0) {
    // Nothing was opened for writing, so the free writes nothing back.
    BIO_free(bio);
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_CANNOT_OPEN_FILE);
    return nullptr;
  }
  return bio;
}

}  // namespace

int media_is_ibutton(const char* path) { return starts_with_keyword(path, kIButton); }
int media_is_vxr2(const char* path) { return starts_with_keyword(path, kVxR2); }
int media_is_vexil(const char* path) { return starts_with_keyword(path, kVexil); }
int media_is_token(const char* path) { return media_is_vexil(path) || media_is_vxr2(path) ? 1 : 0; }

MediumKind media_kind(const char* path) {
  if (media_is_vexil(path)) return MediumKind::Vexil;
  if (media_is_vxr2(path)) return MediumKind::VxR2;
  if (media_is_ibutton(path)) return MediumKind::IButton;
  return MediumKind::File;
}

int media_open_flags(const char* mode) {
  if (mode == nullptr) return -1;
  const std::string_view m(mode);
  if (m == "r" || m == "rb") return BIO_CLOSE | BIO_FP_READ;
  if (m == "w" || m == "wb") return BIO_CLOSE | BIO_FP_WRITE;
  if (m == "r+" || m == "rb+" || m == "r+b" || m == "wb+" || m == "w+b") {
    return BIO_CLOSE | BIO_FP_READ | BIO_FP_WRITE;
  }
  return -1;
}

BIO* media_bio_open(const char* path, const char* mode, uint32_t opt_flags, const char* opt_password) {
  if (path == nullptr || std::strlen(path) > MEDIA_PATH_MAX) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_PATH_TOO_LONG);
    return nullptr;
  }
  const int flags = media_open_flags(mode);
  if (flags < 0) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_UNKNOWN_OPEN_MODE);
    return nullptr;
  }
  const MediumKind kind = media_kind(path);
  if (kind != MediumKind::File) return open_medium(kind, path, flags, opt_flags, opt_password);
  const std::optional<std::string> native = platform::native_path(path);
  if (!native) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_PATH_NOT_USABLE);
    return nullptr;
  }
  BIO* bio = BIO_new(BIO_s_file());
  if (bio == nullptr) {
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  // The options are the open call's own: a medium BIO copies what it needs
  // from slot 0 while it opens, and the slot is emptied before the caller's
  // record goes away, so nothing can read it later.
  MEDIUM_OPEN_OPTIONS options{opt_flags, opt_password};
  BIO_set_ex_data(bio, 0, &options);
  const long rc = BIO_ctrl(bio, BIO_C_SET_FILENAME, flags, const_cast<char*>(native->c_str()));
  BIO_set_ex_data(bio, 0, nullptr);
  if (rc <= 0) {
    BIO_free(bio);
    QERR(ERRLIB_VEXIL, VEXIL_F_MEDIA_BIO_OPEN, VEXIL_R_CANNOT_OPEN_FILE);
    return nullptr;
  }
  return bio;
}

BIO* media_fopen(const char* path, const char* mode) { return media_bio_open(path, mode, 0, nullptr); }

int media_exists(const char* path) {
  if (path == nullptr) return 0;
  switch (media_kind(path)) {
    case MediumKind::IButton:
      return media_stat_mode(path) != 0 ? 1 : 0;
    case MediumKind::Vexil:
      return vxdk_present(path) > 0 ? 1 : 0;
    case MediumKind::VxR2:
      return vx_present(path) > 0 ? 1 : 0;
    case MediumKind::File:
      break;
  }
  if (std::strlen(path) > MEDIA_PATH_MAX) return 0;
  const std::optional<std::string> native = platform::native_path(path);
  return native && ::access(native->c_str(), F_OK) == 0 ? 1 : 0;
}

int media_stat_mode(const char* path) {
  if (path == nullptr || !media_is_ibutton(path)) return 0;
  char copy[MEDIA_PATH_MAX + 2];
  std::size_t n = 0;
  for (; path[n] != '\0' && n <= MEDIA_PATH_MAX; ++n) {
    copy[n] = (n > 0 && path[n] == '/') ? '\\' : path[n];
  }
  copy[n] = '\0';
  // A path that ends in a separator names a folder; the button is not asked.
  if (n > 0 && copy[n - 1] == '\\') return MEDIA_KIND_DIRECTORY;
  if (tm_probe_file(copy) != 0) return MEDIA_KIND_FILE;
  const char* last = std::strrchr(copy, '\\');
  if (last == nullptr) return 0;
  int result = 0;
  TM_WALK walk;
  for (int more = tm_dir_first(copy, &walk); more != 0; more = tm_dir_next(&walk)) {
    const std::string name = tm_entry_name(walk.entry);
    if (walk.entry.extension == TM_FOLDER_EXTENSION && name != "." && name != ".." &&
        strcasecmp(name.c_str(), last + 1) == 0) {
      result = MEDIA_KIND_DIRECTORY;
    }
  }
  tm_dir_close(&walk);
  return result;
}

char* media_make_path(char* out, const char* dir, const char* name, const char* ext) {
  std::size_t len;
  if (dir != nullptr) {
    len = strnlen(dir, MEDIA_PATH_MAX);
    std::memcpy(out, dir, len);
    if (len > 0 && !is_separator(out[len - 1]) && len < MEDIA_PATH_MAX) out[len++] = '/';
  } else {
    len = strnlen(out, MEDIA_PATH_MAX);
  }
  auto append = [&](const char* s) {
    const std::size_t room = MEDIA_PATH_MAX - len;
    const std::size_t take = strnlen(s, room);
    std::memcpy(out + len, s, take);
    len += take;
  };
  if (name != nullptr) append(name);
  if (ext != nullptr) {
    if (ext[0] != '.' && len < MEDIA_PATH_MAX) out[len++] = '.';
    append(ext);
  }
  for (std::size_t i = 0; i < len; ++i) {
    if (out[i] == '/') out[i] = '\\';
  }
  if (len > 0 && out[len - 1] == '\\') --len;
  out[len] = '\0';
  return out;
}

std::optional<MediumPath> media_parse_path(std::string_view text) {
  if (text.size() > MEDIA_PATH_MAX || text.find('\0') != text.npos) return std::nullopt;
  const std::string z(text);
  MediumPath out;
  out.kind = media_kind(z.c_str());
  switch (out.kind) {
    case MediumKind::Vexil: {
      std::string_view rest = text.substr(kVexil.size());
      const std::size_t colon = rest.find(':');
      if (colon == rest.npos) return std::nullopt;
      out.reader.assign(trim_blanks(rest.substr(0, colon)));
      if (!parse_token_path(rest.substr(colon + 1), out.file_ids)) return std::nullopt;
      return out;
    }
    case MediumKind::VxR2: {
      std::string_view rest = text.substr(kVxR2.size());
      std::size_t colon;
      if (!rest.empty() && is_separator(rest[0])) {
        colon = rest.find(':', 1);
        if (colon == rest.npos || colon == 1) return std::nullopt;
        out.reader.assign(rest.substr(1, colon - 1));
      } else {
        std::size_t i = 0;
        while (i < rest.size() && rest[i] == ' ') ++i;
        if (i > 0) {
          if (i >= rest.size() || rest[i] < '0' || rest[i] > '9') return std::nullopt;
          out.reader_number = rest[i] - '0';
          ++i;
        }
        if (i >= rest.size() || rest[i] != ':') return std::nullopt;
        colon = i;
      }
      if (!parse_token_path(rest.substr(colon + 1), out.file_ids)) return std::nullopt;
      return out;
    }
    case MediumKind::IButton:
      if (!parse_ibutton(text.substr(kIButton.size()), out)) return std::nullopt;
      return out;
    case MediumKind::File:
      if (text.empty()) return std::nullopt;
      out.file_path.assign(text);
      return out;
  }
  return std::nullopt;
}

std::string media_pcsc_reader_name(const MediumPath& path) {
  switch (path.kind) {
    case MediumKind::Vexil:
      return path.reader.empty() ? std::string() : std::string(kReaderPrefix) + path.reader;
    case MediumKind::VxR2:
      if (path.reader_number >= 0) return std::string(kReaderPrefix) + std::to_string(path.reader_number);
      return path.reader;
    default:
      return std::string();
  }
}

}  // namespace qcrypto
