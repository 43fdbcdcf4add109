#include "crypto/cadb/pkey_record.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstring>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/record_util.h"
#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/pse/pse_files.h"

namespace qcrypto {
namespace {

// The record's type for the envelope's; 0 for a key the database refuses.
int record_type(int envelope_type) {
  switch (EVP_PKEY_type(envelope_type)) {
    case 6:
      return PKEY_TYPE_RSA;
    case 116:
      return PKEY_TYPE_DSA;
    case SYSOBJ_R3410:
      return PKEY_TYPE_R3410;
    case SYSOBJ_ECR3410:
      return PKEY_TYPE_ECR3410;
    default:
      return 0;
  }
}

// A second envelope over the same key, holding its own reference.
EVP_PKEY_ENVELOPE* share(const EVP_PKEY_ENVELOPE* key) {
  {
    CryptoLockGuard lock(CRYPTO_LOCK_EVP_PKEY);
    if (EVP_PKEY_up_ref(key->pkey) != 1) return nullptr;
  }
  EVP_PKEY_ENVELOPE* copy = EVP_PKEY_ENVELOPE_new(key->pkey, key->container);
  if (copy != nullptr) {
    copy->source_form = key->source_form;
    copy->decrypted = key->decrypted;
  }
  return copy;
}

struct PasswordText {
  const char* text;
};

int given_password(char* buffer, int size, int /*rwflag*/, void* u) {
  const char* text = static_cast<PasswordText*>(u)->text;
  if (text == nullptr || size <= 0) return -1;
  const std::size_t n = strnlen(text, static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, text, n);
  return static_cast<int>(n);
}

}  // namespace

PKEY* PKEY_new() {
  auto* pkey = static_cast<PKEY*>(OPENSSL_zalloc(sizeof(PKEY)));
  if (pkey == nullptr) QERR(ERRLIB_CADB, CADB_F_PKEY_NEW, CADB_R_MEMORY);
  return pkey;
}

void PKEY_free(PKEY* pkey) {
  if (pkey == nullptr) return;
  EVP_PKEY_ENVELOPE_free(pkey->key);
  BUFFER_free(pkey->fingerprint);
  OPENSSL_free(pkey);
}

PKEY* PKEY_split(EVP_PKEY_ENVELOPE* key, const char* /*password*/) {
  if (key == nullptr || key->pkey == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  const int type = record_type(key->type);
  if (type == 0) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  // A protected number that is still closed is opened with the key's own
  // container; a key that cannot be opened is no usable key.
  if (key->decrypted == 0 && EVP_PKEY_decrypt_opaque(key, nullptr) != 1) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_CALLED_PART);
    return nullptr;
  }
  UniquePtr<PKEY> record(PKEY_new());
  if (!record) return nullptr;
  record->type = type;
  record->bits = EVP_PKEY_get_bits(key->pkey);
  if (type == PKEY_TYPE_R3410) {
    const R3410* r = EVP_PKEY_ENVELOPE_get0_r3410(key);
    if (r != nullptr && r->x != nullptr && BN_is_zero(r->x)) record->flag = PKEY_FLAG_ZERO_PRIVATE;
  }
  record->fingerprint = cadb_key_fingerprint(key->pkey);
  if (record->fingerprint == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_CALLED_PART);
    return nullptr;
  }
  record->key = share(key);
  if (record->key == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_MEMORY);
    return nullptr;
  }
  return record.release();
}

PKEY* PKEY_read_buffer(const unsigned char* bytes, int length, int /*options*/, pem_password_cb* callback,
                       void* callback_data) {
  if (bytes == nullptr || length <= 0) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_READ_BUFFER, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  UniquePtr<EVP_PKEY_ENVELOPE> key(EVP_PKEY_decode_private(bytes, length, nullptr, callback, callback_data));
  PKEY* record = key ? PKEY_split(key.get(), nullptr) : nullptr;
  if (record == nullptr) QERR(ERRLIB_CADB, CADB_F_PKEY_READ_BUFFER, CADB_R_CALLED_PART);
  return record;
}

PKEY* PKEY_read_buffer_password(const unsigned char* bytes, int length, int options, const char* password) {
  PasswordText text{password};
  PKEY* record = PKEY_read_buffer(bytes, length, options, given_password, &text);
  if (record == nullptr) QERR(ERRLIB_CADB, CADB_F_PKEY_READ_BUFFER_PASSWORD, CADB_R_CALLED_PART);
  return record;
}

PKEY* PKEY_read_old(PSE* container, const unsigned char* record) {
  if (container == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_READ_OLD, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  // The record read from the medium holds the protected number: it is
  // wiped however the read ends.
  SecretBuffer<PSE30_SEC_SGN_BYTES> own;
  if (record == nullptr) {
    if (container->path == nullptr || PSE_read_sec_sgn_old(container->path, own.data()) != 1) {
      QERR(ERRLIB_CADB, CADB_F_PKEY_READ_OLD, CADB_R_CALLED_PART);
      return nullptr;
    }
    record = own.data();
  }
  UniquePtr<R3410> old(R3410_load_old_pse_key(container, record, PSE30_SEC_SGN_BYTES));
  if (!old) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_READ_OLD, CADB_R_CALLED_PART);
    return nullptr;
  }
  // The key takes its own reference to the record; ours goes with `old`.
  UniquePtr<EVP_PKEY_ENVELOPE> key(EVP_PKEY_ENVELOPE_new(evp_pkey_from_r3410(old.get()), container));
  if (!key) {
    QERR(ERRLIB_CADB, CADB_F_PKEY_READ_OLD, CADB_R_MEMORY);
    return nullptr;
  }
  key->decrypted = 1;  // the number came out of the container already opened
  PKEY* pkey = PKEY_split(key.get(), nullptr);
  if (pkey == nullptr) QERR(ERRLIB_CADB, CADB_F_PKEY_READ_OLD, CADB_R_CALLED_PART);
  return pkey;
}

}  // namespace qcrypto
