// Owners of libgcrypt's records, for the tests that use it as an independent
// implementation to compare with.
#pragma once

#include <gcrypt.h>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(gcry_sexp, gcry_sexp_release)
QCRYPTO_DECLARE_OWNER(gcry_cipher_handle, gcry_cipher_close)
