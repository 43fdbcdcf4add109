// Function and reason texts of library 76 ("SHAMIR routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "BN_array_new"},
    {ERR_PACK_CODE(0, 101, 0), "BN_square_matrix_new"},
    {ERR_PACK_CODE(0, 102, 0), "BN_gaussian_elimination"},
    {ERR_PACK_CODE(0, 103, 0), "SHAMIR_solve"},
    {ERR_PACK_CODE(0, 104, 0), "SHAMIR_share"},
    {ERR_PACK_CODE(0, 105, 0), "BN_lagrange"},
    {ERR_PACK_CODE(0, 106, 0), "SHAMIR_SHARED_SECRET_new"},
    {ERR_PACK_CODE(0, 107, 0), "SHAMIR_SHARED_SECRET_add_point"},
    {ERR_PACK_CODE(0, 108, 0), "SHAMIR_SHARED_SECRET_get_point"},
    {ERR_PACK_CODE(0, 109, 0), "SHAMIR_SHARED_SECRET_get_secret"},
    {ERR_PACK_CODE(0, 110, 0), "SHAMIR_SHARED_SECRET_init"},
    {ERR_PACK_CODE(0, 111, 0), "d2i_SHAMIR_SHARED_SECRET_params"},
    {ERR_PACK_CODE(0, 112, 0), "SHAMIR_SHARED_SECRET_params_new"},
    {ERR_PACK_CODE(0, 113, 0), "d2i_SHAMIR_SHARED_SECRET_point"},
    {ERR_PACK_CODE(0, 114, 0), "SHAMIR_SHARED_SECRET_POINT_new"},
    {ERR_PACK_CODE(0, 115, 0), "SHAMIR_SHARED_SECRET_POINT_to_asn1"},
    {ERR_PACK_CODE(0, 116, 0), "SHAMIR_SHARED_SECRET_PARAMS_to_asn1"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {0, nullptr},
};

}  // namespace

void ERR_load_SHAMIR_strings() {
  ERR_load_strings(ERRLIB_SHAMIR, kFunctions);
  ERR_load_strings(ERRLIB_SHAMIR, kReasons);
}

}  // namespace qcrypto
