// Helpers shared by the GOST R 34.10-2001 signature and key-agreement tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <sys/random.h>

#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/support/bn_test_data.h"
#include "tests/support/gost_test_data.h"

namespace qcrypto::ecgost_testing {

using CurvePtr = UniquePtr<ECURVE>;
using KeyPtr = UniquePtr<ECGOST>;
using SigPtr = UniquePtr<ECGOST_SIG>;
using EcdhPtr = UniquePtr<ECDH>;
using PointPtr = UniquePtr<ECPOINT>;

using test_support::Hex;
using test_support::ToHex;

inline std::vector<unsigned char> Bytes(std::string_view text) { return test_support::hex(text); }

// Big-endian bytes of `v` in a field of `width` bytes.
inline std::vector<unsigned char> Fixed(const BIGNUM* v, int width) {
  std::vector<unsigned char> out(static_cast<size_t>(width));
  BN_bn2binpad(v, out.data(), width);
  return out;
}

// "name = value" lines of a vector file (hex values, optional 0x); the first
// occurrence of a name wins.
inline std::map<std::string, std::string> ReadVectorFile(const std::string& name) {
  std::ifstream in(std::string(DOSSAR_VECTORS_DIR) + "/" + name);
  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
      size_t i = 0;
      while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
      return s.substr(i);
    };
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    if (value.rfind("0x", 0) == 0) value = value.substr(2);
    values.emplace(key, value);
  }
  return values;
}

inline CurvePtr LoadCurve(const ECURVE_DEF* def, int kind) { return CurvePtr(ECURVE_init(def, kind)); }

// Sets a point's coordinates as given, without any check: lets tests build
// points that are off the curve.
inline void SetAffine(ECPOINT* point, const BIGNUM* x, const BIGNUM* y) {
  ASSERT_NE(BN_copy(point->X, x), nullptr);
  ASSERT_NE(BN_copy(point->Y, y), nullptr);
  if (point->kind == ECURVE_PROJECTIVE) {
    ASSERT_TRUE(BN_one(point->Z));
  } else {
    BN_zero(point->Z);
  }
}

// A key on `curve` with private number `d` and its public point.
inline KeyPtr MakeKey(ECURVE* curve, const BIGNUM* d) {
  KeyPtr key(ECGOST_new(curve));
  if (key == nullptr || BN_copy(key->d, d) == nullptr || ECGOST_generate_pubkey(key.get()) != 1) return KeyPtr();
  return key;
}

// Fresh random bytes from the system for inputs the tests choose.
inline std::vector<unsigned char> RandomBytes(size_t n) {
  std::vector<unsigned char> out(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(out.data() + got, n - got, 0);
    if (r > 0) got += static_cast<size_t>(r);
  }
  return out;
}

// A number uniform in [1, q - 1] from the system generator.
inline BnPtr RandomBelow(const BIGNUM* q) {
  BnPtr v(BN_new());
  do {
    auto bytes = RandomBytes(static_cast<size_t>(BN_num_bytes(q)));
    BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), v.get());
    BN_mask_bits(v.get(), BN_num_bits(q));
  } while (BN_is_zero(v.get()) || BN_cmp(v.get(), q) >= 0);
  return v;
}

// A random method over the system generator, for the tests that need fresh nonces.
inline int SystemBytes(unsigned char* buffer, int length) {
  auto bytes = RandomBytes(static_cast<size_t>(length));
  std::copy(bytes.begin(), bytes.end(), buffer);
  return length;
}
inline const RAND_METHOD kSystemRand = {nullptr, SystemBytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Installs the system method for a test's lifetime.
class SystemRandom {
 public:
  SystemRandom() { RAND_set_rand_method(&kSystemRand); }
  ~SystemRandom() { RAND_set_rand_method(nullptr); }
};

// Installs the deterministic method fed with `bytes`; restores no method afterwards.
class FixedRandom {
 public:
  explicit FixedRandom(std::span<const unsigned char> bytes) {
    RAND_set_rand_method(RAND_fixed_method());
    RAND_fixed_set_bytes(bytes);
  }
  ~FixedRandom() { RAND_set_rand_method(nullptr); }
};

// Whether the error queue holds (library 75, func, reason); empties the queue.
inline bool QueueHas(int func, int reason) {
  bool found = false;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    if (ERR_GET_LIB_CODE(e) == ERRLIB_ECGOST && ERR_GET_FUNC_CODE(e) == func && ERR_GET_REASON_CODE(e) == reason) {
      found = true;
    }
  }
  return found;
}

}  // namespace qcrypto::ecgost_testing
