// Signing: s = (k*m + x*r) mod q with r = (a^k mod p) mod q.
#include <openssl/crypto.h>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ct.h"
#include "crypto/ec/ec_scalar.h"
#include "crypto/err/err.h"
#include "crypto/r3410/group.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

// Draws before giving up: with k masked to bits(q) bits each draw is accepted
// with probability above 1/2, so only a broken generator gets this far.
constexpr int kMaxDraws = 128;

bool HasPrivate(const R3410* key) { return key->x != nullptr || key->secret != nullptr; }

// x still in the key container's protected form (tag present) is not the
// private key: a signature made with it would be worthless.
bool StillProtected(const R3410* key, int func) {
  if (key->secret != nullptr || key->tag == nullptr) return false;
  QERR(ERRLIB_GOSTS, func, GOSTS_R_INVALID_PRIVATE_KEY);
  return true;
}

// x for the product x*r: the key's x, or a number rebuilt from the 32-byte
// secret buffer for this one use (the key itself is left as it is).
class PrivateNumber {
 public:
  explicit PrivateNumber(const R3410* key) {
    if (key->secret != nullptr) {
      own_.reset(BN_secure_new());
      if (own_ && BN_bin2bn(key->secret, 32, own_.get()) != nullptr) {
        BN_set_flags(own_.get(), BN_FLG_CONSTTIME);
        x_ = own_.get();
      }
    } else {
      x_ = key->x;
    }
  }
  const BIGNUM* get() const { return x_; }

 private:
  SecretBnPtr own_;
  const BIGNUM* x_ = nullptr;
};

// One per-signature value into k, r, xr (all wiped by their owners).
bool SignSetup(const R3410Group& group, const BIGNUM* x, BN_CTX* ctx, BIGNUM* k, BIGNUM* r, BIGNUM* xr) {
  const BIGNUM* q = group.q();
  const int qbits = BN_num_bits(q);
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  if (t == nullptr) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
    return false;
  }
  bool ok = false;
  bool broken = false;  // an error is already queued
  for (int draw = 0; draw < kMaxDraws && !ok && !broken; ++draw) {
    // k is redrawn (never reduced) until 0 < k < q, so every value is
    // equally likely.
    if (!BN_rand_bits(k, qbits)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
      broken = true;
      break;
    }
    BN_set_flags(k, BN_FLG_CONSTTIME);
    if (BN_is_zero(k) || BN_cmp(k, q) >= 0) continue;
    if (!group.PowBaseSecret(t, k, ctx) || !BN_nnmod(r, t, q, ctx)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
      broken = true;
      break;
    }
    if (BN_is_zero(r)) continue;
    if (!BN_mul(xr, x, r, ctx)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
      broken = true;
      break;
    }
    ok = true;
  }
  BN_clear(t);
  if (!ok) {
    if (!broken) QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, GOSTS_R_INVALID_K);
    BN_clear(k);
    BN_clear(xr);
  }
  return ok;
}

}  // namespace

int GOSTS_sign_setup(const R3410* key, BIGNUM** k, BIGNUM** r, BIGNUM** xr) {
  constexpr int kFunc = GOSTS_F_GOSTS_SIGN_SETUP;
  if (key == nullptr || k == nullptr || r == nullptr || xr == nullptr || key->p == nullptr || key->q == nullptr ||
      key->a == nullptr || !HasPrivate(key)) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_INTERNAL);
    return 0;
  }
  if (StillProtected(key, kFunc)) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  SecretBnPtr kk(BN_secure_new()), xrr(BN_secure_new());
  BnPtr rr(BN_new());
  if (!ctx || !kk || !xrr || !rr) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  R3410Group group;
  if (!group.Prepare(key->p, key->q, key->a, ctx.get(), ERRLIB_GOSTS, kFunc)) return 0;
  PrivateNumber x(key);
  if (x.get() == nullptr) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return 0;
  }
  if (!SignSetup(group, x.get(), ctx.get(), kk.get(), rr.get(), xrr.get())) return 0;
  *k = kk.release();
  *r = rr.release();
  *xr = xrr.release();
  return 1;
}

namespace {

// s = (k*m + x*r) mod q on the fixed-width form of q: neither x nor k meets a
// branch or a table index, and x*r is never formed as a full product. The
// nonce is drawn here. Loops until r != 0 and s != 0.
// 1 done, 0 error queued, -1 no valid k in kMaxDraws.
int SignFixed(const scalar::ScalarField& f, const R3410Group& group, const R3410* key, const unsigned char* digest,
              int length, BN_CTX* ctx, BIGNUM* r, BIGNUM* s) {
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  SecretBnPtr k(BN_secure_new());
  if (t == nullptr || k == nullptr) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
    return 0;
  }
  scalar::Fe m, x, km, rm, sm;
  if (length < 0 || (digest == nullptr && length > 0)) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
    return 0;
  }
  scalar::scalar_from_digest(f, m, digest, static_cast<size_t>(length));
  // The 32-byte buffer is read as it is: no BIGNUM of x is made for it.
  if (key->secret != nullptr) {
    scalar::scalar_from_bytes(f, x, key->secret);
  } else if (!scalar::scalar_from_bn(f, x, key->x)) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
    return 0;
  }
  int result = -1;
  for (int draw = 0; draw < kMaxDraws && result < 0; ++draw) {
    const int drawn = scalar::scalar_draw(f, km, k.get());
    if (drawn <= 0) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP,
           drawn < 0 ? static_cast<int>(GOSTS_R_INVALID_K) : static_cast<int>(ERRLIB_BN));
      result = 0;
      break;
    }
    if (!group.PowBaseSecret(t, k.get(), ctx)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
      result = 0;
      break;
    }
    // a^k mod p is public from here on: r is made from it and published.
    ct_declassify_bn(t);
    if (!BN_nnmod(r, t, group.q(), ctx) || !scalar::scalar_from_bn(f, rm, r)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, ERRLIB_BN);
      result = 0;
      break;
    }
    if (BN_is_zero(r)) continue;
    scalar::scalar_mul(f, km, km, m);
    scalar::scalar_mul(f, rm, rm, x);
    scalar::scalar_add(f, sm, km, rm);
    // s is the published half of the signature.
    QCRYPTO_CT_DECLASSIFY(&sm, sizeof sm);
    if (scalar::scalar_is_zero(sm) != 0) continue;
    result = scalar::scalar_to_bn(f, s, sm) ? 1 : 0;
    if (result == 0) QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
  }
  BN_clear(t);
  BN_clear(k.get());
  OPENSSL_cleanse(&x, sizeof x);
  OPENSSL_cleanse(&km, sizeof km);
  OPENSSL_cleanse(&rm, sizeof rm);
  return result;
}

// The same equation on BIGNUMs, for explicit parameters whose q is even or
// not below 2^256 (the fixed-width code takes neither). Variable time in x
// and k: no built-in or usual parameter set has such a q.
int SignBignum(const R3410Group& group, const R3410* key, const unsigned char* digest, int length, BN_CTX* ctx,
               BIGNUM* r, BIGNUM* s) {
  const BIGNUM* q = group.q();
  BnCtxFrame frame(ctx);
  BIGNUM* m = frame.get();
  BIGNUM* k = frame.get();
  BIGNUM* xr = frame.get();
  BIGNUM* km = frame.get();
  PrivateNumber x(key);
  if (km == nullptr || x.get() == nullptr || !BN_digest_mod(m, digest, length, q, ctx)) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
    return 0;
  }
  int result = -1;
  for (int attempt = 0; attempt < kMaxDraws && result < 0; ++attempt) {
    if (!SignSetup(group, x.get(), ctx, k, r, xr) || !BN_mod_mul(km, k, m, q, ctx) || !BN_mod_add(s, km, xr, q, ctx)) {
      QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERRLIB_BN);
      result = 0;
      break;
    }
    if (!BN_is_zero(s)) result = 1;
  }
  for (BIGNUM* secret : {k, xr, km}) BN_clear(secret);
  return result;
}

}  // namespace

R3410_SIG* GOSTS_do_sign(const R3410* key, const unsigned char* digest, int length) {
  constexpr int kFunc = GOSTS_F_GOSTS_DO_SIGN;
  if (key == nullptr || key->p == nullptr || key->q == nullptr || key->a == nullptr || !HasPrivate(key)) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_INTERNAL);
    return nullptr;
  }
  if (StillProtected(key, kFunc)) return nullptr;
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  R3410Group group;
  if (!group.Prepare(key->p, key->q, key->a, ctx.get(), ERRLIB_GOSTS, kFunc)) return nullptr;
  R3410_SIG* sig = R3410_SIG_new();
  if (sig == nullptr) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return nullptr;
  }
  const auto field = scalar::scalar_field_for(group.q());
  const int result = field != nullptr ? SignFixed(*field, group, key, digest, length, ctx.get(), sig->r, sig->s)
                                      : SignBignum(group, key, digest, length, ctx.get(), sig->r, sig->s);
  if (result <= 0) {
    if (result < 0) QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_INVALID_K);
    R3410_SIG_free(sig);
    return nullptr;
  }
  sig->qlen = (BN_num_bits(group.q()) + 7) / 8;
  return sig;
}

}  // namespace qcrypto
