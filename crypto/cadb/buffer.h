// Byte buffers of the certificate database.
//
// A buffer owns `length` bytes followed by one zero byte, so a buffer that
// holds text can be handed on as a C string. Its bytes may have been a key
// file or a password-protected container, so they are wiped whenever they
// are let go.
#pragma once

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct BUFFER {
  unsigned char* data;
  int length;
};

// An empty buffer (no data, length 0), or null with an error when memory
// runs out.
BUFFER* BUFFER_new();
// Replaces the buffer's contents with `length` bytes copied from `bytes`
// (zeros when `bytes` is null) and a terminating zero byte. A negative length
// takes the length of the text `bytes`. 1, or 0 with the old contents kept.
int BUFFER_fill(BUFFER* buffer, const void* bytes, int length);
// Wipes and frees the contents; the record stays, empty.
void BUFFER_clear(BUFFER* buffer);
// Wipes the contents and frees the record. Null is allowed.
void BUFFER_free(BUFFER* buffer);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::BUFFER, qcrypto::BUFFER_free)
