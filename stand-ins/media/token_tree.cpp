#include "stand-ins/media/token_tree.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "stand-ins/media/media_control.h"

namespace fs = std::filesystem;

namespace standin {

std::vector<std::string> token_readers() {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(media_root(), ec)) {
    if (e.is_directory()) out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void token_mark_protected(const std::string& file, bool on) {
  const fs::path marker = file + ".protected";
  std::error_code ec;
  if (!on) {
    fs::remove(marker, ec);
    return;
  }
  std::ofstream touch(marker, std::ios::binary);
}

std::string token_folder(const std::string& reader) {
  if (!media_device_present()) return {};
  const fs::path p = fs::path(media_root()) / reader / "token";
  std::error_code ec;
  return fs::is_directory(p, ec) ? p.string() : std::string();
}

std::string id_name(uint16_t id) {
  char s[8];
  std::snprintf(s, sizeof s, "%04x", static_cast<unsigned>(id));
  return s;
}

bool parse_id(const std::string& name, uint16_t* id) {
  if (name.size() != 4) return false;
  unsigned v = 0;
  for (char c : name) {
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v |= static_cast<unsigned>(c - 'a' + 10);
    else
      return false;
  }
  *id = static_cast<uint16_t>(v);
  return true;
}

}  // namespace standin
