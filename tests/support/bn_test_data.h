// Big numbers in the tests: from and to hexadecimal text. A malformed text
// throws, so that a typo in a table cannot pass as some other number.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/bn/bn_owner.h"

namespace test_support {

// Accepts an optional "0x" prefix and a leading '-'.
inline qcrypto::BnPtr Hex(std::string_view text) {
  std::string digits(text);
  const bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.erase(0, 1);
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits.erase(0, 2);
  BIGNUM* b = nullptr;
  if (digits.empty() || BN_hex2bn(&b, digits.c_str()) != static_cast<int>(digits.size())) {
    BN_free(b);
    throw std::invalid_argument("bad hex number: " + std::string(text));
  }
  BN_set_negative(b, negative ? 1 : 0);
  return qcrypto::BnPtr(b);
}

// Upper-case hexadecimal as OpenSSL prints it ("0" for zero, "-" in front of
// negatives); "(null)" for a missing number.
inline std::string ToHex(const BIGNUM* b) {
  if (b == nullptr) return "(null)";
  char* s = BN_bn2hex(b);
  std::string out = s != nullptr ? s : "";
  OPENSSL_free(s);
  return out;
}

}  // namespace test_support
