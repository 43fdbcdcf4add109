#include "crypto/r3410/group.h"

#include <memory>
#include <mutex>

#include "crypto/err/err.h"

namespace qcrypto {
namespace {

struct Builtin {
  BnPtr p, q, a;
  BnMontPtr mont;
  std::unique_ptr<FixedBaseTable> table;
  std::array<OddPowers, kR3410Slices> a_slices;
  bool ready = false;
};

// Made once, shared read-only by every thread afterwards.
const Builtin& GetBuiltin() {
  static Builtin b;
  static std::once_flag once;
  std::call_once(once, [] {
    BnCtxPtr ctx(BN_CTX_new());
    b.p.reset(BN_bin2bn(R3410_default_p(), R3410_DEFAULT_P_BYTES, nullptr));
    b.q.reset(BN_bin2bn(R3410_default_q(), R3410_DEFAULT_Q_BYTES, nullptr));
    b.a.reset(BN_bin2bn(R3410_default_a(), R3410_DEFAULT_A_BYTES, nullptr));
    b.mont.reset(BN_MONT_CTX_new());
    if (!ctx || !b.p || !b.q || !b.a || !b.mont || !BN_MONT_CTX_set(b.mont.get(), b.p.get(), ctx.get())) return;
    b.table = FixedBaseTable::Build(b.a.get(), b.p.get(), b.mont.get(), BN_num_bits(b.q.get()), ctx.get());
    if (!b.table) return;
    const int chain = (BN_num_bits(b.q.get()) + kR3410Slices - 1) / kR3410Slices;
    BnPtr a_mont(BN_new());
    std::array<BnPtr, kR3410Slices> bases;
    if (!a_mont || !BN_to_montgomery(a_mont.get(), b.a.get(), b.mont.get(), ctx.get()) ||
        !MakeSliceBases(bases, a_mont.get(), chain, b.mont.get(), ctx.get())) {
      return;
    }
    for (int k = 0; k < kR3410Slices; ++k) {
      if (!MakeOddPowers(&b.a_slices[k], bases[k].get(), kR3410SliceWindow, b.mont.get(), ctx.get())) return;
    }
    b.ready = true;
  });
  return b;
}

}  // namespace

const BIGNUM* R3410BuiltinP() { return GetBuiltin().p.get(); }
const BIGNUM* R3410BuiltinQ() { return GetBuiltin().q.get(); }
const BIGNUM* R3410BuiltinA() { return GetBuiltin().a.get(); }

bool R3410Group::Prepare(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, BN_CTX* ctx, int lib, int func) {
  p_ = p;
  q_ = q;
  a_ = a;
  if (BN_is_negative(p) || !BN_is_odd(p) || BN_num_bits(p) < 3 || BN_num_bits(p) > kR3410MaxPBits) {
    QERR(lib, func, GOSTS_R_INVALID_LENGTH_OF_P);
    return false;
  }
  if (BN_is_negative(q) || BN_cmp(q, BN_value_one()) <= 0 || BN_cmp(q, p) >= 0) {
    QERR(lib, func, GOSTS_R_INVALID_LENGTH_OF_P_Q);
    return false;
  }
  if (BN_is_negative(a) || BN_cmp(a, BN_value_one()) <= 0 || BN_cmp(a, p) >= 0) {
    QERR(lib, func, GOSTS_R_INVALID_DOMAIN_PARAMETERS);
    return false;
  }
  const Builtin& b = GetBuiltin();
  if (b.ready && BN_cmp(p, b.p.get()) == 0 && BN_cmp(q, b.q.get()) == 0 && BN_cmp(a, b.a.get()) == 0) {
    mont_ = b.mont.get();
    table_ = b.table.get();
    a_slices_ = &b.a_slices;
    return true;
  }
  own_mont_.reset(BN_MONT_CTX_new());
  if (!own_mont_ || !BN_MONT_CTX_set(own_mont_.get(), p, ctx)) {
    QERR(lib, func, ERRLIB_BN);
    return false;
  }
  mont_ = own_mont_.get();
  return true;
}

bool R3410Group::PowBaseSecret(BIGNUM* out, const BIGNUM* e, BN_CTX* ctx) const {
  if (table_ != nullptr) {
    const int done = table_->PowSecret(out, e, ctx);
    if (done >= 0) return done == 1;
    // Wider than the table: the exponentiation below.
  }
  // The exponent must carry the constant-time flag for OpenSSL to take its
  // fixed-window, cache-neutral path; work on a flagged copy.
  BnCtxFrame frame(ctx);
  BIGNUM* ec = frame.get();
  if (ec == nullptr || !BN_copy(ec, e)) return false;
  BN_set_flags(ec, BN_FLG_CONSTTIME);
  const bool ok = BN_mod_exp_mont_consttime(out, a_, ec, p_, ctx, mont_) != 0;
  BN_clear(ec);
  return ok;
}

}  // namespace qcrypto
