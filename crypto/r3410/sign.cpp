// Signing: s = (k*m + x*r) mod q with r = (a^k mod p) mod q.
#include <openssl/crypto.h>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
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
  const BIGNUM* q = group.q();
  BnCtxFrame frame(ctx.get());
  BIGNUM* m = frame.get();
  BIGNUM* k = frame.get();
  BIGNUM* r = frame.get();
  BIGNUM* xr = frame.get();
  BIGNUM* km = frame.get();
  BIGNUM* s = frame.get();
  PrivateNumber x(key);
  if (s == nullptr || x.get() == nullptr || !BN_digest_mod(m, digest, length, q, ctx.get())) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return nullptr;
  }
  R3410_SIG* sig = nullptr;
  bool broken = false;  // an error is already queued
  for (int attempt = 0; attempt < kMaxDraws && sig == nullptr && !broken; ++attempt) {
    broken = true;
    if (!SignSetup(group, x.get(), ctx.get(), k, r, xr)) {
      QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
      break;
    }
    BN_set_flags(km, BN_FLG_CONSTTIME);
    BN_set_flags(s, BN_FLG_CONSTTIME);
    if (!BN_mod_mul(km, k, m, q, ctx.get()) || !BN_mod_add(s, km, xr, q, ctx.get())) {
      QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
      break;
    }
    broken = false;
    if (BN_is_zero(s)) continue;
    sig = R3410_SIG_new();
    if (sig == nullptr || !BN_copy(sig->r, r) || !BN_copy(sig->s, s)) {
      R3410_SIG_free(sig);
      sig = nullptr;
      QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
      broken = true;
      break;
    }
    sig->qlen = (BN_num_bits(q) + 7) / 8;
  }
  for (BIGNUM* secret : {k, xr, km, s}) BN_clear(secret);
  if (sig == nullptr && !broken) QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_INVALID_K);
  return sig;
}

}  // namespace qcrypto
