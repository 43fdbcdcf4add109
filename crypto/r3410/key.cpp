// The key record's life cycle and its key-level operations.
#include <openssl/crypto.h>

#include "crypto/asn1/der_rs.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/locks.h"
#include "crypto/ec/ec_scalar.h"
#include "crypto/err/err.h"
#include "crypto/r3410/group.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/verify_cache.h"

namespace qcrypto {

R3410* GOSTS_new() {
  auto* key = static_cast<R3410*>(OPENSSL_zalloc(sizeof(R3410)));
  if (key == nullptr) {
    QERR(ERRLIB_GOSTS, GOSTS_F_GOSTS_NEW, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  key->references = 1;
  key->write_params = 1;
  return key;
}

int R3410_up_ref(R3410* key) {
  if (key == nullptr) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_R3410);
  ++key->references;
  return 1;
}

void R3410_free(R3410* key) {
  if (key == nullptr) return;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_R3410);
    if (--key->references > 0) return;
  }
  for (BIGNUM* b : {key->p, key->q, key->a, key->y, key->x, key->tag, key->spare1, key->spare2}) BN_clear_free(b);
  if (key->secret != nullptr) OPENSSL_clear_free(key->secret, 32);
  R3410VerifyCacheFree(key->checked);
  OPENSSL_clear_free(key, sizeof(R3410));
}

int R3410_default_params(R3410* key) {
  if (key == nullptr) return 0;
  if (key->p != nullptr && key->q != nullptr && key->a != nullptr) return 1;
  BN_free(key->p);
  BN_free(key->q);
  BN_free(key->a);
  key->p = BN_bin2bn(R3410_default_p(), R3410_DEFAULT_P_BYTES, nullptr);
  key->q = BN_bin2bn(R3410_default_q(), R3410_DEFAULT_Q_BYTES, nullptr);
  key->a = BN_bin2bn(R3410_default_a(), R3410_DEFAULT_A_BYTES, nullptr);
  if (key->p == nullptr || key->q == nullptr || key->a == nullptr) return 0;
  key->p_bits = BN_num_bits(key->p);
  key->q_bits = BN_num_bits(key->q);
  return 1;
}

int R3410_size(const R3410* key) {
  if (key == nullptr || key->q == nullptr) return 0;
  return der_rs_max_size((BN_num_bits(key->q) + 7) / 8);
}

int R3410_generate_pubkey(R3410* key) {
  constexpr int kFunc = R3410_F_R3410_GENERATE_PUBKEY;
  if (key == nullptr || key->x == nullptr || key->p == nullptr || key->q == nullptr || key->a == nullptr) {
    QERR(ERRLIB_R3410, kFunc, ERR_R_INTERNAL);
    return 0;
  }
  // A tag means x is still the container's protected block, not the key.
  bool usable = key->tag == nullptr && !BN_is_zero(key->x) && !BN_is_negative(key->x);
  if (usable) {
    // x < q without a comparison that stops at the first differing digit of x.
    const auto field = scalar::scalar_field_for(key->q);
    usable = field != nullptr ? scalar::scalar_in_range(*field, key->x) : BN_cmp(key->x, key->q) < 0;
  }
  if (!usable) {
    QERR(ERRLIB_R3410, kFunc, GOSTS_R_INVALID_PRIVATE_KEY);
    QERR(ERRLIB_R3410, kFunc, ERR_R_INTERNAL);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) {
    QERR(ERRLIB_R3410, kFunc, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  R3410Group group;
  if (!group.Prepare(key->p, key->q, key->a, ctx.get(), ERRLIB_R3410, kFunc)) return 0;
  BnPtr y(BN_new());
  if (!y || !group.PowBaseSecret(y.get(), key->x, ctx.get())) {
    QERR(ERRLIB_R3410, kFunc, ERRLIB_BN);
    return 0;
  }
  BN_free(key->y);
  key->y = y.release();
  return 1;
}

}  // namespace qcrypto
