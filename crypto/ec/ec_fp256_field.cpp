// Set-up, conversions and inversion of the fixed-width field.
#include "crypto/ec/ec_fp256_field.h"

#include <openssl/crypto.h>

#include "crypto/bn/bn_owner.h"

namespace qcrypto::fp256 {
namespace {

void limbs_from_le(u64 limbs[4], const unsigned char bytes[32]) {
  for (int i = 0; i < 4; ++i) {
    u64 v = 0;
    for (int j = 7; j >= 0; --j) v = (v << 8) | bytes[8 * i + j];
    limbs[i] = v;
  }
}

void limbs_to_le(unsigned char bytes[32], const u64 limbs[4]) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) bytes[8 * i + j] = static_cast<unsigned char>(limbs[i] >> (8 * j));
  }
}

bool bn_to_limbs(u64 limbs[4], const BIGNUM* x) {
  unsigned char bytes[32];
  if (BN_bn2lebinpad(x, bytes, sizeof bytes) != static_cast<int>(sizeof bytes)) return false;
  limbs_from_le(limbs, bytes);
  OPENSSL_cleanse(bytes, sizeof bytes);
  return true;
}

}  // namespace

bool field_init(Field& f, const BIGNUM* p) {
  if (p == nullptr || BN_is_negative(p) || !BN_is_odd(p) || BN_num_bits(p) > 256 || BN_cmp(p, BN_value_one()) <= 0 ||
      BN_is_word(p, 3)) {
    return false;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr t(BN_new());
  if (ctx == nullptr || t == nullptr || !bn_to_limbs(f.p, p)) return false;
  // n0 = -p^-1 mod 2^64 by Newton's iteration (each step doubles the
  // correct low bits; p*p = 1 mod 8 starts with three).
  u64 inv = f.p[0];
  for (int i = 0; i < 5; ++i) inv *= 2 - f.p[0] * inv;
  f.n0 = 0 - inv;
  if (!BN_set_bit(t.get(), 256) || !BN_mod(t.get(), t.get(), p, ctx.get()) || !bn_to_limbs(f.one.v, t.get())) {
    return false;
  }
  BN_zero(t.get());
  if (!BN_set_bit(t.get(), 512) || !BN_mod(t.get(), t.get(), p, ctx.get()) || !bn_to_limbs(f.r2.v, t.get())) {
    return false;
  }
  if (!BN_copy(t.get(), p) || !BN_sub_word(t.get(), 2) || !bn_to_limbs(f.pm2, t.get())) return false;
  f.form = kFieldGeneric;
  if (f.p[0] == ~u64{0} && f.p[1] == 0x00000000FFFFFFFFull && f.p[2] == 0 && f.p[3] == 0xFFFFFFFF00000001ull) {
    f.form = kFieldP256;
  } else if (f.p[1] == 0 && f.p[2] == 0 && f.p[3] == (u64{1} << 63)) {
    f.form = kFieldC255;
  }
  return true;
}

void fe_from_limbs(const Field& f, Fe& r, const u64 limbs[4]) {
  Fe t;
  for (int i = 0; i < 4; ++i) t.v[i] = limbs[i];
  fe_mul(f, r, t, f.r2);
}

void fe_to_limbs(const Field& f, u64 limbs[4], const Fe& a) {
  const Fe one_plain{{1, 0, 0, 0}};
  Fe t;
  fe_mul(f, t, a, one_plain);
  for (int i = 0; i < 4; ++i) limbs[i] = t.v[i];
}

bool fe_from_bn(const Field& f, Fe& r, const BIGNUM* x, BN_CTX* ctx) {
  if (x == nullptr) return false;
  u64 limbs[4];
  if (BN_is_negative(x) || BN_num_bits(x) > 256) {
    BnCtxPtr own(ctx == nullptr ? BN_CTX_secure_new() : nullptr);
    BN_CTX* use = ctx != nullptr ? ctx : own.get();
    BnPtr p(BN_new());
    SecretBnPtr t(BN_new());
    unsigned char bytes[32];
    limbs_to_le(bytes, f.p);
    if (use == nullptr || p == nullptr || t == nullptr || BN_lebin2bn(bytes, 32, p.get()) == nullptr ||
        !BN_nnmod(t.get(), x, p.get(), use) || !bn_to_limbs(limbs, t.get())) {
      return false;
    }
  } else if (!bn_to_limbs(limbs, x)) {
    return false;
  }
  fe_from_limbs(f, r, limbs);
  OPENSSL_cleanse(limbs, sizeof limbs);
  return true;
}

bool fe_to_bn(const Field& f, BIGNUM* r, const Fe& a) {
  u64 limbs[4];
  unsigned char bytes[32];
  fe_to_limbs(f, limbs, a);
  limbs_to_le(bytes, limbs);
  const bool ok = BN_lebin2bn(bytes, sizeof bytes, r) != nullptr;
  OPENSSL_cleanse(limbs, sizeof limbs);
  OPENSSL_cleanse(bytes, sizeof bytes);
  return ok;
}

}  // namespace qcrypto::fp256
