#include "crypto/cadb/buffer.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>

#include "crypto/cadb/cadb_codes.h"

namespace qcrypto {

BUFFER* BUFFER_new() {
  auto* buffer = static_cast<BUFFER*>(OPENSSL_zalloc(sizeof(BUFFER)));
  if (buffer == nullptr) QERR(ERRLIB_CADB, CADB_F_BUFFER_NEW, CADB_R_MEMORY);
  return buffer;
}

int BUFFER_fill(BUFFER* buffer, const void* bytes, int length) {
  if (buffer == nullptr || (length < 0 && bytes == nullptr)) {
    QERR(ERRLIB_CADB, CADB_F_BUFFER_FILL, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  std::size_t n = length < 0 ? std::strlen(static_cast<const char*>(bytes)) : static_cast<std::size_t>(length);
  if (n >= static_cast<std::size_t>(INT_MAX)) {
    QERR(ERRLIB_CADB, CADB_F_BUFFER_FILL, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  auto* data = static_cast<unsigned char*>(OPENSSL_zalloc(n + 1));
  if (data == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_BUFFER_FILL, CADB_R_MEMORY);
    return 0;
  }
  if (bytes != nullptr && n > 0) std::memcpy(data, bytes, n);
  BUFFER_clear(buffer);
  buffer->data = data;
  buffer->length = static_cast<int>(n);
  return 1;
}

void BUFFER_clear(BUFFER* buffer) {
  if (buffer == nullptr) return;
  if (buffer->data != nullptr) {
    // The allocation is always length + 1 bytes; the terminator is wiped too.
    OPENSSL_clear_free(buffer->data, static_cast<std::size_t>(buffer->length) + 1);
  }
  buffer->data = nullptr;
  buffer->length = 0;
}

void BUFFER_free(BUFFER* buffer) {
  if (buffer == nullptr) return;
  BUFFER_clear(buffer);
  OPENSSL_free(buffer);
}

}  // namespace qcrypto
