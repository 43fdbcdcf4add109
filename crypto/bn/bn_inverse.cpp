#include <bit>
#include <cstdint>
#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

static_assert(std::endian::native == std::endian::little, "words are loaded as little-endian byte images");

using Word = std::uint64_t;

// Fixed-width numbers of |w| words, least significant first. One word more
// than n needs, so x + n never overflows.
class Words {
 public:
  explicit Words(int w) : w_(w) {}
  bool IsZero(const Word* x) const {
    Word acc = 0;
    for (int i = 0; i < w_; ++i) acc |= x[i];
    return acc == 0;
  }
  bool IsOne(const Word* x) const {
    Word acc = x[0] ^ 1;
    for (int i = 1; i < w_; ++i) acc |= x[i];
    return acc == 0;
  }
  static bool IsOdd(const Word* x) { return (x[0] & 1) != 0; }
  // x >>= s, 0 < s < 64.
  void Shr(Word* x, int s) const {
    for (int i = 0; i + 1 < w_; ++i) x[i] = (x[i] >> s) | (x[i + 1] << (64 - s));
    x[w_ - 1] >>= s;
  }
  void Add(Word* x, const Word* y) const {
    unsigned __int128 carry = 0;
    for (int i = 0; i < w_; ++i) {
      carry += static_cast<unsigned __int128>(x[i]) + y[i];
      x[i] = static_cast<Word>(carry);
      carry >>= 64;
    }
  }
  void Sub(Word* x, const Word* y) const {
    Word borrow = 0;
    for (int i = 0; i < w_; ++i) {
      const Word yi = y[i] + borrow;
      const Word carry_in = (yi < borrow) ? 1 : 0;  // y[i] + borrow wrapped
      borrow = (x[i] < yi ? 1 : 0) | carry_in;
      x[i] -= yi;
    }
  }
  bool Less(const Word* x, const Word* y) const {
    for (int i = w_ - 1; i >= 0; --i) {
      if (x[i] != y[i]) return x[i] < y[i];
    }
    return false;
  }
  // x = x / 2 mod n for x in [0, n), n odd: adding n to an odd x makes the
  // halving exact and keeps the result below n.
  void HalveMod(Word* x, const Word* n) const {
    if (IsOdd(x)) Add(x, n);
    Shr(x, 1);
  }
  // x = x - y mod n for x, y in [0, n).
  void SubMod(Word* x, const Word* y, const Word* n) const {
    if (Less(x, y)) Add(x, n);
    Sub(x, y);
  }

 private:
  int w_;
};

// Binary extended Euclid on u = a mod n, v = n, keeping x1*a = u and
// x2*a = v (mod n). Ends with u = 0 and v = gcd(a, n); x2 is then the inverse
// when the gcd is 1.
bool BinaryInverse(BIGNUM* out, const BIGNUM* a, const BIGNUM* n, BN_CTX* ctx) {
  const int w = (BN_num_bytes(n) + 7) / 8 + 1;
  const int bytes = w * 8;
  std::vector<Word> store(static_cast<size_t>(5 * w), 0);
  Word* u = store.data();
  Word* v = u + w;
  Word* x1 = v + w;
  Word* x2 = x1 + w;
  Word* nn = x2 + w;
  auto as_bytes = [](Word* x) { return reinterpret_cast<unsigned char*>(x); };
  {
    BnCtxFrame frame(ctx);
    BIGNUM* ar = frame.get();
    if (ar == nullptr || !BN_nnmod(ar, a, n, ctx) || BN_bn2lebinpad(ar, as_bytes(u), bytes) != bytes ||
        BN_bn2lebinpad(n, as_bytes(v), bytes) != bytes) {
      return false;
    }
  }
  std::copy(v, v + w, nn);
  x1[0] = 1;
  const Words ops(w);
  while (!ops.IsZero(u)) {
    while (!Words::IsOdd(u)) {
      ops.Shr(u, 1);
      ops.HalveMod(x1, nn);
    }
    while (!Words::IsOdd(v)) {
      ops.Shr(v, 1);
      ops.HalveMod(x2, nn);
    }
    if (ops.Less(u, v)) {
      ops.Sub(v, u);
      ops.SubMod(x2, x1, nn);
    } else {
      ops.Sub(u, v);
      ops.SubMod(x1, x2, nn);
    }
  }
  // A common factor leaves v above 1: nothing inverts a modulo n then.
  if (!ops.IsOne(v)) return false;
  return BN_lebin2bn(as_bytes(x2), bytes, out) != nullptr;
}

}  // namespace

BIGNUM* BN_mod_binary_inverse(BIGNUM* result, const BIGNUM* a, const BIGNUM* n, BN_CTX* ctx) {
  BnCtxOrOwn context(ctx);
  BnPtr made(result == nullptr ? BN_new() : nullptr);
  BIGNUM* out = result != nullptr ? result : made.get();
  bool ok = out != nullptr && context.get() != nullptr && a != nullptr && n != nullptr && BN_is_odd(n) &&
            !BN_is_negative(n) && !BN_is_one(n);
  if (ok) {
    if (BN_get_flags(a, BN_FLG_CONSTTIME) || BN_get_flags(n, BN_FLG_CONSTTIME)) {
      ok = BN_mod_inverse(out, a, n, context.get()) != nullptr;
    } else {
      ok = BinaryInverse(out, a, n, context.get());
    }
  }
  if (!ok) {
    QERR(ERRLIB_BN, BNX_F_BN_MOD_BINARY_INVERSE, BNX_R_NO_INVERSE);
    return nullptr;
  }
  // A number made here is the caller's from now on (it is `out`).
  return made ? made.release() : out;
}

}  // namespace qcrypto
