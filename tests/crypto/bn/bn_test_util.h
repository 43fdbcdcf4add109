// Small helpers shared by the big-number tests.
#pragma once

#include <openssl/bn.h>

#include <string>

#include "crypto/bn/bn_owner.h"
#include "tests/support/bn_test_data.h"

namespace qcrypto::testing {

using test_support::Hex;
using test_support::ToHex;

}  // namespace qcrypto::testing
