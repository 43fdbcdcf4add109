// Texts of the key-wrap and KEK-derivation functions that report under the
// stock libraries 33 (PKCS7) and 13 (ASN.1). OpenSSL 3 keeps no function
// numbers, so ours cannot collide.
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kPkcs7Functions[] = {
    {ERR_PACK_CODE(0, 116, 0), "X942_KEK_GENERATE"}, {ERR_PACK_CODE(0, 120, 0), "CMS_3des_wrap"},
    {ERR_PACK_CODE(0, 121, 0), "CMS_3des_unwrap"},   {ERR_PACK_CODE(0, 122, 0), "CMS_gost_wrap"},
    {ERR_PACK_CODE(0, 123, 0), "CMS_gost_unwrap"},   {ERR_PACK_CODE(0, 124, 0), "CMS_dummy_wrap"},
    {ERR_PACK_CODE(0, 125, 0), "CMS_dummy_unwrap"},  {0, nullptr},
};

const ERR_STRING_DATA kPkcs7Reasons[] = {
    {ERR_PACK_CODE(0, 0, 126), "output buffer too small"},
    {ERR_PACK_CODE(0, 0, 127), "wrong key length"},
    {ERR_PACK_CODE(0, 0, 128), "integrity check value failure"},
    {ERR_PACK_CODE(0, 0, 130), "bad key parity"},
    {0, nullptr},
};

const ERR_STRING_DATA kAsn1Functions[] = {
    {ERR_PACK_CODE(0, 200, 0), "X942_KEY_SPECIFIC_INFO_new"},
    {ERR_PACK_CODE(0, 201, 0), "X942_OTHER_INFO_new"},
    {0, nullptr},
};

}  // namespace

void ERR_load_PKCS7_wrap_strings() {
  ERR_load_strings(ERRLIB_PKCS7, kPkcs7Functions);
  ERR_load_strings(ERRLIB_PKCS7, kPkcs7Reasons);
  ERR_load_strings(ERRLIB_ASN1, kAsn1Functions);
}

}  // namespace qcrypto
