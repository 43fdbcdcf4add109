// The file-system boundary for stored path texts.
//
// Path texts that are data (key-medium paths, database file names) stay as
// the system writes them: 8-bit text in the local code page, "\" or "/" as
// separators. They become Linux paths only here, at the moment a file is
// opened, tested or removed, and nowhere else.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The Linux path of a stored path text: every "\" becomes "/" and the text is
// converted from the local code page to UTF-8. Two drive letters, either
// case, keep the meaning their texts had:
//   "C:" is the home folder (default_folder(): $HOME when absolute, else "/");
//   "A:" is a mounted removable medium: a mount point below the
//   removable-media folder (removable_media_root()), read from
//   /proc/self/mountinfo; with one, that one; with several, the first by
//   name that holds the rest of the path (the first by name when none does);
//   with none, no path.
// No path: an empty text, any other drive letter, "A:" without a medium,
// and a text holding a control character (C0 or C1, which includes
// Windows-1251's unassigned 0x98), which no file name of the system carries.
std::optional<std::string> native_path(std::string_view text);

// What the drive letters are resolved against; native_path reads the
// process's own, tests give fixtures.
struct DriveContext {
  std::string home;           // "C:"
  std::string removableRoot;  // the folder the desktop mounts removable media below
  std::string mountinfo;      // the text of a mountinfo file
  // Whether a path (UTF-8) exists; null: the file system is asked.
  bool (*exists)(const std::string& path) = nullptr;
};
std::optional<std::string> native_path(std::string_view text, const DriveContext& context);

// $DOSSAR_REMOVABLE_ROOT when set (tests), else /media/$USER when that
// folder exists, else /run/media/$USER.
std::string removable_media_root();

// The mount points (field 5, its octal escapes such as "\040" decoded) of a
// mountinfo text; lines that are not well formed are skipped.
std::vector<std::string> mountinfo_mount_points(std::string_view mountinfo);

// The mount points strictly below `root`, sorted by name, each once.
std::vector<std::string> removable_mounts(std::string_view mountinfo, std::string_view root);

}  // namespace platform
