// Texts of the private-key functions that report under the stock library 6
// (EVP). OpenSSL 3 keeps no function numbers, so ours cannot collide; the own
// reasons sit at 400 and up, far above OpenSSL's EVP reasons, so they never
// shadow one of its texts.
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 119, 0), "EVP_PKEY_decrypt_opaque"},
    {ERR_PACK_CODE(0, 120, 0), "EVP_PKEY_generate_pubkey"},
    {ERR_PACK_CODE(0, 121, 0), "EVP_PKEY_d2i_typed"},
    {ERR_PACK_CODE(0, 122, 0), "EVP_PKEY_decode_private"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 400), "no password callback"},
    {ERR_PACK_CODE(0, 0, 401), "password entry cancelled"},
    {ERR_PACK_CODE(0, 0, 402), "private key does not match its public key"},
    {ERR_PACK_CODE(0, 0, 403), "unsupported password-based encryption"},
    {0, nullptr},
};

}  // namespace

void ERR_load_EVP_key_strings() {
  ERR_load_strings(ERRLIB_EVP, kFunctions);
  ERR_load_strings(ERRLIB_EVP, kReasons);
}

}  // namespace qcrypto
