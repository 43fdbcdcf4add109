#include "platform/registry/name_fold.h"

namespace platform::reg {

std::string fold_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c + 32));
      continue;
    }
    // Two-byte sequences D0 80..D0 BF carry U+0400..U+043F.
    if (c == 0xD0 && i + 1 < name.size()) {
      const auto d = static_cast<unsigned char>(name[i + 1]);
      unsigned cp = 0;
      if (d >= 0x80 && d <= 0xBF) cp = 0x400u + (d - 0x80u);
      if (cp >= 0x400 && cp <= 0x40F)
        cp += 0x50;  // Ѐ..Џ -> ѐ..џ
      else if (cp >= 0x410 && cp <= 0x42F)
        cp += 0x20;  // А..Я -> а..я
      if (cp != 0) {
        // Re-encode U+0400..U+045F.
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

}  // namespace platform::reg
