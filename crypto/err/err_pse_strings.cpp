// Function and reason texts of library 74 ("PSE routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "PSE_ENTRY_new"},
    {ERR_PACK_CODE(0, 101, 0), "PSE_ENTRY_set"},
    {ERR_PACK_CODE(0, 102, 0), "PSE_new"},
    {ERR_PACK_CODE(0, 103, 0), "PSE_init"},
    {ERR_PACK_CODE(0, 104, 0), "PSE_decrypt32"},
    {ERR_PACK_CODE(0, 105, 0), "PSE_encrypt32"},
    {ERR_PACK_CODE(0, 106, 0), "PSE_invert32"},
    {ERR_PACK_CODE(0, 107, 0), "PSE_key32_generate"},
    {ERR_PACK_CODE(0, 108, 0), "PSE_read_opaque"},
    {ERR_PACK_CODE(0, 109, 0), "PSE_write_opaque"},
    {ERR_PACK_CODE(0, 110, 0), "PSE_generate_mkey"},
    {ERR_PACK_CODE(0, 111, 0), "PSE_load_mkey"},
    {ERR_PACK_CODE(0, 112, 0), "PSE_generate_kek"},
    {ERR_PACK_CODE(0, 113, 0), "PSE_load_kek"},
    {ERR_PACK_CODE(0, 114, 0), "PSE_rand_init"},
    {ERR_PACK_CODE(0, 115, 0), "PSE_rand_save_state"},
    {ERR_PACK_CODE(0, 116, 0), "PSE_rand_device"},
    {ERR_PACK_CODE(0, 117, 0), "PSE_read_sbox"},
    {ERR_PACK_CODE(0, 118, 0), "PSE_save_mkey"},
    {ERR_PACK_CODE(0, 119, 0), "PSE_generate_num_info"},
    {ERR_PACK_CODE(0, 120, 0), "PSE_check_num_info"},
    {ERR_PACK_CODE(0, 121, 0), "PSE_generate_sec_sgn"},
    {ERR_PACK_CODE(0, 122, 0), "PSE30_new"},
    {ERR_PACK_CODE(0, 123, 0), "PSE30_rand_init"},
    {ERR_PACK_CODE(0, 124, 0), "PSE30_generate"},
    {ERR_PACK_CODE(0, 125, 0), "PSE30_read"},
    {ERR_PACK_CODE(0, 126, 0), "PSE30_generate_sec_sgn"},
    {ERR_PACK_CODE(0, 127, 0), "CCLIB_init"},
    {ERR_PACK_CODE(0, 128, 0), "PSE_read_sec_sgn_old"},
    {ERR_PACK_CODE(0, 140, 0), "PSE_mask_staff_init"},
    {ERR_PACK_CODE(0, 141, 0), "PSE_key32_mac_mask"},
    {ERR_PACK_CODE(0, 142, 0), "PSE_key32_mask"},
    {ERR_PACK_CODE(0, 143, 0), "PSE_key32_unmask"},
    {ERR_PACK_CODE(0, 144, 0), "PSE_key32_remask"},
    {ERR_PACK_CODE(0, 145, 0), "PSE_mask_new"},
    {ERR_PACK_CODE(0, 119, 0), "PSE_finger_print"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "invalid MAC"},
    {ERR_PACK_CODE(0, 0, 101), "read file error"},
    {ERR_PACK_CODE(0, 0, 102), "write file error"},
    {ERR_PACK_CODE(0, 0, 103), "invalit object format"},
    {ERR_PACK_CODE(0, 0, 104), "series mismatch"},
    {ERR_PACK_CODE(0, 0, 105), "signature failure"},
    {ERR_PACK_CODE(0, 0, 106), "peer public key not found"},
    {0, nullptr},
};

}  // namespace

void ERR_load_PSE_strings() {
  ERR_load_strings(ERRLIB_PSE, kFunctions);
  ERR_load_strings(ERRLIB_PSE, kReasons);
}

}  // namespace qcrypto
