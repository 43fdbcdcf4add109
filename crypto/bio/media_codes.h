// Function and reason codes of library 70 ("VEXIL routines") raised by the
// key-medium dispatch.
#pragma once

#include "crypto/err/err.h"

namespace qcrypto {

enum MediaFunction : int {
  VEXIL_F_MEDIA_BIO_OPEN = 150,
};

enum MediaReason : int {
  VEXIL_R_MEDIUM_NOT_AVAILABLE = 160,
  VEXIL_R_UNKNOWN_OPEN_MODE = 161,
  VEXIL_R_PATH_TOO_LONG = 162,
  VEXIL_R_PATH_NOT_USABLE = 163,
  VEXIL_R_CANNOT_OPEN_FILE = 164,
};

}  // namespace qcrypto
