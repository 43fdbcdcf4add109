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

}  // namespace qcrypto
