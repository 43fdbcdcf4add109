// The list file inside a .sga archive: any bytes must parse or be refused
// without a fault, and a model that was read must write out and read back
// to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dsutils/engine/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  dsutils::SignatureListFile list;
  if (!list.ReadBytes(bytes)) return 0;
  const std::string text = list.Render();
  if (text.empty()) std::abort();
  dsutils::SignatureListFile again;
  if (!again.ReadBytes(text) || again.Render() != text) std::abort();
  // The look-ups the archive reader makes.
  (void)list.GetIntValue("Header", "Version", 0);
  (void)list.GetValue("Context", "Signature_1", "");
  return 0;
}
