// Signing a ready digest: s = (r * d + k * e) mod q with r = x(k * P) mod q.
#include <openssl/crypto.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/capi/capi.h"
#include "crypto/cclib/ct.h"
#include "crypto/ec/ec_scalar.h"
#include "crypto/ec/ecgost_codes.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/ecgost/ecgost_internal.h"

namespace qcrypto {
namespace {

using ecgost_internal::kMaxDraws;

using PointPtr = UniquePtr<ECPOINT>;
using SigPtr = UniquePtr<ECGOST_SIG>;

bool curve_usable(const ECURVE* curve) {
  return curve != nullptr && curve->P != nullptr && curve->q != nullptr && BN_num_bits(curve->q) > 1 &&
         curve->method != nullptr && curve->method->point_mul_base != nullptr;
}

// The private number may be used: present, in range and no longer the
// container-protected form (which would sign for a key nobody holds).
bool private_usable(const ECGOST* key) {
  if (key->d == nullptr || key->tag != nullptr || BN_is_zero(key->d) || BN_is_negative(key->d)) return false;
  const auto field = scalar::scalar_field_for(key->curve->q);
  return field != nullptr ? scalar::scalar_in_range(*field, key->d) : BN_cmp(key->d, key->curve->q) < 0;
}

// The point from the secret multiplication, declared public.
void ecgost_declassify_point(const ECPOINT* point) {
  for (const BIGNUM* c : {point->X, point->Y, point->Z}) {
    if (c != nullptr) ct_declassify_bn(c);
  }
}

// r = x(k * P) mod q for a k already drawn. The product is public from here
// on: r is published and the point adds nothing that r does not tell. 1 / 0.
int ecgost_commit(const ECURVE* curve, ECPOINT* point, const BIGNUM* k, BIGNUM* r, BN_CTX* ctx) {
  if (!ECPOINT_copy(point, curve->P) || !curve->method->point_mul_base(point, k)) return 0;
  ecgost_declassify_point(point);
  return !ECPOINT_is_infinity(point) && ECPOINT_get_x(r, point, ctx) != nullptr && BN_nnmod(r, r, curve->q, ctx);
}

}  // namespace

int ECGOST_sign_setup(ECGOST* key, BIGNUM* k, BIGNUM* r, BN_CTX* ctx) {
  if (key == nullptr || k == nullptr || r == nullptr || !curve_usable(key->curve)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ERR_R_INTERNAL);
    return 0;
  }
  BnCtxOrOwn context(ctx);
  const ECURVE* curve = key->curve;
  PointPtr point(ECPOINT_new(key->curve));
  if (context.get() == nullptr || point == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  const auto field = scalar::scalar_field_for(curve->q);
  for (int attempt = 0; attempt < kMaxDraws; ++attempt) {
    scalar::Fe km;
    const bool drawn =
        field != nullptr ? scalar::scalar_draw(*field, km, k) > 0 : ecgost_internal::draw_scalar(k, curve->q) != 0;
    OPENSSL_cleanse(&km, sizeof km);
    if (!drawn) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ECGOST_R_RAND_LIB);
      break;
    }
    if (!ecgost_commit(curve, point.get(), k, r, context.get())) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ECGOST_R_ECGOST_LIB);
      break;
    }
    if (!BN_is_zero(r)) return 1;
  }
  BN_clear(k);
  return 0;
}

namespace {

// s = (r*d + k*e) mod q on the fixed-width form of q: neither d nor k meets a
// branch or a table index. The nonce is drawn here so that it never exists
// as a BIGNUM outside the point code. Loops until s != 0; 1 / 0.
int sign_fixed(const scalar::ScalarField& f, ECGOST* key, const unsigned char* digest, int length, ECGOST_SIG* sig,
               BN_CTX* ctx) {
  const ECURVE* curve = key->curve;
  PointPtr point(ECPOINT_new(key->curve));
  SecretBnPtr k(BN_secure_new());
  if (point == nullptr || k == nullptr) return 0;
  scalar::Fe e, d, km, r, s;
  scalar::scalar_from_digest(f, e, digest, static_cast<size_t>(length));
  int ok = scalar::scalar_from_bn(f, d, key->d) ? -1 : 0;
  for (int attempt = 0; ok < 0 && attempt < kMaxDraws; ++attempt) {
    if (scalar::scalar_draw(f, km, k.get()) <= 0) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ECGOST_R_RAND_LIB);
      ok = 0;
      break;
    }
    if (!ecgost_commit(curve, point.get(), k.get(), sig->r, ctx) || !scalar::scalar_from_bn(f, r, sig->r)) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_SETUP, ECGOST_R_ECGOST_LIB);
      ok = 0;
      break;
    }
    if (BN_is_zero(sig->r)) continue;
    scalar::scalar_mul(f, r, r, d);
    scalar::scalar_mul(f, km, km, e);
    scalar::scalar_add(f, s, r, km);
    // s is the published half of the signature.
    QCRYPTO_CT_DECLASSIFY(&s, sizeof s);
    if (scalar::scalar_is_zero(s) != 0) continue;
    ok = scalar::scalar_to_bn(f, sig->s, s) ? 1 : 0;
  }
  BN_clear(k.get());
  OPENSSL_cleanse(&d, sizeof d);
  OPENSSL_cleanse(&km, sizeof km);
  OPENSSL_cleanse(&r, sizeof r);
  return ok > 0 ? 1 : 0;
}

// The same equation on BIGNUMs, for orders the fixed-width code does not
// take (even, or not below 2^256): variable time. No built-in or usual
// curve has such an order.
int sign_bignum(ECGOST* key, const unsigned char* digest, int length, ECGOST_SIG* sig, BN_CTX* ctx) {
  const BIGNUM* q = key->curve->q;
  BnCtxFrame frame(ctx);
  BIGNUM* e = frame.get();
  BIGNUM* k = frame.get();
  BIGNUM* rd = frame.get();
  BIGNUM* ke = frame.get();
  if (ke == nullptr || !ecgost_internal::digest_number(e, digest, length, q, ctx)) return 0;
  for (int attempt = 0; attempt < kMaxDraws; ++attempt) {
    if (!ECGOST_sign_setup(key, k, sig->r, ctx)) return 0;
    bool ok =
        BN_mod_mul(rd, sig->r, key->d, q, ctx) && BN_mod_mul(ke, k, e, q, ctx) && BN_mod_add_quick(sig->s, rd, ke, q);
    BN_clear(k);
    BN_clear(ke);
    BN_clear(rd);
    if (!ok) return 0;
    if (!BN_is_zero(sig->s)) return 1;
  }
  return 0;
}

}  // namespace

ECGOST_SIG* ECGOST_do_sign(const unsigned char* digest, int length, ECGOST* key) {
  if (key == nullptr || digest == nullptr || length < 1 || !curve_usable(key->curve) || !private_usable(key)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_SIGN, ERR_R_INTERNAL);
    return nullptr;
  }
  // Every BIGNUM temporary lives in this context and is wiped when it is freed.
  BnCtxPtr ctx(BN_CTX_secure_new());
  SigPtr sig(ECGOST_SIG_new());
  if (ctx == nullptr || sig == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_SIGN, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  const auto field = scalar::scalar_field_for(key->curve->q);
  const int ok = field != nullptr ? sign_fixed(*field, key, digest, length, sig.get(), ctx.get())
                                  : sign_bignum(key, digest, length, sig.get(), ctx.get());
  if (ok) return sig.release();
  QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_DO_SIGN, ECGOST_R_ECGOST_LIB);
  return nullptr;
}

int ECGOST_sign_digest(int form, ECGOST* key, const unsigned char* digest, int length, unsigned char* out,
                       unsigned int* out_length) {
  if (out_length != nullptr) *out_length = 0;
  if (key == nullptr || out == nullptr || out_length == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_DIGEST, ERR_R_PASSED_NULL);
    return 0;
  }
  if (key->curve == nullptr || key->curve->q == nullptr || BN_is_zero(key->curve->q)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_DIGEST, ERR_R_INTERNAL);
    return 0;
  }
  SigPtr sig;
  if (key->provider != 0) {
    // The key lives in its provider: d is never used. Its signature is read
    // back into r and s, within ECGOST_size(key) bytes, the room the callers
    // give, and written below in the form asked for.
    sig.reset(ECGOST_SIG_new());
    if (sig == nullptr) return 0;
    if (!capi_sign_rs(key->provider, key->key_spec, digest, length, static_cast<unsigned int>(ECGOST_size(key)),
                      key->curve->q, sig->r, sig->s)) {
      QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_DIGEST, ECGOST_R_PROVIDER_SIGN_FAILED);
      return 0;
    }
  } else {
    sig.reset(ECGOST_do_sign(digest, length, key));
    if (sig == nullptr) return 0;
  }
  int written = 0;
  if (form != 0) {
    unsigned char* p = out;
    written = i2d_ECGOST_SIG(sig.get(), &p);
  } else {
    written = ECGOST_SIG_to_raw(sig.get(), out, (BN_num_bits(key->curve->q) + 7) / 8);
  }
  if (written <= 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIGN_DIGEST, ECGOST_R_ECGOST_LIB);
    return 0;
  }
  *out_length = static_cast<unsigned int>(written);
  return 1;
}

}  // namespace qcrypto
