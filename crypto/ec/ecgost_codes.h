// Function and reason codes of library 75 ("ECGOST routines") raised by the
// signature and key-agreement code.
#pragma once

#include "crypto/err/err.h"

namespace qcrypto {

enum EcgostSignFunction : int {
  ECGOST_F_ECGOST_NEW = 100,
  ECGOST_F_ECGOST_SIG_NEW = 101,
  ECGOST_F_D2I_ECGOST_SIG = 102,
  ECGOST_F_ECDH_GENERATE_KEY = 105,
  ECGOST_F_ECDH_COMPUTE_KEY = 106,
  ECGOST_F_ECDH_NEW = 107,
  ECGOST_F_ECGOST_SIGN_SETUP = 125,
  ECGOST_F_ECGOST_DO_SIGN = 126,
  ECGOST_F_ECGOST_IS_PUBKEY_VALID = 128,
  ECGOST_F_ECGOST_DO_VERIFY = 131,
  ECGOST_F_ECGOST_SIGN_DIGEST = 137,
  ECGOST_F_ECGOST_VERIFY_DIGEST = 138,
  ECGOST_F_I2D_ECGOST_SIG = 149,
  ECGOST_F_ECGOST_GENERATE_PUBKEY = 150,
};

enum EcgostSignReason : int {
  ECGOST_R_ZERO_R = 101,
  ECGOST_R_R_TOO_BIG = 102,
  ECGOST_R_ZERO_S = 103,
  ECGOST_R_S_TOO_BIG = 104,
  ECGOST_R_SIGNATURE_FAILURE = 105,
  // Common reasons named after the library that failed.
  ECGOST_R_BN_LIB = ERRLIB_BN,
  ECGOST_R_ASN1_LIB = ERRLIB_ASN1,
  ECGOST_R_RAND_LIB = ERRLIB_RAND,
  ECGOST_R_ECGOST_LIB = ERRLIB_ECGOST,
};

}  // namespace qcrypto
