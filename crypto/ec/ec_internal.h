// Pieces shared by the curve and point files (not part of the published
// interface).
#pragma once

#include <openssl/bn.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ecurve.h"
#include "crypto/err/err.h"

namespace qcrypto {

// Every failure of library 75 ends with the reason "ECGOST lib".
#define EC_RAISE(func) QERR(::qcrypto::ERRLIB_ECGOST, (func), ::qcrypto::ERRLIB_ECGOST)
#define EC_RAISE_ALLOC(func)                                               \
  do {                                                                     \
    QERR(::qcrypto::ERRLIB_ECGOST, (func), ::qcrypto::ERR_R_MEMORY_ALLOC); \
    EC_RAISE(func);                                                        \
  } while (0)

// Contexts of the curve code are made with BN_CTX_secure_new: their
// temporaries may hold products of private numbers (a shared x, a nonce's
// point), and a secure context clears them when it is freed.
class EcCtxOrOwn {
 public:
  explicit EcCtxOrOwn(BN_CTX* given) : own_(given ? nullptr : BN_CTX_secure_new()), ctx_(given ? given : own_.get()) {}
  BN_CTX* get() const { return ctx_; }

 private:
  BnCtxPtr own_;
  BN_CTX* ctx_;
};

inline BnCtxPtr EcNewCtx() { return BnCtxPtr(BN_CTX_secure_new()); }

// The built-in curve 191 in affine form, loaded once per process and never
// freed (its window table is shared with the generators that ask for it).
// Null when it cannot be loaded now; a later call tries again.
const ECURVE* ec_builtin_curve_191();

// A number of the curve, or zero when the field is empty; null only when that
// zero cannot be allocated (callers fail then).
const BIGNUM* ec_num_or_zero(const BIGNUM* n);

// Whether a number of the curve is zero (an empty field counts as zero).
inline bool ec_num_is_zero(const BIGNUM* n) { return n == nullptr || BN_is_zero(n); }

// Affine coordinates of a finite point into x and y (the point is not
// changed). 0 for the point at infinity or on failure.
int ec_point_affine_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y, BN_CTX* ctx);

// Stores (x, y) as the point's value in the form of its curve: Z = 1 for a
// projective curve, Z = 0 for an affine one. Copies, so x and y may be
// temporaries. 1 / 0 (point unchanged on failure).
int ec_point_set_affine_xy(ECPOINT* point, const BIGNUM* x, const BIGNUM* y);

// Copies X, Y, Z and the kind of `from` into `to` without touching the
// curve or the window table of `to`.
int ec_point_copy_coords(ECPOINT* to, const ECPOINT* from);

// Moves the coordinates of `from` into `to` (swap; `from` keeps the old
// ones for freeing) and gives `to` the kind of `from`.
void ec_point_swap_coords(ECPOINT* to, ECPOINT* from);

// The multiplications as the system first defined them, on BIGNUMs:
// signed binary from 3k, and fixed-base windowing over a window table.
// Neither is constant time: public numbers only (verification, orders,
// cofactors) and the reference the fast paths are tested against.
int ec_mul_binary(ECPOINT* point, const BIGNUM* k);
int ec_mul_window_table(ECPOINT* point, const BIGNUM* k, const ECPOINT_FBW* table);

#if defined(QCRYPTO_TEST_HOOKS)
// How many times the variable-time algorithms above have run in this process.
unsigned long ec_variable_time_runs();
#endif

// 1 when the table serves this point: its entry 0 is the point itself.
int ec_table_serves(const ECPOINT_FBW* table, const ECPOINT* point, BN_CTX* ctx);

}  // namespace qcrypto
