#include "crypto/r3410/multi_exp.h"

#include <algorithm>

namespace qcrypto {

bool MakeOddPowers(OddPowers* out, const BIGNUM* g_mont, int window, BN_MONT_CTX* mont, BN_CTX* ctx) {
  const int count = 1 << (window - 1);
  out->window = window;
  out->odd.clear();
  BnPtr sq(BN_new());
  BnPtr first(BN_dup(g_mont));
  if (!sq || !first || !BN_mod_mul_montgomery(sq.get(), g_mont, g_mont, mont, ctx)) return false;
  out->odd.push_back(std::move(first));
  for (int i = 1; i < count; ++i) {
    BnPtr next(BN_new());
    if (!next || !BN_mod_mul_montgomery(next.get(), out->odd.back().get(), sq.get(), mont, ctx)) return false;
    out->odd.push_back(std::move(next));
  }
  return true;
}

bool MakeSliceBases(std::span<BnPtr> bases, const BIGNUM* g_mont, int chain, BN_MONT_CTX* mont, BN_CTX* ctx) {
  for (size_t k = 0; k < bases.size(); ++k) {
    bases[k].reset(k == 0 ? BN_dup(g_mont) : BN_dup(bases[k - 1].get()));
    if (!bases[k]) return false;
    for (int i = 0; k > 0 && i < chain; ++i) {
      if (!BN_mod_mul_montgomery(bases[k].get(), bases[k].get(), bases[k].get(), mont, ctx)) return false;
    }
  }
  return true;
}

bool MultiExpMont(BIGNUM* out, std::span<const ExpTerm> terms, int chain, BN_MONT_CTX* mont, BN_CTX* ctx) {
  // Sliding-window digits of every slice: digit[t][pos] is the odd window
  // value whose lowest bit sits at pos, or 0.
  std::vector<std::vector<unsigned>> digits(terms.size(), std::vector<unsigned>(static_cast<size_t>(chain), 0));
  for (size_t t = 0; t < terms.size(); ++t) {
    const ExpTerm& term = terms[t];
    auto bit = [&](int pos) { return BN_is_bit_set(term.e, term.offset + pos) != 0; };
    for (int j = chain - 1; j >= 0;) {
      if (!bit(j)) {
        --j;
        continue;
      }
      int low = std::max(j - term.powers->window + 1, 0);
      while (!bit(low)) ++low;
      unsigned value = 0;
      for (int b = j; b >= low; --b) value = value << 1 | (bit(b) ? 1u : 0u);
      digits[t][static_cast<size_t>(low)] = value;
      j = low - 1;
    }
  }
  BnCtxFrame frame(ctx);
  BIGNUM* acc = frame.get();
  if (acc == nullptr) return false;
  bool started = false;
  for (int pos = chain - 1; pos >= 0; --pos) {
    if (started && !BN_mod_mul_montgomery(acc, acc, acc, mont, ctx)) return false;
    for (size_t t = 0; t < terms.size(); ++t) {
      const unsigned v = digits[t][static_cast<size_t>(pos)];
      if (v == 0) continue;
      const BIGNUM* factor = terms[t].powers->odd[v >> 1].get();
      if (!started) {
        if (!BN_copy(acc, factor)) return false;
        started = true;
      } else if (!BN_mod_mul_montgomery(acc, acc, factor, mont, ctx)) {
        return false;
      }
    }
  }
  if (!started) return BN_to_montgomery(out, BN_value_one(), mont, ctx) != 0;
  return BN_copy(out, acc) != nullptr;
}

}  // namespace qcrypto
