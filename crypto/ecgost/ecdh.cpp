#include "crypto/ecgost/ecdh.h"

#include <openssl/crypto.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/locks.h"
#include "crypto/ec/ecgost_codes.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/ecgost/ecgost_internal.h"

namespace qcrypto {
namespace {

constexpr int kSecretBytes = 32;

bool has_cofactor(const ECURVE* curve) { return curve->h != nullptr && !BN_is_zero(curve->h); }

void drop_shared(ECDH* ecdh) {
  BN_clear_free(ecdh->shared);
  ecdh->shared = nullptr;
}

// The secret part of the multiplier t of the object's mode: t = d (mode 0),
// h * d (mode 1) or ((h^-1 mod q) * d mod q) * h (mode 2, the product kept
// unreduced: reduced mod q it would be d again and a small-order part of the
// peer's point would survive into the shared value). The product t * peer is
// taken as h * (s * peer): the secret s goes through the constant-time
// multiplication at its own width, the public cofactor h afterwards.
bool secret_multiplier(BIGNUM* s, const ECDH* ecdh, BN_CTX* ctx) {
  const ECURVE* curve = ecdh->curve;
  switch (ecdh->mode) {
    case ECDH_MODE_COFACTOR:
      return BN_copy(s, ecdh->private_key) != nullptr;
    case ECDH_MODE_COFACTOR_COMPATIBLE: {
      // Cofactor 1 (both built-in curves): the product is d mod q itself.
      if (BN_is_one(curve->h)) return BN_nnmod(s, ecdh->private_key, curve->q, ctx) != 0;
      BnCtxFrame frame(ctx);
      BIGNUM* inverse = frame.get();
      return inverse != nullptr && BN_mod_inverse(inverse, curve->h, curve->q, ctx) != nullptr &&
             BN_mod_mul(s, inverse, ecdh->private_key, curve->q, ctx);
    }
    default:
      return BN_copy(s, ecdh->private_key) != nullptr;
  }
}

// Whether the mode's multiplier carries the public cofactor.
bool cofactor_applies(const ECDH* ecdh) {
  return ecdh->mode != ECDH_MODE_PLAIN && has_cofactor(ecdh->curve) && !BN_is_one(ecdh->curve->h);
}

}  // namespace

ECDH* ECDH_new(ECURVE* curve, int mode) {
  if (curve == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ERR_R_PASSED_NULL);
    return nullptr;
  }
  auto* ecdh = static_cast<ECDH*>(OPENSSL_zalloc(sizeof(ECDH)));
  if (ecdh == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ERR_R_MEMORY_ALLOC);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ECGOST_R_ECGOST_LIB);
    return nullptr;
  }
  if (!ECURVE_up_ref(curve)) {
    OPENSSL_free(ecdh);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_NEW, ECGOST_R_ECGOST_LIB);
    return nullptr;
  }
  ecdh->curve = curve;
  ecdh->references = 1;
  bool cofactor_mode = mode == ECDH_MODE_COFACTOR || mode == ECDH_MODE_COFACTOR_COMPATIBLE;
  ecdh->mode = cofactor_mode && has_cofactor(curve) ? mode : ECDH_MODE_PLAIN;
  return ecdh;
}

int ECDH_up_ref(ECDH* ecdh) {
  if (ecdh == nullptr) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
  return ++ecdh->references;
}

void ECDH_free(ECDH* ecdh) {
  if (ecdh == nullptr) return;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
    if (--ecdh->references > 0) return;
  }
  BN_clear_free(ecdh->private_key);
  ECPOINT_free(ecdh->public_key);
  BN_clear_free(ecdh->shared);
  if (ecdh->secret != nullptr) OPENSSL_clear_free(ecdh->secret, kSecretBytes);
  ECURVE_free(ecdh->curve);
  OPENSSL_free(ecdh);
}

int ECDH_generate_key(ECDH* ecdh) {
  if (ecdh == nullptr || ecdh->curve == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_GENERATE_KEY, ERR_R_PASSED_NULL);
    return 0;
  }
  drop_shared(ecdh);
  const ECURVE* curve = ecdh->curve;
  if (curve->q == nullptr || curve->P == nullptr || curve->method == nullptr ||
      curve->method->point_mul_base == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_GENERATE_KEY, ERR_R_INTERNAL);
    return 0;
  }
  bool has_private = ecdh->private_key != nullptr && !BN_is_zero(ecdh->private_key);
  SecretBnPtr drawn;
  if (!has_private) {
    drawn.reset(BN_secure_new());
    if (drawn == nullptr || !ecgost_internal::draw_scalar(drawn.get(), curve->q)) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_GENERATE_KEY, ECGOST_R_RAND_LIB);
      return 0;
    }
  }
  UniquePtr<ECPOINT> point;
  if (ecdh->public_key == nullptr || drawn != nullptr) {
    point.reset(ECPOINT_dup(curve->P));
    const BIGNUM* k = drawn != nullptr ? drawn.get() : ecdh->private_key;
    if (point == nullptr || !curve->method->point_mul_base(point.get(), k) || ECPOINT_is_infinity(point.get())) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_GENERATE_KEY, ECGOST_R_ECGOST_LIB);
      return 0;
    }
  }
  if (drawn != nullptr) {
    BN_clear_free(ecdh->private_key);
    ecdh->private_key = drawn.release();
  }
  if (point != nullptr) {
    ECPOINT_free(ecdh->public_key);
    ecdh->public_key = point.release();
  }
  return 1;
}

int ECDH_compute_key(const ECPOINT* peer, ECDH* ecdh) {
  if (ecdh == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, ERR_R_PASSED_NULL);
    return 0;
  }
  drop_shared(ecdh);
  const ECURVE* curve = ecdh->curve;
  if (peer == nullptr || curve == nullptr || curve->q == nullptr || ecdh->private_key == nullptr ||
      BN_is_zero(ecdh->private_key)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, ERR_R_INTERNAL);
    return 0;
  }
  // A point of another curve would have its multiple taken with this curve's
  // formulas, on a curve the peer may have chosen weak.
  UniquePtr<ECPOINT> product(ECPOINT_dup(peer));
  if (product == nullptr || !ecgost_internal::same_curve(peer, curve) ||
      !ECGOST_is_pubkey_valid(product.get(), ecdh->mode == ECDH_MODE_PLAIN)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_secure_new());
  if (ctx == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  BnCtxFrame frame(ctx.get());
  BIGNUM* t = frame.get();
  BIGNUM* y = frame.get();
  SecretBnPtr shared(BN_secure_new());
  // The coordinates are the agreed secret: read into numbers that are wiped.
  bool ok =
      y != nullptr && shared != nullptr && secret_multiplier(t, ecdh, ctx.get()) && ECPOINT_mul(product.get(), t) &&
      (!cofactor_applies(ecdh) || ECPOINT_mul_public(product.get(), ecdh->curve->h)) &&
      !ECPOINT_is_infinity(product.get()) && ecgost_internal::affine_xy(product.get(), shared.get(), y, ctx.get());
  BN_clear(t);
  BN_clear(y);
  if (!ok) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  ecdh->shared = shared.release();
  return 1;
}

int ECDH_size(const ECDH* ecdh) {
  if (ecdh == nullptr || ecdh->curve == nullptr || ecdh->curve->p == nullptr) return 0;
  return (BN_num_bits(ecdh->curve->p) + 7) / 8;
}

}  // namespace qcrypto
