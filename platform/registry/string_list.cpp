#include "platform/registry/string_list.h"

namespace platform::reg {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> b) : b_(b) {}
  bool u8(std::uint32_t& v) { return take(1, v); }
  bool u16(std::uint32_t& v) { return take(2, v); }
  bool u32(std::uint32_t& v) { return take(4, v); }
  std::size_t left() const { return b_.size() - pos_; }
  bool bytes(std::uint32_t n, std::string& s) {
    if (n > left()) return false;
    s.assign(reinterpret_cast<const char*>(b_.data() + pos_), n);
    pos_ += n;
    return true;
  }

 private:
  bool take(std::size_t n, std::uint32_t& v) {
    if (n > left()) return false;
    v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(b_[pos_ + i]) << (8 * i);
    pos_ += n;
    return true;
  }
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::uint8_t> serialize_string_list(const std::vector<std::string>& list) {
  std::vector<std::uint8_t> out;
  const auto count = static_cast<std::uint32_t>(list.size());
  if (count < 0xFFFF) {
    put16(out, count);
  } else {
    put16(out, 0xFFFF);
    put32(out, count);
  }
  for (const auto& s : list) {
    const auto n = static_cast<std::uint32_t>(s.size());
    if (n < 0xFF) {
      out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0xFFFE) {
      out.push_back(0xFF);
      put16(out, n);
    } else {
      out.push_back(0xFF);
      put16(out, 0xFFFF);
      put32(out, n);
    }
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

std::optional<std::vector<std::string>> parse_string_list(std::span<const std::uint8_t> bytes) {
  Reader r(bytes);
  std::uint32_t count = 0;
  if (!r.u16(count)) return std::nullopt;
  if (count == 0xFFFF && !r.u32(count)) return std::nullopt;
  // Every string takes at least its one length byte.
  if (count > r.left()) return std::nullopt;
  std::vector<std::string> list;
  list.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t n = 0;
    if (!r.u8(n)) return std::nullopt;
    if (n == 0xFF) {
      if (!r.u16(n)) return std::nullopt;
      if (n == 0xFFFE) return std::nullopt;
      if (n == 0xFFFF && !r.u32(n)) return std::nullopt;
    }
    std::string s;
    if (!r.bytes(n, s)) return std::nullopt;
    list.push_back(std::move(s));
  }
  if (r.left() != 0) return std::nullopt;
  return list;
}

}  // namespace platform::reg
