#include "vxsdk/tlv.h"

namespace vxsdk {

std::optional<std::span<const uint8_t>> FindTlv(std::span<const uint8_t> run, uint8_t tag) {
  size_t pos = 0;
  while (pos + 2 <= run.size()) {
    const uint8_t t = run[pos];
    const size_t len = run[pos + 1];
    if (len > run.size() - pos - 2) {
      return std::nullopt;
    }
    if (t == tag) {
      return run.subspan(pos + 2, len);
    }
    pos += 2 + len;
  }
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> FindFciTag(std::span<const uint8_t> answer, uint8_t tag) {
  if (auto fci = FindTlv(answer, 0x6F)) {
    if (auto v = FindTlv(*fci, tag)) {
      return v;
    }
  }
  return FindTlv(answer, tag);
}

}  // namespace vxsdk
