// Private-key records: the key with its type, size and the fingerprint of
// its public part, which is what matches it to its certificate.
#pragma once

#include <openssl/pem.h>

#include "crypto/cadb/buffer.h"
#include "crypto/cclib/owner.h"
#include "crypto/pkey/key_envelope.h"

namespace qcrypto {

// Key types of the record.
constexpr int PKEY_TYPE_RSA = 19;
constexpr int PKEY_TYPE_DSA = 116;
constexpr int PKEY_TYPE_R3410 = 177;
constexpr int PKEY_TYPE_ECR3410 = 181;
// The flag of a GOST R 34.10-94 key whose private value is zero.
constexpr int PKEY_FLAG_ZERO_PRIVATE = 2;

struct PKEY {
  int type;                // one of the key types above
  int bits;                // key length in bits
  int flag;                // PKEY_FLAG_ZERO_PRIVATE or 0
  EVP_PKEY_ENVELOPE* key;  // owned; shares the caller's key (one reference)
  BUFFER* fingerprint;     // GOST R 34.11-94 of the public key's bits
};

PKEY* PKEY_new();
void PKEY_free(PKEY* pkey);

// A record of the key, which gets one more reference. Refused (null with an
// error): keys of other types, a key whose protected number cannot be
// opened, a key whose public part cannot be encoded. The password is for
// the key's check and is not kept; the library's keys come out of the
// decoder already opened, so it is read by no key type now.
PKEY* PKEY_split(EVP_PKEY_ENVELOPE* key, const char* password);

// Decodes a private key (encrypted or plain PKCS#8, typed DER, PEM), asking
// for a password through `callback` with `callback_data`, and makes its
// record. `options` is passed on to the medium readers and not read here.
PKEY* PKEY_read_buffer(const unsigned char* bytes, int length, int options, pem_password_cb* callback,
                       void* callback_data);
// The same with the password given (at most 1023 bytes are used).
PKEY* PKEY_read_buffer_password(const unsigned char* bytes, int length, int options, const char* password);

// The GOST R 34.10-94 key of an old-format container: `record` is its
// 42-byte key record, or null to read the container's own signing secret
// from the medium it was opened from. The key is opened with the container's
// KEK and belongs to it (the container must outlive the record's key).
PKEY* PKEY_read_old(PSE* container, const unsigned char* record);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::PKEY, qcrypto::PKEY_free)
