// Shared helpers of the GOST R 34.10-94 tests: numbers, keys and the public
// vectors file.
#pragma once

#include <openssl/bn.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/r3410/r3410.h"
#include "tests/support/bn_test_data.h"
#include "tests/support/gost_test_data.h"

namespace qcrypto::testing {

using test_support::Hex;
using test_support::ToHex;
std::vector<unsigned char> Bytes(const BIGNUM* b, int width);
inline std::vector<unsigned char> HexBytes(std::string_view text) { return test_support::hex(text); }

using KeyPtr = UniquePtr<R3410>;
using SigPtr = UniquePtr<R3410_SIG>;

// A key on the given numbers (any may be null); x is made from |x| when
// non-null and y derived from it.
KeyPtr MakeKey(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, const BIGNUM* x = nullptr);
// A key on the built-in parameters with a private key drawn by OpenSSL.
KeyPtr MakeBuiltinKey();

// One named section of the vectors file: name -> field -> hex.
using VectorSection = std::map<std::string, std::string>;
// Sections of gost3410-94_examples.txt: "example" for the first, then the
// bracketed names.
std::map<std::string, VectorSection> LoadVectors();

// The signature equation checked with plain OpenSSL arithmetic:
// (a^((s/m) mod q) * y^(((q - r)/m) mod q) mod p) mod q == r.
bool OracleVerifies(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, const BIGNUM* y, const BIGNUM* r,
                    const BIGNUM* s, const BIGNUM* m);

}  // namespace qcrypto::testing
