// What the key-media drivers answer (reader records, folder listings,
// directory entries, file information of all three drivers) and the path
// texts handed to them come from outside the process: every reader of them
// must take any bytes without reading or writing out of bounds, and keep its
// results within their fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/bio/media_drivers.h"
#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/bio/vxsdk_bio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VXReaderInfo reader;
  VXObjectInfo object;
  TM_FILE_ENTRY entry;
  VEXIL_API_FILE_INFO api_info;
  unsigned char listed[2];  // a listing entry's name length and flags
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
  take(&api_info, sizeof api_info);
  take(listed, sizeof listed);

  if (qcrypto::vxdk_reader_name(reader).size() >= sizeof reader.name) std::abort();
  qcrypto::VEXIL_FILE_INFO info{};
  qcrypto::vxdk_fill_entry(&info, object, (object.flags & 1) != 0);
  if (std::strlen(info.name) != 4) std::abort();
  const std::string name = qcrypto::tm_entry_name(entry);
  if (name.size() > 4 || name.find(' ') != std::string::npos) std::abort();

  // The older API's file information sizes a buffer: only a token file's
  // own sizes pass, never a folder.
  const int file_size = qcrypto::vx_file_size(api_info);
  if (file_size < -1 || file_size > 0xFFFF || (api_info.is_directory != 0 && file_size != -1)) std::abort();
  // A listing entry as the older API hands it over: a name text of any
  // length (terminated here; the API promises no more), a folder mark and a
  // size.
  {
    const std::size_t n = size - at < listed[0] ? size - at : listed[0];
    const std::string listed_name(reinterpret_cast<const char*>(data + at), n);
    at += n;
    std::vector<qcrypto::VEXIL_FILE_INFO*> list;
    const int is_directory = listed[1] & 1;
    if (qcrypto::vx_list_append(&list, listed_name.c_str(), is_directory, api_info.size) != 1 || list.size() != 1) {
      std::abort();
    }
    const qcrypto::VEXIL_FILE_INFO* e = list.front();
    if (std::strlen(e->name) > 4 || e->is_directory != is_directory || e->is_file == is_directory ||
        (is_directory != 0 && e->size != 0)) {
      std::abort();
    }
    qcrypto::vxdk_file_info_free(list.front());
  }

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
