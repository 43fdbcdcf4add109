#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/ec/ec_scalar.h"
#include "crypto/ec/ecgost_codes.h"
#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"

namespace qcrypto {

ECGOST* ECGOST_new(ECURVE* curve) {
  ECGOST* key = new (std::nothrow) ECGOST{};
  if (key == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_NEW, ERR_R_MEMORY_ALLOC);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_NEW, ECGOST_R_ECGOST_LIB);
    return nullptr;
  }
  key->references = 1;
  if (curve != nullptr) {
    if (ECURVE_up_ref(curve)) key->curve = curve;
  } else {
    key->curve = ECURVE_init(nullptr, ECURVE_PROJECTIVE);
  }
  if (key->curve != nullptr) {
    key->d = BN_new();
    key->Q = ECPOINT_new(key->curve);
  }
  if (key->curve == nullptr || key->d == nullptr || key->Q == nullptr || !ECPOINT_set_infinity(key->Q)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_NEW, ECGOST_R_ECGOST_LIB);
    ECGOST_free(key);
    return nullptr;
  }
  return key;
}

int ECGOST_up_ref(ECGOST* key) {
  if (key == nullptr) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
  return ++key->references;
}

void ECGOST_free(ECGOST* key) {
  if (key == nullptr) return;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
    if (--key->references > 0) return;
  }
  BN_clear_free(key->d);
  BN_clear_free(key->tag);
  ECPOINT_free(key->Q);
  if (key->secret != nullptr) OPENSSL_clear_free(key->secret, ECGOST_SECRET_BYTES);
  ECURVE_free(key->curve);
  delete key;
}

int ECGOST_generate_pubkey(ECGOST* key) {
  const ECURVE* curve = key != nullptr ? key->curve : nullptr;
  // The protected form of d would give a public point nobody can sign for.
  bool usable = curve != nullptr && curve->P != nullptr && curve->q != nullptr && key->d != nullptr &&
                key->tag == nullptr && !BN_is_zero(key->d) && !BN_is_negative(key->d);
  if (usable) {
    // d < q without a comparison that stops at the first differing digit of d.
    const auto field = scalar::scalar_field_for(curve->q);
    usable = field != nullptr ? scalar::scalar_in_range(*field, key->d) : BN_cmp(key->d, curve->q) < 0;
  }
  if (!usable) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_GENERATE_PUBKEY, ERR_R_INTERNAL);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_GENERATE_PUBKEY, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  // Computed aside: the key keeps its earlier point unless the new one is complete.
  ECPOINT* point = ECPOINT_dup(curve->P);
  bool ok = point != nullptr && curve->method != nullptr && curve->method->point_mul_base != nullptr &&
            curve->method->point_mul_base(point, key->d) && !ECPOINT_is_infinity(point) && ECPOINT_to_affine(point);
  if (!ok) {
    ECPOINT_free(point);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_GENERATE_PUBKEY, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  ECPOINT_free(key->Q);
  key->Q = point;
  return 1;
}

int ECGOST_size(const ECGOST* key) {
  if (key == nullptr || key->curve == nullptr || key->curve->q == nullptr || BN_is_zero(key->curve->q)) return 0;
  return ECGOST_SIG_der_max_size((BN_num_bits(key->curve->q) + 7) / 8);
}

ECDH* ECGOST_to_ECDH(const ECGOST* key) {
  if (key == nullptr || key->curve == nullptr || key->tag != nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ERR_R_INTERNAL);
    return nullptr;
  }
  const BIGNUM* h = key->curve->h;
  ECDH* ecdh = ECDH_new(key->curve, h != nullptr && !BN_is_zero(h) ? 2 : 0);
  if (ecdh == nullptr) return nullptr;
  bool ok = true;
  if (key->d != nullptr && !BN_is_zero(key->d)) {
    ecdh->private_key = BN_dup(key->d);
    ok = ecdh->private_key != nullptr;
  }
  if (ok && key->Q != nullptr && !ECPOINT_is_infinity(key->Q)) {
    ecdh->public_key = ECPOINT_dup(key->Q);
    ok = ecdh->public_key != nullptr;
  }
  if (!ok) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ERR_R_MEMORY_ALLOC);
    ECDH_free(ecdh);
    return nullptr;
  }
  return ecdh;
}

}  // namespace qcrypto
