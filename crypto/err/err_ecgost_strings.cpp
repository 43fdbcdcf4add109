// Function and reason texts of library 75 ("ECGOST routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "ECGOST_new"},
    {ERR_PACK_CODE(0, 101, 0), "ECGOST_SIG_new"},
    {ERR_PACK_CODE(0, 102, 0), "d2i_ECGOST_SIG"},
    {ERR_PACK_CODE(0, 103, 0), "ECURVE_set"},
    {ERR_PACK_CODE(0, 104, 0), "ECURVE_new"},
    {ERR_PACK_CODE(0, 105, 0), "ECDH_generate_key"},
    {ERR_PACK_CODE(0, 106, 0), "ECDH_compute_key"},
    {ERR_PACK_CODE(0, 107, 0), "ECDH_new"},
    {ERR_PACK_CODE(0, 108, 0), "ECGOST_key_pair_generation"},
    {ERR_PACK_CODE(0, 109, 0), "ECPOINT_new"},
    {ERR_PACK_CODE(0, 110, 0), "ECPOINT_dup"},
    {ERR_PACK_CODE(0, 111, 0), "ECPOINT_copy"},
    {ERR_PACK_CODE(0, 112, 0), "ECPOINT_to_affine"},
    {ERR_PACK_CODE(0, 113, 0), "ECPOINT_get_x"},
    {ERR_PACK_CODE(0, 114, 0), "ECPOINT_normalize"},
    {ERR_PACK_CODE(0, 115, 0), "ECPOINT_derive"},
    {ERR_PACK_CODE(0, 116, 0), "ECPOINT_hex2point"},
    {ERR_PACK_CODE(0, 117, 0), "ECPOINT_bi2point"},
    {ERR_PACK_CODE(0, 118, 0), "ECPOINT_point2bin"},
    {ERR_PACK_CODE(0, 119, 0), "ECPOINT_set_infinity"},
    {ERR_PACK_CODE(0, 120, 0), "ECPOINT_double_affine"},
    {ERR_PACK_CODE(0, 121, 0), "ECPOINT_add_affine"},
    {ERR_PACK_CODE(0, 122, 0), "ECPOINT_double_projective"},
    {ERR_PACK_CODE(0, 123, 0), "ECPOINT_add_projective"},
    {ERR_PACK_CODE(0, 124, 0), "ECPOINT_mul"},
    {ERR_PACK_CODE(0, 125, 0), "ECGOST_sign_setup"},
    {ERR_PACK_CODE(0, 126, 0), "ECGOST_do_signDO_SIGN"},
    {ERR_PACK_CODE(0, 127, 0), "ECPOINT_lies"},
    {ERR_PACK_CODE(0, 128, 0), "ECGOST_is_pubkey_valid"},
    {ERR_PACK_CODE(0, 129, 0), "ECURVE_get_coefficients"},
    {ERR_PACK_CODE(0, 130, 0), "ECURVE_gost_is_valid"},
    {ERR_PACK_CODE(0, 131, 0), "ECGOST_do_verify"},
    {ERR_PACK_CODE(0, 132, 0), "ECGOST_sign_new"},
    {ERR_PACK_CODE(0, 133, 0), "ECGOST_sign_init"},
    {ERR_PACK_CODE(0, 134, 0), "ECGOST_sign_final"},
    {ERR_PACK_CODE(0, 135, 0), "ECGOST_verify_init"},
    {ERR_PACK_CODE(0, 136, 0), "ECGOST_verify_final"},
    {ERR_PACK_CODE(0, 137, 0), "ECGOST_sign_digest"},
    {ERR_PACK_CODE(0, 138, 0), "ECGOST_verify_digest"},
    {ERR_PACK_CODE(0, 139, 0), "ECGOST_DH_init"},
    {ERR_PACK_CODE(0, 140, 0), "ECGOST_DH_generate_key"},
    {ERR_PACK_CODE(0, 141, 0), "ECGOST_DH_compute_key"},
    {ERR_PACK_CODE(0, 142, 0), "ECURVE_init"},
    {ERR_PACK_CODE(0, 143, 0), "compute_wNAF"},
    {ERR_PACK_CODE(0, 144, 0), "ECGOST_generate_key"},
    {ERR_PACK_CODE(0, 145, 0), "ECGOST_print"},
    {ERR_PACK_CODE(0, 146, 0), "ECGOSTparams_print"},
    {ERR_PACK_CODE(0, 147, 0), "ECGOST_print_fp"},
    {ERR_PACK_CODE(0, 148, 0), "ECGOSTparams_print_fp"},
    {ERR_PACK_CODE(0, 149, 0), "i2d_ECGOST_SIG"},
    {ERR_PACK_CODE(0, 150, 0), "ECGOST_generate_pubkey"},
    {ERR_PACK_CODE(0, 151, 0), "ECGOST_encrypt_opaque"},
    {ERR_PACK_CODE(0, 152, 0), "ECGOST_decrypt_opaque"},
    {ERR_PACK_CODE(0, 153, 0), "ECPOINT_FBW_new"},
    {ERR_PACK_CODE(0, 154, 0), "ECPOINT_fbw_init"},
    {ERR_PACK_CODE(0, 155, 0), "ECPOINT_fbw_close"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "invalid parameters"},
    {ERR_PACK_CODE(0, 0, 101), "zero r"},
    {ERR_PACK_CODE(0, 0, 102), "r is too big"},
    {ERR_PACK_CODE(0, 0, 103), "zero s"},
    {ERR_PACK_CODE(0, 0, 104), "s is too big"},
    {ERR_PACK_CODE(0, 0, 105), "signature failure"},
    {ERR_PACK_CODE(0, 0, 106), "unsupported field type"},
    {ERR_PACK_CODE(0, 0, 107), "provider signing failed"},
    {0, nullptr},
};

}  // namespace

void ERR_load_ECGOST_strings() {
  ERR_load_strings(ERRLIB_ECGOST, kFunctions);
  ERR_load_strings(ERRLIB_ECGOST, kReasons);
}

}  // namespace qcrypto
