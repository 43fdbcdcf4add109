// Function and reason codes of the token and Touch-Memory BIOs: library 32
// (the BIO library) for both token media, library 7 for Touch-Memory, as the
// system always numbered them.
#pragma once

#include "crypto/err/err.h"

namespace qcrypto {

constexpr int ERRLIB_TOUCH_MEMORY = 7;

enum TokenBioFunction : int {
  VXBIO_F_SET_FILE_NAME = 103,
  VXBIO_F_VXAPI_GET_INFO = 115,
  VXBIO_F_LOGIN = 121,
  VXBIO_F_BIND = 122,
  VXBIO_F_FILE_OPEN = 123,
  VXBIO_F_FILE_CREATE = 124,
  VXBIO_F_FILE_WRITE = 125,
  VXBIO_F_FILE_READ = 126,
  VXBIO_F_FILE_DELETE = 127,
  VXBIO_F_FILE_INFO = 128,
  VXBIO_F_FOLDER_INFO = 129,
  VXBIO_F_ROOT_OPEN = 130,
  VXBIO_F_FOLDER_CREATE = 131,
  VXBIO_F_FOLDER_OPEN = 132,
  VXBIO_F_CHDIR = 133,
  VXBIO_F_TOUCH = 134,
  VXBIO_F_WRITE_BACK = 135,
};

enum TokenBioReason : int {
  VXBIO_R_WRITE_BACK_BEFORE_REOPEN = 2,
  VXBIO_R_SDK_CALL = 12,
  VXBIO_R_PASSED_UP = 32,
  VXBIO_R_MEMORY = 33,
  VXBIO_R_NO_READ_OR_WRITE = 101,
  VXBIO_R_NO_READER = 127,
  VXBIO_R_LOGIN = 128,
  // The old file was already deleted or partly overwritten when the write
  // failed: the medium holds neither the old nor the new content.
  VXBIO_R_OLD_FILE_LOST = 140,
  // More bytes than a token file can hold (16-bit sizes).
  VXBIO_R_FILE_TOO_LARGE = 141,
};

// Library 70 for what the older token API reports and for entries.
enum VexilFunction : int {
  VEXIL_F_CTX_NEW = 100,
  VEXIL_F_FILE_INFO_NEW = 112,
};

enum TouchMemoryFunction : int {
  TM_F_CTX = 110,
  TM_F_WRITE_BACK = 115,
  TM_F_OPEN = 118,
};

enum TouchMemoryReason : int {
  TM_R_DRIVER_STEP = 2,
  TM_R_MEMORY = 33,
  TM_R_NO_BUFFER = 118,
  // The button holds a file larger than a button file can be: refused, not
  // cut.
  TM_R_FILE_TOO_LARGE = 119,
};

}  // namespace qcrypto
