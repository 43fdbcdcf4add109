// Verification of a ready digest and the public-point check.
#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ecgost_codes.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/ecgost/ecgost_internal.h"

namespace qcrypto {
namespace {

using SigPtr = UniquePtr<ECGOST_SIG>;

int pubkey_invalid() {
  QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_IS_PUBKEY_VALID, ECGOST_R_ECGOST_LIB);
  return 0;
}

// Whether x(C) mod q == r for a finite C; -1 on a big-number failure.
int x_matches(const ECPOINT* c, const BIGNUM* r, const BIGNUM* q, BN_CTX* ctx) {
  BnCtxFrame frame(ctx);
  BIGNUM* x = frame.get();
  if (x == nullptr || ECPOINT_get_x(x, c, ctx) == nullptr || !BN_nnmod(x, x, q, ctx)) return -1;
  return BN_cmp(x, r) == 0 ? 1 : 0;
}

}  // namespace

int ECGOST_is_pubkey_valid(const ECPOINT* point, int full) {
  if (point == nullptr || point->curve == nullptr || point->curve->p == nullptr || ECPOINT_is_infinity(point)) {
    return pubkey_invalid();
  }
  const ECURVE* curve = point->curve;
  BnCtxPtr ctx(BN_CTX_new());
  if (ctx == nullptr) return pubkey_invalid();
  BnCtxFrame frame(ctx.get());
  BIGNUM* x = frame.get();
  BIGNUM* y = frame.get();
  if (y == nullptr || !ecgost_internal::affine_xy(point, x, y, ctx.get())) return pubkey_invalid();
  if (BN_is_zero(x) || BN_is_negative(x) || BN_cmp(x, curve->p) >= 0 || BN_is_zero(y) || BN_is_negative(y) ||
      BN_cmp(y, curve->p) >= 0) {
    return pubkey_invalid();
  }
  if (ECPOINT_lies(point, ctx.get()) != 1) return pubkey_invalid();
  if (full) {
    // Without an order (q empty) 0 * point would pass for any point. The
    // order is public: the public multiplication serves any curve.
    UniquePtr<ECPOINT> multiple(ECPOINT_dup(point));
    if (curve->q == nullptr || BN_is_zero(curve->q) || multiple == nullptr ||
        !ECPOINT_mul_public(multiple.get(), curve->q) || !ECPOINT_is_infinity(multiple.get())) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_IS_PUBKEY_VALID, ERR_R_INTERNAL);
      return pubkey_invalid();
    }
  }
  return 1;
}

int ECGOST_do_verify(const unsigned char* digest, int length, const ECGOST_SIG* sig, ECGOST* key) {
  const ECURVE* curve = key != nullptr ? key->curve : nullptr;
  if (digest == nullptr || length < 1 || sig == nullptr || sig->r == nullptr || sig->s == nullptr || curve == nullptr ||
      curve->p == nullptr || curve->q == nullptr || curve->P == nullptr || BN_num_bits(curve->q) < 2 ||
      key->Q == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ERR_R_INTERNAL);
    return -1;
  }
  // A point at infinity would let anyone sign (z2 * Q drops out), one off the
  // curve would move the arithmetic to a weaker curve: such a key verifies nothing.
  if (!ecgost_internal::same_curve(key->Q, curve) || !ECGOST_is_pubkey_valid(key->Q, 0)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ECGOST_LIB);
    return -1;
  }
  const BIGNUM* q = curve->q;
  if (BN_is_zero(sig->r) || BN_is_negative(sig->r)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ZERO_R);
    return 0;
  }
  if (BN_cmp(sig->r, q) >= 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_R_TOO_BIG);
    return 0;
  }
  if (BN_is_zero(sig->s) || BN_is_negative(sig->s)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ZERO_S);
    return 0;
  }
  if (BN_cmp(sig->s, q) >= 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_S_TOO_BIG);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  UniquePtr<ECPOINT> c(ECPOINT_new(key->curve));
  if (ctx == nullptr || c == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ERR_R_MEMORY_ALLOC);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ECGOST_LIB);
    return -1;
  }
  BnCtxFrame frame(ctx.get());
  BIGNUM* e = frame.get();
  BIGNUM* v = frame.get();
  BIGNUM* z1 = frame.get();
  BIGNUM* z2 = frame.get();
  bool ok = z2 != nullptr && ecgost_internal::digest_number(e, digest, length, q, ctx.get()) &&
            BN_mod_binary_inverse(v, e, q, ctx.get()) != nullptr && BN_mod_mul(z1, sig->s, v, q, ctx.get()) &&
            BN_mod_mul(z2, sig->r, v, q, ctx.get()) && BN_sub(z2, q, z2) &&
            ECPOINT_mul_generator_sum(c.get(), z1, key->Q, z2);
  int match = ok ? (ECPOINT_is_infinity(c.get()) ? 0 : x_matches(c.get(), sig->r, q, ctx.get())) : -1;
  if (match < 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ECGOST_LIB);
    return -1;
  }
  if (match == 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_SIGNATURE_FAILURE);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_VERIFY, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  return 1;
}

int ECGOST_verify_digest(int form, ECGOST* key, const unsigned char* digest, int length, const unsigned char* signature,
                         int signature_length) {
  if (key == nullptr || signature == nullptr || signature_length <= 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_VERIFY_DIGEST, ERR_R_PASSED_NULL);
    return 0;
  }
  SigPtr sig;
  if (form != 0) {
    const unsigned char* p = signature;
    sig.reset(d2i_ECGOST_SIG(nullptr, &p, signature_length));
    // Bytes after the SEQUENCE would make one signature verify under many encodings.
    if (sig != nullptr && p != signature + signature_length) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_VERIFY_DIGEST, ECGOST_R_ASN1_LIB);
      return 0;
    }
  } else {
    // Only the width the curve's order gives: any even length would let one
    // signature verify under many encodings.
    const int width = key->curve != nullptr && key->curve->q != nullptr ? (BN_num_bits(key->curve->q) + 7) / 8 : 0;
    sig.reset(ECGOST_SIG_from_raw_exact(signature, signature_length, width));
  }
  if (sig == nullptr) return 0;
  return ECGOST_do_verify(digest, length, sig.get(), key) == 1 ? 1 : 0;
}

}  // namespace qcrypto
