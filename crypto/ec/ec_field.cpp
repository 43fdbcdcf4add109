// Field slots of the method tables (BIGNUM arithmetic modulo p) and the two
// tables themselves.
#include "crypto/bn/bn_ext.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {

int ECURVE_field_mod(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx) {
  return BN_nnmod(r, a, p, ctx);
}

int ECURVE_field_inv(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx) {
  // The binary inverse wants a reduced, non-zero input.
  BN_CTX_start(ctx);
  BIGNUM* t = BN_CTX_get(ctx);
  const int ok = t != nullptr && BN_nnmod(t, a, p, ctx) && !BN_is_zero(t) &&
                 BN_mod_binary_inverse(r, t, p, ctx) != nullptr && BN_nnmod(r, r, p, ctx);
  BN_CTX_end(ctx);
  return ok;
}

int ECURVE_field_sqr(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx) {
  return BN_mod_sqr(r, a, p, ctx);
}

int ECURVE_field_mul(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx) {
  if (a == b) return BN_mod_sqr(r, a, p, ctx);
  return BN_mod_mul(r, a, b, p, ctx);
}

int ECURVE_field_sub(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx) {
  return BN_mod_sub(r, a, b, p, ctx);
}

int ECURVE_field_add(const ECURVE*, BIGNUM* r, const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx) {
  return BN_mod_add(r, a, b, p, ctx);
}

int ECPOINT_mul_default(ECPOINT* point, const BIGNUM* k) { return ECPOINT_mul(point, k); }

int ECPOINT_mul_base_default(ECPOINT* point, const BIGNUM* k) { return ECPOINT_mul_fbw(point, k); }

namespace {

const ECURVE_METHOD kDefaultMethod = {
    "default",           ECURVE_field_mod,         ECURVE_field_inv, ECURVE_field_sqr, ECURVE_field_mul,
    ECURVE_field_sub,    ECURVE_field_add,         ECPOINT_add,      ECPOINT_add,      ECPOINT_double,
    ECPOINT_mul_default, ECPOINT_mul_base_default, nullptr,
};

const ECURVE_METHOD kFbwMethod = {
    "fixed base window", ECURVE_field_mod, ECURVE_field_inv, ECURVE_field_sqr, ECURVE_field_mul,
    ECURVE_field_sub,    ECURVE_field_add, ECPOINT_add,      ECPOINT_add,      ECPOINT_double,
    ECPOINT_mul,         ECPOINT_mul_fbw,  nullptr,
};

}  // namespace

const ECURVE_METHOD* ECURVE_METHOD_default() { return &kDefaultMethod; }
const ECURVE_METHOD* ECURVE_METHOD_fbw() { return &kFbwMethod; }

}  // namespace qcrypto
