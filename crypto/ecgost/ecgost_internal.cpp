#include "crypto/ecgost/ecgost_internal.h"

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"

namespace qcrypto::ecgost_internal {

int draw_scalar(BIGNUM* k, const BIGNUM* q) {
  int bits = BN_num_bits(q);
  if (bits < 2) return 0;
  // Cutting to bits(q) bits keeps each draw accepted with probability
  // q / 2^bits(q) > 1/2; reducing a wider draw (or subtracting q) instead
  // would favour the low residues.
  for (int attempt = 0; attempt < kMaxDraws; ++attempt) {
    if (!BN_rand_bits(k, bits)) return 0;
    if (!BN_is_zero(k) && BN_cmp(k, q) < 0) return 1;
  }
  BN_zero(k);
  return 0;
}

int digest_number(BIGNUM* e, const unsigned char* digest, int length, const BIGNUM* q, BN_CTX* ctx) {
  return digest != nullptr && length >= 1 && BN_digest_mod(e, digest, length, q, ctx);
}

int affine_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y, BN_CTX* ctx) {
  if (point == nullptr || point->X == nullptr || point->Y == nullptr) return 0;
  if (point->kind == ECURVE_AFFINE || (point->Z != nullptr && BN_is_one(point->Z))) {
    return BN_copy(x, point->X) != nullptr && BN_copy(y, point->Y) != nullptr;
  }
  ECPOINT* copy = ECPOINT_dup(point);
  int ok = copy != nullptr && ECPOINT_to_affine(copy, ctx) && BN_copy(x, copy->X) != nullptr &&
           BN_copy(y, copy->Y) != nullptr;
  ECPOINT_free(copy);
  return ok;
}

bool same_curve(const ECPOINT* point, const ECURVE* curve) {
  if (point == nullptr || point->curve == nullptr || curve == nullptr) return false;
  return point->curve == curve || ECURVE_cmp(point->curve, curve) == 0;
}

}  // namespace qcrypto::ecgost_internal
