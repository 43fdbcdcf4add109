// Function and reason texts of library 72 ("GOSTE routines").
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

const ERR_STRING_DATA kFunctions[] = {
    {ERR_PACK_CODE(0, 100, 0), "GOSTE_new"},
    {ERR_PACK_CODE(0, 101, 0), "GOSTH_new"},
    {ERR_PACK_CODE(0, 102, 0), "GOSTE_ss_check"},
    {ERR_PACK_CODE(0, 103, 0), "GOSTE_gamma_check"},
    {ERR_PACK_CODE(0, 104, 0), "GOSTE_gamma_fb_check"},
    {ERR_PACK_CODE(0, 105, 0), "GOSTE_mac_check"},
    {ERR_PACK_CODE(0, 106, 0), "GOSTH_check"},
    {ERR_PACK_CODE(0, 107, 0), "GOSTE_ss_update"},
    {ERR_PACK_CODE(0, 108, 0), "GOSTE_gamma_update"},
    {ERR_PACK_CODE(0, 109, 0), "GOSTE_gamma_fbe_update"},
    {ERR_PACK_CODE(0, 110, 0), "GOSTE_gamma_fbd_update"},
    {ERR_PACK_CODE(0, 111, 0), "GOSTE_mac_final"},
    {ERR_PACK_CODE(0, 112, 0), "GOSTH_final"},
    {ERR_PACK_CODE(0, 113, 0), "GOSTE_mac_update"},
    {0, nullptr},
};

const ERR_STRING_DATA kReasons[] = {
    {ERR_PACK_CODE(0, 0, 100), "MAC is too short"},
    {0, nullptr},
};

}  // namespace

void ERR_load_GOSTE_strings() {
  ERR_load_strings(ERRLIB_GOSTE, kFunctions);
  ERR_load_strings(ERRLIB_GOSTE, kReasons);
}

}  // namespace qcrypto
