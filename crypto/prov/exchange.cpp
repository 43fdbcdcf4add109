// Key agreement of the two GOST key types. ECR3410: the x coordinate of the
// product (crypto/ecgost ECDH, in the mode of the key's curve), written as
// ECDH_size bytes, most significant first. R3410: Diffie-Hellman on the key's
// p, q and generator a: y_peer^x mod p, written as the numbers' DH value (most
// significant first, no leading zero bytes). The peer's public key is checked
// before use.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <new>

#include "crypto/ecgost/ecdh.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"

namespace qcrypto::prov {
namespace {

struct KexCtx {
  int type;
  R3410* r3410;  // own references
  ECGOST* ecgost;
  R3410* peer_r3410;
  ECGOST* peer_ecgost;
};

void* kex_newctx(int type) {
  auto* c = new (std::nothrow) KexCtx{};
  if (c != nullptr) c->type = type;
  return c;
}
void* r3410_kex_newctx(void*) { return kex_newctx(SYSOBJ_R3410); }
void* ecr3410_kex_newctx(void*) { return kex_newctx(SYSOBJ_ECR3410); }

void kex_freectx(void* vctx) {
  auto* c = static_cast<KexCtx*>(vctx);
  if (c == nullptr) return;
  R3410_free(c->r3410);
  R3410_free(c->peer_r3410);
  ECGOST_free(c->ecgost);
  ECGOST_free(c->peer_ecgost);
  delete c;
}

// Takes a reference to the record of a key of the context's type.
bool hold(const KexCtx* c, const GostKey* k, R3410** r, ECGOST** e) {
  if (k == nullptr || k->type != c->type) return false;
  if (c->type == SYSOBJ_R3410) {
    if (k->r3410 == nullptr || R3410_up_ref(k->r3410) != 1) return false;
    R3410_free(*r);
    *r = k->r3410;
  } else {
    if (k->ecgost == nullptr) return false;
    ECGOST_up_ref(k->ecgost);
    ECGOST_free(*e);
    *e = k->ecgost;
  }
  return true;
}

int kex_init(void* vctx, void* vkey, const OSSL_PARAM*) {
  auto* c = static_cast<KexCtx*>(vctx);
  return hold(c, static_cast<const GostKey*>(vkey), &c->r3410, &c->ecgost) ? 1 : 0;
}

int kex_set_peer(void* vctx, void* vkey) {
  auto* c = static_cast<KexCtx*>(vctx);
  return hold(c, static_cast<const GostKey*>(vkey), &c->peer_r3410, &c->peer_ecgost) ? 1 : 0;
}

void* kex_dupctx(void* vsrc) {
  const auto* src = static_cast<const KexCtx*>(vsrc);
  auto* dst = static_cast<KexCtx*>(kex_newctx(src->type));
  if (dst == nullptr) return nullptr;
  if (src->r3410 != nullptr && R3410_up_ref(src->r3410) == 1) dst->r3410 = src->r3410;
  if (src->peer_r3410 != nullptr && R3410_up_ref(src->peer_r3410) == 1) dst->peer_r3410 = src->peer_r3410;
  if (src->ecgost != nullptr) ECGOST_up_ref(dst->ecgost = src->ecgost);
  if (src->peer_ecgost != nullptr) ECGOST_up_ref(dst->peer_ecgost = src->peer_ecgost);
  return dst;
}

int derive_ec(KexCtx* c, unsigned char* secret, size_t* secretlen, size_t outlen) {
  if (c->ecgost == nullptr || c->peer_ecgost == nullptr || c->peer_ecgost->Q == nullptr) return 0;
  ECDH* ecdh = ECGOST_to_ECDH(c->ecgost);
  if (ecdh == nullptr) return 0;
  const int size = ECDH_size(ecdh);
  int ok = size > 0 ? 1 : 0;
  if (ok && secret == nullptr) {
    *secretlen = static_cast<size_t>(size);
  } else if (ok) {
    // The peer must share the curve; ECDH_compute_key checks the point itself.
    ok = outlen >= static_cast<size_t>(size) && ECURVE_cmp(c->ecgost->curve, c->peer_ecgost->curve) == 0 &&
         ECDH_compute_key(c->peer_ecgost->Q, ecdh) == 1 && ecdh->shared != nullptr &&
         BN_bn2binpad(ecdh->shared, secret, size) == size;
    if (ok) *secretlen = static_cast<size_t>(size);
  }
  ECDH_free(ecdh);
  return ok;
}

int derive_dh(KexCtx* c, unsigned char* secret, size_t* secretlen, size_t outlen) {
  const R3410* k = c->r3410;
  const R3410* peer = c->peer_r3410;
  if (k == nullptr || peer == nullptr || !k->p || !k->q || !k->x || !peer->y || !peer->p) return 0;
  const size_t max = static_cast<size_t>(BN_num_bytes(k->p));
  if (secret == nullptr) {
    *secretlen = max;
    return 1;
  }
  if (outlen < max || BN_cmp(k->p, peer->p) != 0) return 0;
  BN_CTX* ctx = BN_CTX_secure_new();
  BIGNUM* check = BN_new();
  BIGNUM* shared = BN_secure_new();
  BIGNUM* x = BN_dup(k->x);
  int ok = ctx != nullptr && check != nullptr && shared != nullptr && x != nullptr;
  // 1 < y < p and y in the subgroup of order q.
  ok = ok && BN_cmp(peer->y, BN_value_one()) > 0 && BN_cmp(peer->y, k->p) < 0 &&
       BN_mod_exp(check, peer->y, k->q, k->p, ctx) == 1 && BN_is_one(check);
  if (ok) {
    BN_set_flags(x, BN_FLG_CONSTTIME);
    ok = BN_mod_exp_mont_consttime(shared, peer->y, x, k->p, ctx, nullptr) == 1 && !BN_is_one(shared);
  }
  int n = 0;
  if (ok) {
    n = BN_bn2bin(shared, secret);
    ok = n > 0;
  }
  if (ok) *secretlen = static_cast<size_t>(n);
  BN_clear_free(x);
  BN_clear_free(shared);
  BN_free(check);
  BN_CTX_free(ctx);
  return ok;
}

int kex_derive(void* vctx, unsigned char* secret, size_t* secretlen, size_t outlen) {
  auto* c = static_cast<KexCtx*>(vctx);
  return c->type == SYSOBJ_R3410 ? derive_dh(c, secret, secretlen, outlen) : derive_ec(c, secret, secretlen, outlen);
}

#define QCRYPTO_KEYEXCH_DISPATCH(name, newctx)                                  \
  const OSSL_DISPATCH name[] = {                                                \
      {OSSL_FUNC_KEYEXCH_NEWCTX, reinterpret_cast<void (*)()>(newctx)},         \
      {OSSL_FUNC_KEYEXCH_INIT, reinterpret_cast<void (*)()>(kex_init)},         \
      {OSSL_FUNC_KEYEXCH_SET_PEER, reinterpret_cast<void (*)()>(kex_set_peer)}, \
      {OSSL_FUNC_KEYEXCH_DERIVE, reinterpret_cast<void (*)()>(kex_derive)},     \
      {OSSL_FUNC_KEYEXCH_FREECTX, reinterpret_cast<void (*)()>(kex_freectx)},   \
      {OSSL_FUNC_KEYEXCH_DUPCTX, reinterpret_cast<void (*)()>(kex_dupctx)},     \
      {0, nullptr},                                                             \
  };
QCRYPTO_KEYEXCH_DISPATCH(kR3410KexFunctions, r3410_kex_newctx)
QCRYPTO_KEYEXCH_DISPATCH(kEcr3410KexFunctions, ecr3410_kex_newctx)
#undef QCRYPTO_KEYEXCH_DISPATCH

}  // namespace

const OSSL_ALGORITHM kKeyExchanges[] = {
    {kNamesR3410, nullptr, kR3410KexFunctions, "Diffie-Hellman on GOST R 34.10-94 keys"},
    {kNamesEcr3410, nullptr, kEcr3410KexFunctions, "Elliptic-curve Diffie-Hellman on GOST R 34.10-2001 keys"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
