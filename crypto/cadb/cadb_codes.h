// Function and reason codes of library 66 ("CADB routines").
#pragma once

#include "crypto/err/err.h"

namespace qcrypto {

enum CadbFunction : int {
  CADB_F_ATTRIBUTE_NEW = 100,
  CADB_F_ATTRIBUTE_ADD = 101,
  CADB_F_BUFFER_NEW = 102,
  CADB_F_BUFFER_FILL = 103,
  CADB_F_X2TEXT = 105,
  CADB_F_X2PEM = 106,
  CADB_F_X2DER = 107,
  CADB_F_X509_NAME_SPLIT = 109,
  CADB_F_PKEY_NEW = 130,
  CADB_F_PKEY_READ_BUFFER = 137,
  CADB_F_CERT_NEW = 143,
  CADB_F_CERT_READ_BIO = 144,
  CADB_F_CERT_READ_BUFFER = 145,
  CADB_F_CERT_SPLIT = 148,
  CADB_F_CRL_NEW = 151,
  CADB_F_CRL_READ_BIO = 152,
  CADB_F_CRL_READ_BUFFER = 153,
  CADB_F_CRL_SPLIT = 156,
  CADB_F_REVOKED_NEW = 158,
  CADB_F_PKEY_SPLIT = 159,
  CADB_F_X509_VERIFY_ERROR_NEW = 235,
  CADB_F_CADB_READ_FILE = 319,
  CADB_F_CADB_WRITE_FILE = 320,
  CADB_F_CADB_ERASE_FILE = 321,
  CADB_F_CERT_GET = 324,
  CADB_F_CADB_ENUM_FILES = 331,
  CADB_F_CADB_READ_BYTES = 332,
  CADB_F_MEDIA_FILE_SIZE = 333,
  CADB_F_PKEY_READ_BUFFER_PASSWORD = 334,
  CADB_F_PKEY_READ_OLD = 335,
};

// The reasons the database raises: the common ones for bad arguments (12),
// memory (33) and a failure of a called part (66).
enum CadbReason : int {
  CADB_R_BAD_ARGUMENT = ERR_R_INTERNAL,
  CADB_R_MEMORY = ERR_R_MEMORY_ALLOC,
  CADB_R_CALLED_PART = 66,
};

}  // namespace qcrypto
