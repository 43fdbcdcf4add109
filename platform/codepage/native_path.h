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

namespace platform {

// The Linux path of a stored path text: every "\" becomes "/" and the text is
// converted from the local code page to UTF-8. No path: an empty text, a
// drive-letter path ("C:..."), which has no meaning here, and a text holding
// a control character (C0 or C1, which includes Windows-1251's unassigned
// 0x98), which no file name of the system carries.
std::optional<std::string> native_path(std::string_view text);

}  // namespace platform
