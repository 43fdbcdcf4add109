// Texts of the big-number additions, which report under the stock library 3.
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 119, 0), "BN_sqrt"},
    {ERR_PACK_CODE(0, 120, 0), "BN_mod_binary_inverse"},
    {ERR_PACK_CODE(0, 121, 0), "BN_rand_bytes"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 108), "no inverse"},
    {0, nullptr},
};

}  // namespace

void ERR_load_BN_additions_strings() {
  ERR_load_strings(ERRLIB_BN, kFunctions);
  ERR_load_strings(ERRLIB_BN, kReasons);
}

}  // namespace qcrypto
