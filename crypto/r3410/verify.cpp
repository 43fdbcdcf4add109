// Verification: u = (a^z1 * y^z2 mod p) mod q with v = m^-1, z1 = s*v,
// z2 = (q - r)*v (mod q); valid when u = r.
#include <memory>
#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"
#include "crypto/r3410/group.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/verify_cache.h"

namespace qcrypto {
namespace {

constexpr int kFunc = GOSTS_F_GOSTS_DO_VERIFY;

// The precomputed powers of y for the shared squaring chain.
std::shared_ptr<const R3410VerifyData> BuildData(const R3410Group& group, const R3410* key, BN_CTX* ctx) {
  auto data = std::make_shared<R3410VerifyData>();
  data->p.reset(BN_dup(key->p));
  data->q.reset(BN_dup(key->q));
  data->a.reset(BN_dup(key->a));
  data->y.reset(BN_dup(key->y));
  data->chain = group.chain();
  BnPtr y_mont(BN_new());
  std::array<BnPtr, kR3410Slices> bases;
  if (!data->p || !data->q || !data->a || !data->y || !y_mont ||
      !BN_to_montgomery(y_mont.get(), key->y, group.mont(), ctx) ||
      !MakeSliceBases(bases, y_mont.get(), data->chain, group.mont(), ctx)) {
    return nullptr;
  }
  for (int k = 0; k < kR3410Slices; ++k) {
    if (!MakeOddPowers(&data->y_powers[k], bases[k].get(), kR3410SliceWindow, group.mont(), ctx)) return nullptr;
  }
  return data;
}

// 1 < y < p, and both a and y in the subgroup of order q. A y outside it
// (p - 1, or any element of small order) would let anyone make signatures
// that verify, so such a key is refused. The checks and the powers of y are
// remembered per key.
std::shared_ptr<const R3410VerifyData> PublicData(const R3410Group& group, const R3410* key, BN_CTX* ctx) {
  const BIGNUM* y = key->y;
  if (BN_is_negative(y) || BN_cmp(y, BN_value_one()) <= 0 || BN_cmp(y, group.p()) >= 0) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_INVALID_PUBLIC_KEY);
    return nullptr;
  }
  if (auto cached = R3410VerifyCacheGet(key)) return cached;
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  if (t == nullptr) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return nullptr;
  }
  if (!group.builtin()) {
    if (!BN_mod_exp_mont(t, group.a(), group.q(), group.p(), ctx, group.mont())) {
      QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
      return nullptr;
    }
    if (!BN_is_one(t)) {
      QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_INVALID_DOMAIN_PARAMETERS);
      return nullptr;
    }
  }
  if (!BN_mod_exp_mont(t, y, group.q(), group.p(), ctx, group.mont())) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return nullptr;
  }
  if (!BN_is_one(t)) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_INVALID_PUBLIC_KEY);
    return nullptr;
  }
  auto data = BuildData(group, key, ctx);
  if (!data) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return nullptr;
  }
  R3410VerifyCacheStore(key, data);
  return data;
}

// u = a^z1 * y^z2 mod p. With the built-in parameters both powers run in one
// chain of squarings over the slices of z1 and z2; otherwise a^z1 is a plain
// exponentiation and y^z2 uses the chain.
bool Combine(BIGNUM* u, const R3410Group& group, const R3410VerifyData& data, const BIGNUM* z1, const BIGNUM* z2,
             BN_CTX* ctx) {
  std::vector<ExpTerm> terms;
  for (int k = 0; k < kR3410Slices; ++k) terms.push_back({&data.y_powers[k], z2, k * data.chain});
  if (group.a_slices() != nullptr) {
    for (int k = 0; k < kR3410Slices; ++k) terms.push_back({&(*group.a_slices())[k], z1, k * data.chain});
    return MultiExpMont(u, terms, data.chain, group.mont(), ctx) && BN_from_montgomery(u, u, group.mont(), ctx);
  }
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  // (a^z1) * (y^z2 * R) * R^-1 = a^z1 * y^z2.
  return t != nullptr && BN_mod_exp_mont(t, group.a(), z1, group.p(), ctx, group.mont()) &&
         MultiExpMont(u, terms, data.chain, group.mont(), ctx) && BN_mod_mul_montgomery(u, t, u, group.mont(), ctx);
}

}  // namespace

int GOSTS_do_verify(const R3410_SIG* sig, const R3410* key, const unsigned char* digest, int length) {
  if (key == nullptr || sig == nullptr || key->p == nullptr || key->q == nullptr || key->a == nullptr ||
      key->y == nullptr) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_INTERNAL);
    return -1;
  }
  const BIGNUM* q = key->q;
  if (sig->r == nullptr || BN_is_zero(sig->r)) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_R_IS_ZERO);
    return 0;
  }
  if (BN_is_negative(sig->r) || BN_cmp(sig->r, q) >= 0) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_R_GE_Q);
    return 0;
  }
  if (sig->s == nullptr || BN_is_zero(sig->s)) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_S_IS_ZERO);
    return 0;
  }
  if (BN_is_negative(sig->s) || BN_cmp(sig->s, q) >= 0) {
    QERR(ERRLIB_GOSTS, kFunc, GOSTS_R_S_GE_Q);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) {
    QERR(ERRLIB_GOSTS, kFunc, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  R3410Group group;
  if (!group.Prepare(key->p, q, key->a, ctx.get(), ERRLIB_GOSTS, kFunc)) return -1;
  const std::shared_ptr<const R3410VerifyData> data = PublicData(group, key, ctx.get());
  if (!data) return -1;

  BnCtxFrame frame(ctx.get());
  BIGNUM* m = frame.get();
  BIGNUM* v = frame.get();
  BIGNUM* z1 = frame.get();
  BIGNUM* z2 = frame.get();
  BIGNUM* u = frame.get();
  if (u == nullptr || !BN_digest_mod(m, digest, length, q, ctx.get()) ||
      BN_mod_binary_inverse(v, m, q, ctx.get()) == nullptr || !BN_mod_mul(z1, sig->s, v, q, ctx.get()) ||
      !BN_sub(z2, q, sig->r) || !BN_mod_mul(z2, z2, v, q, ctx.get()) || !Combine(u, group, *data, z1, z2, ctx.get()) ||
      !BN_nnmod(u, u, q, ctx.get())) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return -1;
  }
  if (BN_cmp(u, sig->r) != 0) {
    QERR(ERRLIB_GOSTS, kFunc, ERRLIB_BN);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
