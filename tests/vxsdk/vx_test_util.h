// What the token SDK's tests share, over the fake PC/SC and over pcscd alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vxsdk/ca_exception.h"

namespace vxsdk_test {

// The bytes as hex text, upper-case digits unless `lower`.
inline std::string HexOf(const std::vector<uint8_t>& v, bool lower = false) {
  std::string s;
  char b[4];
  for (uint8_t x : v) {
    std::snprintf(b, sizeof b, lower ? "%02x" : "%02X", x);
    s += b;
  }
  return s;
}

// The code a call throws, or 0.
template <typename F>
int32_t CodeOf(F&& f) {
  try {
    f();
  } catch (const vxsdk::CAException& e) {
    return e.Code();
  }
  return 0;
}

}  // namespace vxsdk_test
