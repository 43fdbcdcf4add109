// Function and reason texts of library 69 ("RAND routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "RAND_cleanup"},
    {ERR_PACK_CODE(0, 101, 0), "RAND_bytes"},
    {ERR_PACK_CODE(0, 102, 0), "RAND_seed"},
    {ERR_PACK_CODE(0, 103, 0), "RAND_init"},
    {ERR_PACK_CODE(0, 104, 0), "RAND_load_file"},
    {ERR_PACK_CODE(0, 105, 0), "RAND_write_file"},
    {ERR_PACK_CODE(0, 106, 0), "RAND_info"},
    {ERR_PACK_CODE(0, 107, 0), "GRAND_rand_init"},
    {ERR_PACK_CODE(0, 108, 0), "GRAND_rand_bytes"},
    {ERR_PACK_CODE(0, 109, 0), "GRAND_prf"},
    {ERR_PACK_CODE(0, 110, 0), "GRAND_gamma_rand_seed"},
    {ERR_PACK_CODE(0, 111, 0), "GRAND_gamma_rand_init"},
    {ERR_PACK_CODE(0, 112, 0), "CRYPTON_rand_bytes"},
    {ERR_PACK_CODE(0, 113, 0), "CRYPTON_rand_init"},
    {ERR_PACK_CODE(0, 114, 0), "CRYPTON_rand_info"},
    {ERR_PACK_CODE(0, 115, 0), "ACCORD_rand_bytes"},
    {ERR_PACK_CODE(0, 116, 0), "ACCORD_rand_init"},
    {ERR_PACK_CODE(0, 117, 0), "ACCORD_rand_info"},
    {ERR_PACK_CODE(0, 118, 0), "SABLE_rand_bytes"},
    {ERR_PACK_CODE(0, 119, 0), "SABLE_rand_init"},
    {ERR_PACK_CODE(0, 120, 0), "SABLE_rand_info"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "method not set"},
    {ERR_PACK_CODE(0, 0, 101), "FIFO required"},
    {0, nullptr},
};

}  // namespace

void ERR_load_RAND_strings() {
  ERR_load_strings(ERRLIB_RAND, kFunctions);
  ERR_load_strings(ERRLIB_RAND, kReasons);
}

}  // namespace qcrypto
