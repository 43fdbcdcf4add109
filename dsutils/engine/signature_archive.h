// The .sga signature archive: a tar archive (GNU format) holding a document,
// its detached signatures document.1, document.2, ... and the list file
// "_list_._vt", every member under a bare name. Written and read in-process.
//
// Reading treats the archive as hostile: only regular-file members with
// plain names (no "/", "\", "..", ".", control characters), no duplicates,
// none of the reserved names ("Src", the archive's own name), at most
// kMaxMembers members, a list file of at most SignatureListFile::kMaxBytes,
// members no larger than the archive itself, and every name in the list a
// member. Nothing is written to the folder unless the whole archive passed.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dsutils::sga {

inline constexpr const char* kListName = "_list_._vt";
inline constexpr const char* kCompany = "Veltrana";
inline constexpr std::size_t kMaxMembers = 1024;

struct Contents {
  std::string document;
  std::vector<std::string> signatures;  // in list order
  std::vector<std::string> members;     // in archive order
};

// Checks a whole archive held in memory and reads its list; false with a
// reason when it is refused. `reserved` names may not be members.
bool check_archive_bytes(std::string_view bytes, const std::vector<std::string>& reserved, Contents& out,
                         std::string* why = nullptr);

// Checks the archive file where it lies, read through one descriptor
// (never followed through a link, nothing copied or written): the same
// checks as check_archive_bytes, with the archive's own name reserved.
bool check_archive_file(const QString& path, Contents& out, std::string* why = nullptr);

// A name that may stand as a member: not empty, no "/" or "\", not "." or
// "..", no control character.
bool plain_member_name(std::string_view name);

}  // namespace dsutils::sga
