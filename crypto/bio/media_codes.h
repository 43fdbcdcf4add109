// Function and reason codes of library 70 ("VEXIL routines") raised by the
// key-medium dispatch.
#pragma once

#include "crypto/err/err.h"

namespace qcrypto {

enum MediaFunction : int {
  VEXIL_F_MEDIA_BIO_OPEN = 150,
};

enum MediaReason : int {
  VEXIL_R_MEDIUM_NOT_AVAILABLE = 150,
  VEXIL_R_UNKNOWN_OPEN_MODE = 151,
  VEXIL_R_PATH_TOO_LONG = 152,
  VEXIL_R_PATH_NOT_USABLE = 153,
  VEXIL_R_CANNOT_OPEN_FILE = 154,
};

}  // namespace qcrypto
