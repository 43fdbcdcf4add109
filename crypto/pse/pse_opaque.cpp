#include "crypto/pse/pse_opaque.h"

#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"

namespace qcrypto {

unsigned char* PSE_read_opaque(PseOpaqueStore* container, const unsigned char* block, unsigned char* out) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (out == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_OPAQUE, ERRLIB_PSE);
    return nullptr;
  }
  if (container == nullptr || block == nullptr || !container->decrypt_opaque(block, out)) {
    OPENSSL_cleanse(out, PSE_OPAQUE_PLAIN_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_OPAQUE, ERRLIB_PSE);
    return nullptr;
  }
  return out;
}

unsigned char* PSE_write_opaque(PseOpaqueStore* container, const unsigned char* plain, unsigned char* out) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (out == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_WRITE_OPAQUE, ERRLIB_PSE);
    return nullptr;
  }
  if (container == nullptr || plain == nullptr || !container->encrypt_opaque(plain, out)) {
    OPENSSL_cleanse(out, PSE_OPAQUE_PLAIN_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_WRITE_OPAQUE, ERRLIB_PSE);
    return nullptr;
  }
  return out;
}

unsigned char* PSE_invert32(unsigned char* buffer) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (buffer == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_INVERT32, ERRLIB_PSE);
    return nullptr;
  }
  for (int i = 0, j = PSE_OPAQUE_PLAIN_BYTES - 1; i < j; ++i, --j) {
    const unsigned char t = buffer[i];
    buffer[i] = buffer[j];
    buffer[j] = t;
  }
  return buffer;
}

int PSE_read_opaque_inverted(PseOpaqueStore* container, const unsigned char* record, long record_length,
                             unsigned char* out) {
  if (record == nullptr || record_length < PSE_OLD_KEY_RECORD_BYTES) {
    if (out != nullptr) OPENSSL_cleanse(out, PSE_OPAQUE_PLAIN_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_OPAQUE, ERRLIB_PSE);
    return 0;
  }
  if (PSE_read_opaque(container, record + PSE_OLD_KEY_BLOCK_OFFSET, out) == nullptr) return 0;
  return PSE_invert32(out) != nullptr ? 1 : 0;
}

}  // namespace qcrypto
