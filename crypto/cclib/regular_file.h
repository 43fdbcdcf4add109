// Opening a file that a caller names as an input. Only a regular file is
// read: a FIFO would block the open until some writer came (and then the
// reads), a device or a folder is no input. The open does not wait
// (O_NONBLOCK), the kind is checked on the descriptor that was opened (the
// name may change meanwhile), and blocking reads are restored afterwards.
#pragma once

#include <openssl/bio.h>

#include "crypto/cclib/ossl_owners.h"

namespace qcrypto {

// A read-only descriptor (close-on-exec), or -1 with errno set (EINVAL when
// the name is not a regular file).
int open_regular_file(const char* path);

// The same as a FILE BIO that closes it, so that BIO_get_fp, seeks and tells
// work as on one of BIO_new_file; null when the file cannot be opened or is
// not a regular file.
UniquePtr<BIO> open_regular_file_bio(const char* path);

}  // namespace qcrypto
