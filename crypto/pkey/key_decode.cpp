// Decoding private keys from a buffer in every accepted form.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/x509/gost_keys.h"

QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace qcrypto {
namespace {

// A GOST key record as an envelope (the EVP_PKEY takes its own reference).
EVP_PKEY_ENVELOPE* wrap_r3410(R3410* key) {
  UniquePtr<R3410> owned(key);
  return owned ? EVP_PKEY_ENVELOPE_new(evp_pkey_from_r3410(owned.get()), nullptr) : nullptr;
}
EVP_PKEY_ENVELOPE* wrap_ecgost(ECGOST* key) {
  UniquePtr<ECGOST> owned(key);
  return owned ? EVP_PKEY_ENVELOPE_new(evp_pkey_from_ecgost(owned.get()), nullptr) : nullptr;
}

// One whole DER key of a type; no error raised here.
EVP_PKEY_ENVELOPE* typed(int type, const unsigned char* der, long length) {
  const unsigned char* p = der;
  EVP_PKEY_ENVELOPE* envelope = nullptr;
  switch (type) {
    case SYSOBJ_R3410: {
      R3410* key = d2i_R3410PrivateKey(nullptr, &p, length);
      if (key != nullptr && p != der + length) {
        R3410_free(key);
        return nullptr;
      }
      envelope = wrap_r3410(key);
      break;
    }
    case SYSOBJ_ECR3410: {
      ECGOST* key = d2i_ECGOSTPrivateKey(nullptr, &p, length);
      if (key != nullptr && p != der + length) {
        ECGOST_free(key);
        return nullptr;
      }
      envelope = wrap_ecgost(key);
      break;
    }
    case 6:
    case 19:
    case 116: {
      EVP_PKEY* pkey = d2i_PrivateKey(type == 116 ? EVP_PKEY_DSA : EVP_PKEY_RSA, nullptr, &p, length);
      if (pkey != nullptr && p != der + length) {
        EVP_PKEY_free(pkey);
        return nullptr;
      }
      envelope = EVP_PKEY_ENVELOPE_new(pkey, nullptr);
      break;
    }
    default:
      return nullptr;
  }
  if (envelope != nullptr) envelope->source_form = KEY_SOURCE_TYPED_DER;
  return envelope;
}

// A PKCS#8 structure as an envelope: the GOST key types carry their typed DER
// in the privateKey field, everything else is OpenSSL's.
EVP_PKEY_ENVELOPE* from_pkcs8(const PKCS8_PRIV_KEY_INFO* p8) {
  const ASN1_OBJECT* oid = nullptr;
  const unsigned char* bytes = nullptr;
  int length = 0;
  if (PKCS8_pkey_get0(&oid, &bytes, &length, nullptr, p8) != 1) return nullptr;
  const int type = EVP_PKEY_type(sysobj_number(OBJ_obj2nid(oid)));
  EVP_PKEY_ENVELOPE* envelope = nullptr;
  if (type == SYSOBJ_R3410 || type == SYSOBJ_ECR3410) {
    envelope = typed(type, bytes, length);
  } else {
    envelope = EVP_PKEY_ENVELOPE_new(EVP_PKCS82PKEY(p8), nullptr);
  }
  if (envelope != nullptr) envelope->source_form = KEY_SOURCE_PKCS8;
  return envelope;
}

// Asks for a password into `buffer`: its length, or -1 when the person
// cancelled. A length beyond the buffer is taken as the whole buffer.
int ask_password(pem_password_cb* callback, void* arg, char* buffer, int size) {
  const int n = callback(buffer, size, 0, arg);
  if (n <= 0) return -1;
  return n > size ? size : n;
}

struct CallbackBridge {
  pem_password_cb* callback;
  void* arg;
};

// OpenSSL's PEM layer asks through this, so the same clamping applies there.
int bridge_password(char* buffer, int size, int rwflag, void* u) {
  auto* bridge = static_cast<CallbackBridge*>(u);
  if (bridge->callback == nullptr) return -1;
  const int n = bridge->callback(buffer, size, rwflag, bridge->arg);
  if (n <= 0) return -1;
  return n > size ? size : n;
}

enum class Outcome { kNotThisForm, kDecoded, kFailed };

struct Attempt {
  Outcome outcome;
  EVP_PKEY_ENVELOPE* envelope;
};

Attempt encrypted_pkcs8(const unsigned char* der, long length, pem_password_cb* callback, void* arg) {
  const unsigned char* p = der;
  UniquePtr<X509_SIG> sig(d2i_X509_SIG(nullptr, &p, length));
  if (!sig || p != der + length) return {Outcome::kNotThisForm, nullptr};
  const X509_ALGOR* alg = nullptr;
  X509_SIG_get0(sig.get(), &alg, nullptr);
  const ASN1_OBJECT* oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  // The system's own scheme name exists but nothing defines how it works:
  // refuse it plainly instead of handing it to a password-based decryption.
  if (sysobj_number(OBJ_obj2nid(oid)) == SYSOBJ_pbeWithR3411AndGOST) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_UNSUPPORTED_PBE);
    return {Outcome::kFailed, nullptr};
  }
  if (callback == nullptr) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_NO_PASSWORD_CALLBACK);
    return {Outcome::kFailed, nullptr};
  }
  SecretBuffer<KEY_PASSWORD_BYTES> password;
  const int n = ask_password(callback, arg, reinterpret_cast<char*>(password.data()), KEY_PASSWORD_BYTES);
  if (n < 0) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_PASSWORD_CANCELLED);
    return {Outcome::kFailed, nullptr};
  }
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(PKCS8_decrypt(sig.get(), reinterpret_cast<const char*>(password.data()), n));
  password.wipe();
  EVP_PKEY_ENVELOPE* envelope = p8 ? from_pkcs8(p8.get()) : nullptr;
  if (envelope == nullptr) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_ASN1_LIB);
    return {Outcome::kFailed, nullptr};
  }
  envelope->source_form = KEY_SOURCE_ENCRYPTED_PKCS8;
  return {Outcome::kDecoded, envelope};
}

Attempt plain_pkcs8(const unsigned char* der, long length) {
  const unsigned char* p = der;
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, length));
  if (!p8 || p != der + length) return {Outcome::kNotThisForm, nullptr};
  EVP_PKEY_ENVELOPE* envelope = from_pkcs8(p8.get());
  return {envelope != nullptr ? Outcome::kDecoded : Outcome::kNotThisForm, envelope};
}

// The PEM names the system adds and PKCS#8 go through the decoders above (so
// GOST keys inside PKCS#8 work in PEM too); anything else is OpenSSL's.
Attempt pem(const unsigned char* buffer, long length, pem_password_cb* callback, void* arg) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(buffer, static_cast<int>(length)));
  if (!bio) return {Outcome::kNotThisForm, nullptr};
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long data_length = 0;
  if (PEM_read_bio(bio.get(), &name, &header, &data, &data_length) != 1) return {Outcome::kNotThisForm, nullptr};
  Attempt result{Outcome::kNotThisForm, nullptr};
  const bool r3410 = std::strcmp(name, PEM_STRING_R3410_PRIVATE) == 0;
  const bool ecgost = std::strcmp(name, PEM_STRING_ECGOST_PRIVATE) == 0;
  if (r3410 || ecgost) {
    EVP_CIPHER_INFO cipher;
    CallbackBridge bridge{callback, arg};
    if (PEM_get_EVP_CIPHER_INFO(header, &cipher) == 1 &&
        PEM_do_header(&cipher, data, &data_length, bridge_password, &bridge) == 1) {
      result.envelope = typed(r3410 ? SYSOBJ_R3410 : SYSOBJ_ECR3410, data, data_length);
    }
  } else if (std::strcmp(name, PEM_STRING_PKCS8INF) == 0) {
    result = plain_pkcs8(data, data_length);
  } else if (std::strcmp(name, PEM_STRING_PKCS8) == 0) {
    result = encrypted_pkcs8(data, data_length, callback, arg);
  } else {
    UniquePtr<BIO> again(BIO_new_mem_buf(buffer, static_cast<int>(length)));
    CallbackBridge bridge{callback, arg};
    EVP_PKEY* pkey = again ? PEM_read_bio_PrivateKey(again.get(), nullptr, bridge_password, &bridge) : nullptr;
    result.envelope = EVP_PKEY_ENVELOPE_new(pkey, nullptr);
    if (result.envelope != nullptr) result.envelope->source_form = KEY_SOURCE_TYPED_DER;
  }
  if (result.outcome == Outcome::kNotThisForm && result.envelope != nullptr) result.outcome = Outcome::kDecoded;
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_clear_free(data, static_cast<std::size_t>(data_length));
  return result;
}

// Binds the key to the container and opens a protected number. A protected
// key whose number cannot be opened (or does not give its public key) is no
// key to sign with: refused.
bool finish(EVP_PKEY_ENVELOPE* envelope, PSE* container) {
  envelope->container = container;
  bool is_protected = false;
  if (R3410* key = EVP_PKEY_ENVELOPE_get0_r3410(envelope)) {
    if (key->container == nullptr) key->container = container;
    is_protected = key->tag != nullptr;
  } else if (ECGOST* ec = EVP_PKEY_ENVELOPE_get0_ecgost(envelope)) {
    if (ec->container == nullptr) ec->container = container;
    is_protected = ec->tag != nullptr;
  }
  if (is_protected && EVP_PKEY_decrypt_opaque(envelope, container) != 1) return false;
  if (envelope->type != SYSOBJ_R3410 && envelope->type != SYSOBJ_ECR3410) envelope->decrypted = 1;
  EVP_PKEY_generate_pubkey(envelope, container);  // a key without its public part still signs
  if (!is_protected) envelope->decrypted = 1;
  return true;
}

}  // namespace

EVP_PKEY_ENVELOPE* EVP_PKEY_d2i_typed(int type, const unsigned char* der, long length) {
  EVP_PKEY_ENVELOPE* envelope = der != nullptr && length > 0 ? typed(type, der, length) : nullptr;
  if (envelope == nullptr) QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_D2I_TYPED, KEY_R_ASN1_LIB);
  return envelope;
}

EVP_PKEY_ENVELOPE* EVP_PKEY_decode_private(const unsigned char* buffer, long length, PSE* container,
                                           pem_password_cb* callback, void* callback_arg) {
  if (buffer == nullptr || length <= 0 || length > INT32_MAX) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_ASN1_LIB);
    return nullptr;
  }
  // Failed attempts leave nothing behind, but errors the caller had queued
  // before stay.
  ERR_set_mark();
  Attempt attempt = encrypted_pkcs8(buffer, length, callback, callback_arg);
  if (attempt.outcome == Outcome::kNotThisForm) {
    ERR_pop_to_mark();
    ERR_set_mark();
    attempt = plain_pkcs8(buffer, length);
  }
  for (const int type : {int{SYSOBJ_ECR3410}, int{SYSOBJ_R3410}, 19, 116}) {
    if (attempt.outcome != Outcome::kNotThisForm) break;
    ERR_pop_to_mark();
    ERR_set_mark();
    if (EVP_PKEY_ENVELOPE* envelope = typed(type, buffer, length)) attempt = {Outcome::kDecoded, envelope};
  }
  if (attempt.outcome == Outcome::kNotThisForm) {
    ERR_pop_to_mark();
    ERR_set_mark();
    attempt = pem(buffer, length, callback, callback_arg);
  }
  if (attempt.outcome == Outcome::kNotThisForm) {
    ERR_pop_to_mark();
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_ASN1_LIB);
    return nullptr;
  }
  if (attempt.outcome == Outcome::kFailed) {
    ERR_clear_last_mark();
    return nullptr;
  }
  ERR_pop_to_mark();
  UniquePtr<EVP_PKEY_ENVELOPE> envelope(attempt.envelope);
  if (!finish(envelope.get(), container)) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_PSE_LIB);
    return nullptr;
  }
  return envelope.release();
}

PKCS8_PRIV_KEY_INFO* gost_key_to_pkcs8(const EVP_PKEY_ENVELOPE* envelope) {
  unsigned char* der = nullptr;
  int length = 0;
  int type = 0;
  if (const R3410* key = EVP_PKEY_ENVELOPE_get0_r3410(envelope)) {
    length = i2d_R3410PrivateKey(key, &der);
    type = SYSOBJ_R3410;
  } else if (const ECGOST* ec = EVP_PKEY_ENVELOPE_get0_ecgost(envelope)) {
    length = i2d_ECGOSTPrivateKey(ec, &der);
    type = SYSOBJ_ECR3410;
  }
  if (length <= 0 || der == nullptr) return nullptr;
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(PKCS8_PRIV_KEY_INFO_new());
  ASN1_OBJECT* oid = OBJ_nid2obj(sysobj_nid(type));
  // PKCS8_pkey_set0 takes the buffer on success only.
  if (!p8 || oid == nullptr || PKCS8_pkey_set0(p8.get(), oid, 0, V_ASN1_UNDEF, nullptr, der, length) != 1) {
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    return nullptr;
  }
  return p8.release();
}

}  // namespace qcrypto
