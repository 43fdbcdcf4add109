// The library's key handle: an OpenSSL 3 key (RSA, DSA, DH of the default
// provider, or a GOST key of the library's provider) with what the key code
// needs beside it: the key container the key belongs to, the form it was
// decoded from, and whether its protected number has been opened.
//
// The GOST key records live inside the EVP_PKEY (the provider holds a
// reference, no copies): opening a protected number in the record changes the
// key that signs.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>

#include "crypto/cclib/owner.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/pse/pse_opaque.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {

// Where a decoded key came from.
enum KeySourceForm : int {
  KEY_SOURCE_NONE = 0,
  KEY_SOURCE_TYPED_DER = 1,
  KEY_SOURCE_PKCS8 = 3,
  KEY_SOURCE_ENCRYPTED_PKCS8 = 4,
};

struct EVP_PKEY_ENVELOPE {
  EVP_PKEY* pkey = nullptr;  // owned
  int type = 0;              // the system's key type: 6 RSA, 28 DH, 116 DSA, 177, 181
  PSE* container = nullptr;  // not owned
  int source_form = KEY_SOURCE_NONE;
  int decrypted = 0;  // 1 once the protected number has been opened (or there was none)
};

// An envelope that takes over `pkey` (freed with the envelope, also on
// failure). Null for a null key or a key of another type.
EVP_PKEY_ENVELOPE* EVP_PKEY_ENVELOPE_new(EVP_PKEY* pkey, PSE* container);
void EVP_PKEY_ENVELOPE_free(EVP_PKEY_ENVELOPE* envelope);

// The GOST records inside the envelope (no new reference), or null.
R3410* EVP_PKEY_ENVELOPE_get0_r3410(const EVP_PKEY_ENVELOPE* envelope);
ECGOST* EVP_PKEY_ENVELOPE_get0_ecgost(const EVP_PKEY_ENVELOPE* envelope);

// Error codes under library 6 (EVP).
enum EvpKeyFunction : int {
  EVP_F_EVP_PKEY_DECRYPT_OPAQUE = 119,
  EVP_F_EVP_PKEY_GENERATE_PUBKEY = 120,
  EVP_F_EVP_PKEY_D2I_TYPED = 121,
  EVP_F_EVP_PKEY_DECODE_PRIVATE = 122,
};
enum EvpKeyReason : int {
  EVP_KEY_R_NO_PASSWORD_CALLBACK = 400,
  EVP_KEY_R_PASSWORD_CANCELLED = 401,
  EVP_KEY_R_KEY_MISMATCH = 402,
  EVP_KEY_R_UNSUPPORTED_PBE = 403,
};
// Under library 65 and 75.
constexpr int R3410_F_R3410_DECRYPT_OPAQUE = 119;
constexpr int ECGOST_F_ECGOST_DECRYPT_OPAQUE = 152;
// Common reasons "PSE lib" and "ASN1 lib".
constexpr int KEY_R_PSE_LIB = 74;
constexpr int KEY_R_ASN1_LIB = 13;

// Size of the buffer the password callback writes into.
constexpr int KEY_PASSWORD_BYTES = 1024;

PSE* EVP_PKEY_get_pse(const EVP_PKEY_ENVELOPE* envelope);
PSE* R3410_get_pse(const R3410* key);
PSE* ECGOST_get_pse(const ECGOST* key);

// Opens a protected number with the container passed, else the key's own. A
// plain key gives 1 unchanged. The opened number must give the stored public
// key (when there is one): a mismatch, like a block the container refuses,
// fails and leaves the key exactly as it was (protected number and tag
// kept). A key without a public part gets it derived. 1 / 0.
int R3410_decrypt_opaque(R3410* key, PSE* container);
int ECGOST_decrypt_opaque(ECGOST* key, PSE* container);

// By key type to the functions above (the envelope's container when none is
// passed); other types give 1. Sets the decrypted flag on success.
int EVP_PKEY_decrypt_opaque(EVP_PKEY_ENVELOPE* envelope, PSE* container);
// Opens a still protected number and derives a missing public key. 1 / 0.
int EVP_PKEY_generate_pubkey(EVP_PKEY_ENVELOPE* envelope, PSE* container);

// A private key of one type from DER: 6 and 19 RSA, 116 DSA, 177 and 181 the
// GOST private keys. The whole input must be one key. Source form 1.
EVP_PKEY_ENVELOPE* EVP_PKEY_d2i_typed(int type, const unsigned char* der, long length);

// A private key from a buffer in any of the accepted forms, tried in order:
// password-encrypted PKCS#8, plain PKCS#8, typed DER (181, 177, 19, 116), PEM.
// The password callback gets a 1024-byte buffer; a result <= 0 cancels, a
// larger one is clamped to the buffer; the buffer is wiped afterwards. A key
// that carries a protected number is opened with `container` and checked
// against its public key; a key that cannot be opened is refused.
EVP_PKEY_ENVELOPE* EVP_PKEY_decode_private(const unsigned char* buffer, long length, PSE* container,
                                           pem_password_cb* callback, void* callback_arg);

// An old-format container's key record (the key block at offset 6, the
// number stored little-endian) as a GOST R 34.10-94 key on the built-in
// parameters, its y derived.
R3410* R3410_load_old_pse_key(PSE* container, const unsigned char* record, long record_length);

// GOST private keys inside PKCS#8: algorithm = the key type's OID without
// parameters, privateKey = the typed DER private key. A new structure, or null.
PKCS8_PRIV_KEY_INFO* gost_key_to_pkcs8(const EVP_PKEY_ENVELOPE* envelope);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::EVP_PKEY_ENVELOPE, qcrypto::EVP_PKEY_ENVELOPE_free)
