// Key-medium paths: which medium holds a file, opening it as a BIO, presence
// tests and joining path pieces.
//
// A key-medium path is an 8-bit text of at most 260 characters in the local
// code page. Its first characters choose the medium: "Vexil" (token through
// the token SDK), "vxR2" (token through the older token API), "iButton"
// (Touch-Memory button), anything else a file-system path. "\" and "/" are
// both separators and stay in the text as data; the text becomes a Linux path
// only in platform::native_path, when a file is opened or tested.
#pragma once

#include <openssl/bio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qcrypto {

constexpr std::size_t MEDIA_PATH_MAX = 260;

// File-kind codes of media_stat_mode (the C library's mode bits).
constexpr int MEDIA_KIND_FILE = 32768;
constexpr int MEDIA_KIND_DIRECTORY = 16384;

// Handed to a medium BIO while it opens a file; read only during the open.
struct MEDIUM_OPEN_OPTIONS {
  uint32_t flags;
  const char* password;
};
constexpr uint32_t MEDIUM_OPT_LOGIN_1 = 0x1;
constexpr uint32_t MEDIUM_OPT_LOGIN_2 = 0x2;
constexpr uint32_t MEDIUM_OPT_PASSWORD = 0x4;
constexpr std::size_t MEDIUM_PASSWORD_MAX = 255;

enum class MediumKind { File, Vexil, VxR2, IButton };

// 1 when the path begins with the keyword, compared case-insensitively over
// the keyword's own length; 0 otherwise and for a null path.
int media_is_ibutton(const char* path);
int media_is_vxr2(const char* path);
int media_is_vexil(const char* path);
int media_is_token(const char* path);

// The medium a path names, tested in the order Vexil, vxR2, iButton.
MediumKind media_kind(const char* path);

// The BIO open flags of a C open mode, or -1 for a mode that is not allowed.
int media_open_flags(const char* mode);

// Opens one file of any medium as a BIO, or null with the reason on the error
// queue. Both option words zero: no options.
BIO* media_bio_open(const char* path, const char* mode, uint32_t opt_flags, const char* opt_password);
BIO* media_fopen(const char* path, const char* mode);

// 1 when the path is present on its medium.
int media_exists(const char* path);
// MEDIA_KIND_FILE, MEDIA_KIND_DIRECTORY or 0 for a Touch-Memory path.
int media_stat_mode(const char* path);

// Joins directory, name and extension into `out` (at least MEDIA_PATH_MAX + 1
// bytes): one separator between directory and name, "." before the
// extension, "\" separators, no trailing separator, cut at 260 characters.
// A null directory continues the text already in `out`; an empty one adds
// no separator.
char* media_make_path(char* out, const char* dir, const char* name, const char* ext);

// A key-medium path taken apart.
struct MediumPath {
  MediumKind kind = MediumKind::File;
  // Vexil: the reader name as the user sees it (empty: the default reader).
  // vxR2: a whole PC/SC reader name given after "/" or "\".
  std::string reader;
  // vxR2: the reader number given as one digit, else -1.
  int reader_number = -1;
  // Token media: the file ids of the token path, outermost first.
  std::vector<uint16_t> file_ids;
  // Touch-Memory: folder names, then the file name (empty for a path that
  // ends in a separator, which names a folder) and its extension.
  std::vector<std::string> folders;
  std::string file_name;
  int extension = -1;
  // File system: the text as given.
  std::string file_path;
};

// Parses a key-medium path; nullopt when it is longer than 260 characters or
// does not follow its medium's form.
std::optional<MediumPath> media_parse_path(std::string_view text);

// The PC/SC name of the reader a token path names (the token SDK reader name
// gets the driver's prefix; the older API's digit n is that prefix and n).
std::string media_pcsc_reader_name(const MediumPath& path);

}  // namespace qcrypto
