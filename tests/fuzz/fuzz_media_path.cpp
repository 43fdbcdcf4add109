// Key-medium path texts come from settings, key-container records and the
// user: the grammar, the joining of pieces and the file-system boundary must
// take any bytes without reading or writing out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "crypto/bio/media.h"
#include "platform/codepage/native_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = qcrypto::media_parse_path(text);
  if (parsed && (text.size() > qcrypto::MEDIA_PATH_MAX || parsed->folders.size() > 10)) std::abort();
  (void)platform::native_path(text);

  // Up to three NUL-separated pieces: directory, name, extension.
  const std::string all(text);
  const char* pieces[3] = {nullptr, nullptr, nullptr};
  std::size_t at = 0;
  for (int i = 0; i < 3 && at <= all.size(); ++i) {
    pieces[i] = all.c_str() + at;
    at += std::strlen(pieces[i]) + 1;
  }
  char out[qcrypto::MEDIA_PATH_MAX + 1];
  out[0] = '\0';
  qcrypto::media_make_path(out, pieces[0], pieces[1], pieces[2]);
  const std::size_t n = std::strlen(out);
  // At most 260 characters, and every separator is a backslash (only one
  // trailing separator is dropped, so "//" leaves one backslash).
  if (n > qcrypto::MEDIA_PATH_MAX || std::strchr(out, '/')) std::abort();
  // Keyword tests only look at the start.
  (void)qcrypto::media_kind(out);
  (void)qcrypto::media_stat_mode(all.c_str());
  return 0;
}
