// Shared helpers of the key-wrap tests.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "crypto/err/err.h"

namespace wrap_test {

using Bytes = std::vector<unsigned char>;

inline Bytes hex(std::string_view s) {
  Bytes out;
  auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<unsigned char>((nib(s[i]) << 4) | nib(s[i + 1])));
  }
  return out;
}

// The packed codes on the queue, oldest first; the queue is emptied.
inline std::vector<unsigned long> drain_errors() {
  std::vector<unsigned long> codes;
  while (unsigned long e = qcrypto::ERR_get_error()) codes.push_back(e);
  return codes;
}

}  // namespace wrap_test
