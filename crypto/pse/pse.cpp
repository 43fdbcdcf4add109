#include "crypto/pse/pse.h"

#include <openssl/crypto.h>

#include <cstring>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"

namespace qcrypto {
namespace {

bool entry_holds(const PSE_ENTRY* entry, uint32_t length) {
  return entry != nullptr && entry->data != nullptr && entry->length == length;
}

void xor32(unsigned char* acc, const unsigned char* share) {
  for (int i = 0; i < PSE_KEY_BYTES; ++i) acc[i] ^= share[i];
}

// The check value of a master key: the MAC of 32 zero bytes under it.
bool mkey_check(const unsigned char* master_key, const unsigned char* sbox, unsigned char* out4) {
  static const unsigned char kZeros[PSE_KEY_BYTES] = {};
  GOSTE_CTX ctx{};
  const bool ok = GOSTE_mac(&ctx, kZeros, PSE_KEY_BYTES, master_key, sbox, out4) != nullptr;
  GOSTE_clear(&ctx);
  return ok;
}

bool ss_run(int encrypt, const unsigned char* in, unsigned char* out, const unsigned char* key,
            const unsigned char* sbox) {
  GOSTE_CTX ctx{};
  const bool ok =
      GOSTE_ss_init(&ctx, encrypt, key, sbox) == 1 && GOSTE_ss_cipher(&ctx, in, out, PSE_KEY_BYTES) == PSE_KEY_BYTES;
  GOSTE_clear(&ctx);
  return ok;
}

}  // namespace

PSE_ENTRY* PSE_ENTRY_new() {
  auto* entry = static_cast<PSE_ENTRY*>(OPENSSL_zalloc(sizeof(PSE_ENTRY)));
  if (entry == nullptr) QERR(ERRLIB_PSE, PSE_F_PSE_ENTRY_NEW, PSE_R_MEMORY);
  return entry;
}

PSE_ENTRY* PSE_ENTRY_set(const unsigned char* data, uint32_t length) {
  UniquePtr<PSE_ENTRY> entry(PSE_ENTRY_new());
  if (entry && length > 0) {
    entry->data = static_cast<unsigned char*>(OPENSSL_zalloc(length));
    if (entry->data != nullptr) {
      entry->length = length;
      if (data != nullptr) std::memcpy(entry->data, data, length);
    } else {
      entry.reset();
    }
  }
  if (!entry) {
    QERR(ERRLIB_PSE, PSE_F_PSE_ENTRY_SET, PSE_R_MEMORY);
    QERR(ERRLIB_PSE, PSE_F_PSE_ENTRY_SET, PSE_R_PSE_LIB);
  }
  return entry.release();
}

void PSE_ENTRY_free(PSE_ENTRY* entry) {
  if (entry == nullptr) return;
  if (entry->data != nullptr) OPENSSL_clear_free(entry->data, entry->length);
  OPENSSL_clear_free(entry, sizeof(PSE_ENTRY));
}

PSE* PSE_new() {
  auto* container = static_cast<PSE*>(OPENSSL_zalloc(sizeof(PSE)));
  if (container == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_NEW, PSE_R_MEMORY);
    return nullptr;
  }
  container->references = 1;
  return container;
}

void PSE_free(PSE* container) {
  if (container == nullptr) return;
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (--container->references > 0) return;
  PSE_ENTRY_free(container->sbox);
  PSE_ENTRY_free(container->master_key);
  PSE_ENTRY_free(container->kek);
  OPENSSL_free(container->path);
  PSE_ENTRY_free(container->fingerprint);
  OPENSSL_clear_free(container, sizeof(PSE));
}

void PSE_close(PSE* container) { PSE_free(container); }

int PSE_up_ref(PSE* container) {
  if (container == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  ++container->references;
  return 1;
}

int PSE_encrypt32(const unsigned char* plain, unsigned char* out, const unsigned char* key, const unsigned char* sbox) {
  if (plain == nullptr || out == nullptr || key == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_ENCRYPT32, PSE_R_PSE_LIB);
    return 0;
  }
  // Built apart from `out`, which may be the plain value itself.
  SecretBuffer<PSE_OPAQUE_BLOCK_BYTES> block;
  GOSTE_CTX ctx{};
  bool ok = GOSTE_mac(&ctx, plain, PSE_KEY_BYTES, key, sbox, block.data() + PSE_KEY_BYTES) != nullptr;
  GOSTE_clear(&ctx);
  ok = ok && ss_run(1, plain, block.data(), key, sbox);
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_ENCRYPT32, PSE_R_PSE_LIB);
    return 0;
  }
  std::memcpy(out, block.data(), PSE_OPAQUE_BLOCK_BYTES);
  return 1;
}

int PSE_decrypt32(const unsigned char* block, unsigned char* out, const unsigned char* key, const unsigned char* sbox) {
  if (block == nullptr || out == nullptr || key == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBuffer<PSE_KEY_BYTES> plain;
  unsigned char mac[4];
  GOSTE_CTX ctx{};
  const bool ran = ss_run(0, block, plain.data(), key, sbox) &&
                   GOSTE_mac(&ctx, plain.data(), PSE_KEY_BYTES, key, sbox, mac) != nullptr;
  GOSTE_clear(&ctx);
  if (!ran) {
    QERR(ERRLIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_PSE_LIB);
    return 0;
  }
  // A value that fails its check is never handed out, not even in part.
  if (CRYPTO_memcmp(mac, block + PSE_KEY_BYTES, 4) != 0) {
    QERR(ERRLIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_INVALID_MAC);
    QERR(ERRLIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_PSE_LIB);
    return 0;
  }
  std::memcpy(out, plain.data(), PSE_KEY_BYTES);
  return 1;
}

namespace {

using Block32Cipher = int (*)(const unsigned char*, unsigned char*, const unsigned char*, const unsigned char*);

// One opaque block through the container's own key and S-box, either way.
// On failure out holds nothing of a half-done result.
unsigned char* opaque_block(PSE* container, const unsigned char* in, unsigned char* out, Block32Cipher cipher,
                            int function) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (out == nullptr) {
    QERR(ERRLIB_PSE, function, PSE_R_PSE_LIB);
    return nullptr;
  }
  if (container == nullptr || in == nullptr || !entry_holds(container->kek, PSE_KEY_BYTES) ||
      !entry_holds(container->sbox, PSE_SBOX_BYTES) ||
      cipher(in, out, container->kek->data, container->sbox->data) != 1) {
    OPENSSL_cleanse(out, PSE_OPAQUE_PLAIN_BYTES);
    QERR(ERRLIB_PSE, function, PSE_R_PSE_LIB);
    return nullptr;
  }
  return out;
}

}  // namespace

unsigned char* PSE_read_opaque(PSE* container, const unsigned char* block, unsigned char* out) {
  return opaque_block(container, block, out, PSE_decrypt32, PSE_F_PSE_READ_OPAQUE);
}

unsigned char* PSE_write_opaque(PSE* container, const unsigned char* plain, unsigned char* out) {
  return opaque_block(container, plain, out, PSE_encrypt32, PSE_F_PSE_WRITE_OPAQUE);
}

unsigned char* PSE_invert32(unsigned char* buffer) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  if (buffer == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_INVERT32, PSE_R_PSE_LIB);
    return nullptr;
  }
  for (int i = 0, j = PSE_OPAQUE_PLAIN_BYTES - 1; i < j; ++i, --j) {
    const unsigned char t = buffer[i];
    buffer[i] = buffer[j];
    buffer[j] = t;
  }
  return buffer;
}

int PSE_read_opaque_inverted(PSE* container, const unsigned char* record, long record_length, unsigned char* out) {
  if (record == nullptr || record_length < PSE_OLD_KEY_RECORD_BYTES) {
    if (out != nullptr) OPENSSL_cleanse(out, PSE_OPAQUE_PLAIN_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_OPAQUE, PSE_R_PSE_LIB);
    return 0;
  }
  if (PSE_read_opaque(container, record + PSE_OLD_KEY_BLOCK_OFFSET, out) == nullptr) return 0;
  return PSE_invert32(out) != nullptr ? 1 : 0;
}

int PSE_make_mkey_record(const unsigned char* master_key, int n, unsigned char* out, int* length,
                         const unsigned char* sbox) {
  if (master_key == nullptr || n < 1 || n > 255 || length == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  const int need = PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * n;
  if (out == nullptr) {
    *length = need;
    return 1;
  }
  if (*length < need) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  if (!mkey_check(master_key, sbox, out + 2)) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  out[0] = PSE_MKEY_TAG;
  out[1] = static_cast<unsigned char>(n);
  SecretBuffer<PSE_KEY_BYTES> acc;
  std::memcpy(acc.data(), master_key, PSE_KEY_BYTES);
  unsigned char* share = out + PSE_MKEY_HEADER_BYTES;
  for (int i = 0; i < n - 1; ++i, share += PSE_KEY_BYTES) {
    if (RAND_bytes(share, PSE_KEY_BYTES) != PSE_KEY_BYTES) {
      OPENSSL_cleanse(out, static_cast<std::size_t>(need));
      QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
      return 0;
    }
    xor32(acc.data(), share);
  }
  std::memcpy(share, acc.data(), PSE_KEY_BYTES);
  *length = need;
  return 1;
}

int PSE_load_mkey(unsigned char* out, const unsigned char* record, int length, const unsigned char* sbox) {
  if (out == nullptr || record == nullptr || length < PSE_MKEY_HEADER_BYTES || record[0] != PSE_MKEY_TAG) {
    if (out != nullptr) OPENSSL_cleanse(out, PSE_KEY_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  // No shares would make the all-zero key, whose check value anyone can
  // compute: such a record protects nothing.
  const int n = record[1];
  if (n == 0 || length != PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * n) {
    OPENSSL_cleanse(out, PSE_KEY_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_INVALID_FORMAT);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBuffer<PSE_KEY_BYTES> key;
  for (int i = 0; i < n; ++i) xor32(key.data(), record + PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * i);
  unsigned char check[4];
  if (!mkey_check(key.data(), sbox, check)) {
    OPENSSL_cleanse(out, PSE_KEY_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  if (CRYPTO_memcmp(check, record + 2, 4) != 0) {
    OPENSSL_cleanse(out, PSE_KEY_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_INVALID_MAC);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  std::memcpy(out, key.data(), PSE_KEY_BYTES);
  return 1;
}

int PSE_load_kek(PSE* container, const unsigned char* block) {
  bool ok = container != nullptr && block != nullptr && entry_holds(container->master_key, PSE_KEY_BYTES) &&
            entry_holds(container->sbox, PSE_SBOX_BYTES);
  if (ok) {
    PSE_ENTRY_free(container->kek);
    container->kek = PSE_ENTRY_set(nullptr, PSE_KEY_BYTES);
    ok = container->kek != nullptr &&
         PSE_decrypt32(block, container->kek->data, container->master_key->data, container->sbox->data) == 1 &&
         PSE_finger_print(container) == 1;
    if (!ok) {
      PSE_ENTRY_free(container->kek);
      container->kek = nullptr;
    }
  }
  if (!ok) QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_KEK, PSE_R_PSE_LIB);
  return ok ? 1 : 0;
}

int PSE_finger_print(PSE* container) {
  if (container == nullptr || !entry_holds(container->master_key, PSE_KEY_BYTES) ||
      !entry_holds(container->sbox, PSE_SBOX_BYTES)) {
    QERR(ERRLIB_PSE, PSE_F_PSE_FINGER_PRINT, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBuffer<2 * PSE_KEY_BYTES> twice;
  std::memcpy(twice.data(), container->master_key->data, PSE_KEY_BYTES);
  std::memcpy(twice.data() + PSE_KEY_BYTES, container->master_key->data, PSE_KEY_BYTES);
  unsigned char digest[GOSTH_DIGEST_BYTES];
  if (GOSTH_digest(twice.data(), 2 * PSE_KEY_BYTES, nullptr, container->sbox->data, digest) == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_FINGER_PRINT, PSE_R_PSE_LIB);
    return 0;
  }
  PSE_ENTRY* print = PSE_ENTRY_set(digest, GOSTH_DIGEST_BYTES);
  if (print == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_FINGER_PRINT, PSE_R_PSE_LIB);
    return 0;
  }
  PSE_ENTRY_free(container->fingerprint);
  container->fingerprint = print;
  return 1;
}

}  // namespace qcrypto
