// Function and reason texts of library 70 ("VEXIL routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "VEXIL_init"},
    {ERR_PACK_CODE(0, 101, 0), "VEXIL_get_config"},
    {ERR_PACK_CODE(0, 102, 0), "VEXIL_get_file_info"},
    {ERR_PACK_CODE(0, 103, 0), "VEXIL_is_file_exist"},
    {ERR_PACK_CODE(0, 104, 0), "VEXIL_login"},
    {ERR_PACK_CODE(0, 105, 0), "VEXIL_logout"},
    {ERR_PACK_CODE(0, 106, 0), "VEXIL_change_password"},
    {ERR_PACK_CODE(0, 107, 0), "VEXIL_create_directory"},
    {ERR_PACK_CODE(0, 108, 0), "VEXIL_create_file"},
    {ERR_PACK_CODE(0, 109, 0), "VEXIL_delete"},
    {ERR_PACK_CODE(0, 110, 0), "VEXIL_write"},
    {ERR_PACK_CODE(0, 111, 0), "VEXIL_read"},
    {ERR_PACK_CODE(0, 112, 0), "VEXIL_FILE_INFO_new"},
    {ERR_PACK_CODE(0, 121, 0), "VXSDK_login"},
    {ERR_PACK_CODE(0, 122, 0), "VXSDK_new"},
    {ERR_PACK_CODE(0, 123, 0), "VXSDK_file_open"},
    {ERR_PACK_CODE(0, 124, 0), "VXSDK_file_create"},
    {ERR_PACK_CODE(0, 125, 0), "VXSDK_file_write"},
    {ERR_PACK_CODE(0, 126, 0), "VXSDK_file_read"},
    {ERR_PACK_CODE(0, 127, 0), "VXSDK_file_delete"},
    {ERR_PACK_CODE(0, 128, 0), "VXSDK_file_get_info"},
    {ERR_PACK_CODE(0, 129, 0), "VXSDK_dir_get_info"},
    {ERR_PACK_CODE(0, 130, 0), "VXSDK_root_dir_open"},
    {ERR_PACK_CODE(0, 131, 0), "VXSDK_dir_create"},
    {ERR_PACK_CODE(0, 132, 0), "VXSDK_dir_open"},
    {ERR_PACK_CODE(0, 133, 0), "VXSDK_chdir"},
    {ERR_PACK_CODE(0, 134, 0), "VXSDK_touch"},
    {ERR_PACK_CODE(0, 135, 0), "VXSDK_flush"},
    {ERR_PACK_CODE(0, 136, 0), "VXSDK_delete"},
    {ERR_PACK_CODE(0, 150, 0), "media_bio_open"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 140), "no token in the reader"},
    {ERR_PACK_CODE(0, 0, 141), "file not found on the token"},
    {ERR_PACK_CODE(0, 0, 142), "token login failed"},
    {ERR_PACK_CODE(0, 0, 143), "token PIN locked"},
    {ERR_PACK_CODE(0, 0, 144), "token device failed"},
    {ERR_PACK_CODE(0, 0, 145), "no room on the token"},
    {ERR_PACK_CODE(0, 0, 146), "bad token path"},
    {ERR_PACK_CODE(0, 0, 160), "key medium not available in this build"},
    {ERR_PACK_CODE(0, 0, 161), "unknown open mode"},
    {ERR_PACK_CODE(0, 0, 162), "key-medium path too long"},
    {ERR_PACK_CODE(0, 0, 163), "path not usable on this system"},
    {ERR_PACK_CODE(0, 0, 164), "cannot open file"},
    {0, nullptr},
};

}  // namespace

void ERR_load_VEXIL_strings() {
  ERR_load_strings(ERRLIB_VEXIL, kFunctions);
  ERR_load_strings(ERRLIB_VEXIL, kReasons);
}

}  // namespace qcrypto
