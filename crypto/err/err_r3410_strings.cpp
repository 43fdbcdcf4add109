// Function and reason texts of library 65 ("R3410 routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "R3410_gen_params"},
    {ERR_PACK_CODE(0, 101, 0), "R3410_proc_A"},
    {ERR_PACK_CODE(0, 102, 0), "R3410_proc_B"},
    {ERR_PACK_CODE(0, 103, 0), "R3410_proc_C"},
    {ERR_PACK_CODE(0, 104, 0), "R3410params_print"},
    {ERR_PACK_CODE(0, 105, 0), "R3410params_print_fp"},
    {ERR_PACK_CODE(0, 106, 0), "R3410_is_prime"},
    {ERR_PACK_CODE(0, 107, 0), "R3410_test_prime"},
    {ERR_PACK_CODE(0, 108, 0), "R3410_new"},
    {ERR_PACK_CODE(0, 109, 0), "R3410_print"},
    {ERR_PACK_CODE(0, 110, 0), "R3410_print_fp"},
    {ERR_PACK_CODE(0, 111, 0), "R3410_sign"},
    {ERR_PACK_CODE(0, 112, 0), "R3410_sign_setup"},
    {ERR_PACK_CODE(0, 113, 0), "R3410_verify"},
    {ERR_PACK_CODE(0, 114, 0), "R3410_do_sign"},
    {ERR_PACK_CODE(0, 115, 0), "R3410_do_verify"},
    {ERR_PACK_CODE(0, 116, 0), "R3410_SIG_new"},
    {ERR_PACK_CODE(0, 117, 0), "i2d_R3410_SIG"},
    {ERR_PACK_CODE(0, 118, 0), "d2i_R3410_SIG"},
    {ERR_PACK_CODE(0, 119, 0), "R3410_decrypt_opaque"},
    {ERR_PACK_CODE(0, 120, 0), "R3410_encrypt_opaque"},
    {ERR_PACK_CODE(0, 121, 0), "R3410_generate_pubkey"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "invalid length of 'p' and/or 'q'"},
    {ERR_PACK_CODE(0, 0, 101), "'s' is zero"},
    {ERR_PACK_CODE(0, 0, 102), "'r' is zero"},
    {ERR_PACK_CODE(0, 0, 103), "'s' is greater or equal to 'q'"},
    {ERR_PACK_CODE(0, 0, 104), "'r' is greater or equal to 'q'"},
    {ERR_PACK_CODE(0, 0, 105), "invalid private key"},
    {ERR_PACK_CODE(0, 0, 110), "provider signing failed"},
    {0, nullptr},
};

}  // namespace

void ERR_load_R3410_strings() {
  ERR_load_strings(ERRLIB_R3410, kFunctions);
  ERR_load_strings(ERRLIB_R3410, kReasons);
}

}  // namespace qcrypto
