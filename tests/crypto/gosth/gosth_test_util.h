// Helpers of the hash tests: the two hash parameter sets and digests through
// the one-shot call.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/rus/gost3411.h"
#include "tests/support/gost_test_data.h"

namespace gosth_test {

using namespace test_support;
using Digest = std::array<unsigned char, 32>;
using SboxTable = SboxRows;
using Sbox = std::array<unsigned char, 64>;

inline Bytes from_hex(std::string_view text) { return hex(text); }
inline Sbox to_sbox(const SboxTable& t) { return pack_sbox(t); }

inline Digest reversed(const Digest& d) {
  Digest r = d;
  std::reverse(r.begin(), r.end());
  return r;
}

// id-GostR3411-94-TestParamSet (1.2.643.2.2.30.0), the set of the examples of RFC 5831.
inline const Sbox& test_paramset() {
  static const Sbox s = sbox_by_oid("1.2.643.2.2.30.0");
  return s;
}

// id-GostR3411-94-CryptoProParamSet (1.2.643.2.2.30.1), RFC 4357 section 11.2.
inline const Sbox& cryptopro_paramset() {
  static const Sbox s = sbox_by_oid("1.2.643.2.2.30.1");
  return s;
}

// The parameter set named in the vectors files ("test" or "CryptoPro").
inline const Sbox& paramset(std::string_view name) {
  if (name == "test") return test_paramset();
  if (name == "CryptoPro") return cryptopro_paramset();
  throw std::invalid_argument("unknown parameter set");
}

// Digest in this library's order (most significant byte of H first); throws
// when the one-shot call fails so that a failure cannot pass as a value.
inline Digest digest(const Bytes& msg, const unsigned char* sbox = nullptr, const unsigned char* start = nullptr) {
  Digest d{};
  const auto* data = msg.empty() ? reinterpret_cast<const unsigned char*>("") : msg.data();
  if (qcrypto::GOSTH_digest(data, static_cast<int>(msg.size()), start, sbox, d.data()) != d.data())
    throw std::runtime_error("GOSTH_digest failed");
  return d;
}

}  // namespace gosth_test
