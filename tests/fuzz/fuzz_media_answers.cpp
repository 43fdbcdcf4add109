// What the key-media drivers answer (reader records, folder listings,
// directory entries) and the path texts handed to them come from outside
// the process: every reader of them must take any bytes without reading or
// writing out of bounds, and keep its results within their fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/bio/media_drivers.h"
#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vxsdk_bio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VXReaderInfo reader;
  VXObjectInfo object;
  TM_FILE_ENTRY entry;
  std::size_t at = 0;
  auto take = [&](void* out, std::size_t n) {
    std::memset(out, 0, n);
    const std::size_t k = size - at < n ? size - at : n;
    std::memcpy(out, data + at, k);
    at += k;
  };
  take(&reader, sizeof reader);
  take(&object, sizeof object);
  take(&entry, sizeof entry);

  if (qcrypto::vxdk_reader_name(reader).size() >= sizeof reader.name) std::abort();
  qcrypto::VEXIL_FILE_INFO info{};
  qcrypto::vxdk_fill_entry(&info, object, (object.flags & 1) != 0);
  if (std::strlen(info.name) != 4) std::abort();
  const std::string name = qcrypto::tm_entry_name(entry);
  if (name.size() > 4 || name.find(' ') != std::string::npos) std::abort();

  // The rest as a path text.
  const std::string text(reinterpret_cast<const char*>(data + at), size - at);
  short number = 0;
  short type = 0;
  TM_DIR_PATH dir{};
  TM_FILE_ENTRY file{};
  if (qcrypto::tm_parse_path(text.c_str(), &number, &type, &dir, &file) == 1 && dir.levels > 10) std::abort();
  (void)qcrypto::vxdk_normalise(text.c_str(), 5);
  return 0;
}
