// Function and reason texts of library 78 ("GOSTS routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "GOSTS_gen_params"},
    {ERR_PACK_CODE(0, 101, 0), "GOSTS_proc_A"},
    {ERR_PACK_CODE(0, 102, 0), "GOSTS_proc_B"},
    {ERR_PACK_CODE(0, 103, 0), "GOSTS_proc_C"},
    {ERR_PACK_CODE(0, 104, 0), "GOSTS_params_print"},
    {ERR_PACK_CODE(0, 105, 0), "GOSTS_params_print_fp"},
    {ERR_PACK_CODE(0, 106, 0), "GOSTS_is_prime"},
    {ERR_PACK_CODE(0, 107, 0), "GOSTS_test_prime"},
    {ERR_PACK_CODE(0, 108, 0), "GOSTS_new"},
    {ERR_PACK_CODE(0, 109, 0), "GOSTS_print"},
    {ERR_PACK_CODE(0, 110, 0), "GOSTS_print_fp"},
    {ERR_PACK_CODE(0, 111, 0), "GOSTS_sign"},
    {ERR_PACK_CODE(0, 112, 0), "GOSTS_sign_setup"},
    {ERR_PACK_CODE(0, 113, 0), "GOSTS_verify"},
    {ERR_PACK_CODE(0, 114, 0), "GOSTS_do_sign"},
    {ERR_PACK_CODE(0, 115, 0), "GOSTS_do_verify"},
    {ERR_PACK_CODE(0, 116, 0), "GOSTS_SIG_new"},
    {ERR_PACK_CODE(0, 118, 0), "i2d_GOSTS_SIG"},
    {ERR_PACK_CODE(0, 119, 0), "d2i_GOSTS_SIG"},
    {ERR_PACK_CODE(0, 117, 0), "GOSTS_generate_pubkey"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "invalid length of 'p' and/or 'q'"},
    {ERR_PACK_CODE(0, 0, 101), "'s' is zero"},
    {ERR_PACK_CODE(0, 0, 102), "'r' is zero"},
    {ERR_PACK_CODE(0, 0, 103), "'s' is greater or equal to 'q'"},
    {ERR_PACK_CODE(0, 0, 104), "'r' is greater or equal to 'q'"},
    {ERR_PACK_CODE(0, 0, 105), "invalid private key"},
    {ERR_PACK_CODE(0, 0, 106), "invalid k"},
    {ERR_PACK_CODE(0, 0, 107), "invalid length of p"},
    {ERR_PACK_CODE(0, 0, 108), "invalid domain parameters"},
    // A public key outside the group: refused before any signature is checked.
    {ERR_PACK_CODE(0, 0, 109), "invalid public key"},
    {0, nullptr},
};

}  // namespace

void ERR_load_GOSTS_strings() {
  ERR_load_strings(ERRLIB_GOSTS, kFunctions);
  ERR_load_strings(ERRLIB_GOSTS, kReasons);
}

}  // namespace qcrypto
