#include "platform/codepage/native_path.h"

#include "platform/codepage/codepage.h"

namespace platform {

std::optional<std::string> native_path(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.size() >= 2 && text[1] == ':' &&
      ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
    return std::nullopt;
  }
  std::u16string wide = decode_codepage(local_codepage(), text);
  for (char16_t& c : wide) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return std::nullopt;
    if (c == u'\\') c = u'/';
  }
  return utf16_to_utf8(wide);
}

}  // namespace platform
