#include "crypto/pkey/key_envelope.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/gost_pkey.h"

namespace qcrypto {
namespace {

int key_type_of(EVP_PKEY* pkey) {
  if (evp_pkey_get0_r3410(pkey) != nullptr) return SYSOBJ_R3410;
  if (evp_pkey_get0_ecgost(pkey) != nullptr) return SYSOBJ_ECR3410;
  if (EVP_PKEY_is_a(pkey, "RSA")) return 6;
  if (EVP_PKEY_is_a(pkey, "DSA")) return 116;
  if (EVP_PKEY_is_a(pkey, "DH") || EVP_PKEY_is_a(pkey, "DHX")) return 28;
  return 0;
}

// The 36-byte key block of a protected number: the number as 32 big-endian
// bytes, then the tag as 4 big-endian bytes. A tag that does not fit is
// refused: cut to its low bits it would open another record's key.
bool make_block(const BIGNUM* number, const BIGNUM* tag, unsigned char* block) {
  if (BN_is_negative(number) || BN_num_bytes(number) > PSE_OPAQUE_PLAIN_BYTES) return false;
  if (BN_bn2binpad(number, block, PSE_OPAQUE_PLAIN_BYTES) != PSE_OPAQUE_PLAIN_BYTES) return false;
  if (BN_is_negative(tag) || BN_num_bits(tag) > 32) return false;
  return BN_bn2binpad(tag, block + PSE_OPAQUE_PLAIN_BYTES, 4) == 4;
}

// Opens the block into a new constant-time number; null on any failure (the
// container's own error queued).
BIGNUM* open_number(PSE* container, const BIGNUM* number, const BIGNUM* tag) {
  SecretBuffer<PSE_OPAQUE_BLOCK_BYTES> block;
  SecretBuffer<PSE_OPAQUE_PLAIN_BYTES> plain;
  if (!make_block(number, tag, block.data())) return nullptr;
  if (PSE_read_opaque(container, block.data(), plain.data()) == nullptr) return nullptr;
  BIGNUM* opened = BN_secure_new();
  if (opened == nullptr) return nullptr;
  BN_set_flags(opened, BN_FLG_CONSTTIME);
  if (BN_bin2bn(plain.data(), PSE_OPAQUE_PLAIN_BYTES, opened) == nullptr) {
    BN_clear_free(opened);
    return nullptr;
  }
  return opened;
}

// The public key that `x` gives on the key's parameters, compared with the
// stored one. 1 equal, 0 different or not derivable.
bool r3410_matches(const R3410* key, const BIGNUM* x) {
  UniquePtr<R3410> probe(GOSTS_new());
  if (!probe) return false;
  probe->p = BN_dup(key->p);
  probe->q = BN_dup(key->q);
  probe->a = BN_dup(key->a);
  probe->x = BN_dup(x);
  if (probe->p == nullptr || probe->q == nullptr || probe->a == nullptr || probe->x == nullptr) return false;
  BN_set_flags(probe->x, BN_FLG_CONSTTIME);
  return R3410_generate_pubkey(probe.get()) == 1 && BN_cmp(probe->y, key->y) == 0;
}

bool ecgost_matches(const ECGOST* key, const BIGNUM* d) {
  UniquePtr<ECGOST> probe(ECGOST_new(key->curve));
  if (!probe) return false;
  if (BN_copy(probe->d, d) == nullptr) return false;
  BN_set_flags(probe->d, BN_FLG_CONSTTIME);
  return ECGOST_generate_pubkey(probe.get()) == 1 && ECPOINT_cmp(probe->Q, key->Q) == 0;
}

bool r3410_has_public(const R3410* key) { return key->y != nullptr && !BN_is_zero(key->y); }
bool ecgost_has_public(const ECGOST* key) { return key->Q != nullptr && !ECPOINT_is_infinity(key->Q); }

}  // namespace

EVP_PKEY_ENVELOPE* EVP_PKEY_ENVELOPE_new(EVP_PKEY* pkey, PSE* container) {
  if (pkey == nullptr) return nullptr;
  const int type = key_type_of(pkey);
  if (type == 0) {
    EVP_PKEY_free(pkey);
    return nullptr;
  }
  auto* envelope = new (std::nothrow) EVP_PKEY_ENVELOPE;
  if (envelope == nullptr) {
    EVP_PKEY_free(pkey);
    return nullptr;
  }
  envelope->pkey = pkey;
  envelope->type = type;
  envelope->container = container;
  return envelope;
}

void EVP_PKEY_ENVELOPE_free(EVP_PKEY_ENVELOPE* envelope) {
  if (envelope == nullptr) return;
  EVP_PKEY_free(envelope->pkey);
  delete envelope;
}

R3410* EVP_PKEY_ENVELOPE_get0_r3410(const EVP_PKEY_ENVELOPE* envelope) {
  return envelope != nullptr && envelope->type == SYSOBJ_R3410 ? evp_pkey_get0_r3410(envelope->pkey) : nullptr;
}

ECGOST* EVP_PKEY_ENVELOPE_get0_ecgost(const EVP_PKEY_ENVELOPE* envelope) {
  return envelope != nullptr && envelope->type == SYSOBJ_ECR3410 ? evp_pkey_get0_ecgost(envelope->pkey) : nullptr;
}

PSE* EVP_PKEY_get_pse(const EVP_PKEY_ENVELOPE* envelope) { return envelope != nullptr ? envelope->container : nullptr; }
PSE* R3410_get_pse(const R3410* key) { return key != nullptr ? key->container : nullptr; }
PSE* ECGOST_get_pse(const ECGOST* key) { return key != nullptr ? key->container : nullptr; }

int R3410_decrypt_opaque(R3410* key, PSE* container) {
  if (key == nullptr || key->x == nullptr) {
    QERR(ERRLIB_R3410, R3410_F_R3410_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  if (key->tag == nullptr) return 1;
  PSE* pse = container != nullptr ? container : key->container;
  if (pse == nullptr) {
    QERR(ERRLIB_R3410, R3410_F_R3410_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  UniquePtr<BIGNUM> opened(open_number(pse, key->x, key->tag));
  if (!opened) {
    QERR(ERRLIB_R3410, R3410_F_R3410_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  // A stored public key must be the one the opened number gives: a block of
  // another key, or a container that opened it wrongly, would otherwise sign
  // with a number nobody can verify.
  if (r3410_has_public(key) && !r3410_matches(key, opened.get())) {
    BN_clear(opened.get());
    QERR(ERRLIB_R3410, R3410_F_R3410_DECRYPT_OPAQUE, EVP_KEY_R_KEY_MISMATCH);
    return 0;
  }
  BN_clear_free(key->x);
  BN_clear_free(key->tag);
  key->x = opened.release();
  key->tag = nullptr;
  if (!r3410_has_public(key)) R3410_generate_pubkey(key);  // its failure does not undo the opening
  return 1;
}

int ECGOST_decrypt_opaque(ECGOST* key, PSE* container) {
  if (key == nullptr || key->d == nullptr || BN_is_zero(key->d)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  if (key->tag == nullptr) return 1;
  PSE* pse = container != nullptr ? container : key->container;
  if (pse == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  UniquePtr<BIGNUM> opened(open_number(pse, key->d, key->tag));
  if (!opened) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  if (ecgost_has_public(key) && !ecgost_matches(key, opened.get())) {
    BN_clear(opened.get());
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DECRYPT_OPAQUE, EVP_KEY_R_KEY_MISMATCH);
    return 0;
  }
  BN_clear_free(key->d);
  BN_clear_free(key->tag);
  key->d = opened.release();
  key->tag = nullptr;
  if (!ecgost_has_public(key)) ECGOST_generate_pubkey(key);
  return 1;
}

int EVP_PKEY_decrypt_opaque(EVP_PKEY_ENVELOPE* envelope, PSE* container) {
  if (envelope == nullptr) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  PSE* pse = container != nullptr ? container : envelope->container;
  int ok = 1;
  if (envelope->type == SYSOBJ_R3410) {
    ok = R3410_decrypt_opaque(EVP_PKEY_ENVELOPE_get0_r3410(envelope), pse);
  } else if (envelope->type == SYSOBJ_ECR3410) {
    ok = ECGOST_decrypt_opaque(EVP_PKEY_ENVELOPE_get0_ecgost(envelope), pse);
  }
  if (ok != 1) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECRYPT_OPAQUE, KEY_R_PSE_LIB);
    return 0;
  }
  envelope->decrypted = 1;
  return 1;
}

int EVP_PKEY_generate_pubkey(EVP_PKEY_ENVELOPE* envelope, PSE* container) {
  if (envelope == nullptr) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_GENERATE_PUBKEY, KEY_R_PSE_LIB);
    return 0;
  }
  int ok = 1;
  if (R3410* key = EVP_PKEY_ENVELOPE_get0_r3410(envelope); key != nullptr && !r3410_has_public(key)) {
    ok =
        EVP_PKEY_decrypt_opaque(envelope, container) == 1 && (r3410_has_public(key) || R3410_generate_pubkey(key) == 1);
  } else if (ECGOST* ec = EVP_PKEY_ENVELOPE_get0_ecgost(envelope); ec != nullptr && !ecgost_has_public(ec)) {
    ok =
        EVP_PKEY_decrypt_opaque(envelope, container) == 1 && (ecgost_has_public(ec) || ECGOST_generate_pubkey(ec) == 1);
  }
  if (ok != 1) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_GENERATE_PUBKEY, KEY_R_PSE_LIB);
    return 0;
  }
  return 1;
}

R3410* R3410_load_old_pse_key(PSE* container, const unsigned char* record, long record_length) {
  UniquePtr<R3410> key(GOSTS_new());
  SecretBuffer<PSE_OPAQUE_PLAIN_BYTES> plain;
  bool ok = key && PSE_read_opaque_inverted(container, record, record_length, plain.data()) == 1 &&
            R3410_default_params(key.get()) == 1;
  if (ok) {
    key->x = BN_secure_new();
    ok = key->x != nullptr;
    if (ok) {
      BN_set_flags(key->x, BN_FLG_CONSTTIME);
      ok = BN_bin2bn(plain.data(), PSE_OPAQUE_PLAIN_BYTES, key->x) != nullptr && R3410_generate_pubkey(key.get()) == 1;
    }
  }
  if (!ok) {
    QERR(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_PSE_LIB);
    return nullptr;
  }
  key->container = container;
  return key.release();
}

}  // namespace qcrypto
