// Small helpers shared by the big-number tests.
#pragma once

#include <openssl/bn.h>

#include <string>

#include "crypto/bn/bn_owner.h"

namespace qcrypto::testing {

inline BnPtr Hex(const char* hex) {
  BIGNUM* b = nullptr;
  if (BN_hex2bn(&b, hex) == 0) return BnPtr();
  return BnPtr(b);
}

inline std::string ToHex(const BIGNUM* b) {
  char* s = BN_bn2hex(b);
  std::string out = s ? s : "";
  OPENSSL_free(s);
  return out;
}

}  // namespace qcrypto::testing
