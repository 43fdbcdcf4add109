// The GOST 28147-89 key schedule over a vector round, shared by the
// constant-time paths: 32 rounds as four runs of eight key words (three
// forward and one backward to encrypt, the reverse to decrypt, two forward
// for the MAC). `C` supplies the round (`c.round(a, b, k)`: b ^ F(a + k) in
// every lane) and `V` is its vector type. Everything here is inlined into
// the round of each instruction set, so each file that includes it is built
// with its own flags and no copy is shared between them.
#pragma once

namespace qcrypto::gost_detail {
namespace {

enum class Op { kEncrypt, kDecrypt, kMac16 };

// Eight rounds with key words 0..7 (forward) or 7..0; the halves trade roles
// instead of swapping.
template <bool kForward, class C, class V>
[[gnu::always_inline]] inline void eight(const C& c, const V* kv, V& a, V& b) {
#pragma GCC unroll 4
  for (int i = 0; i < 8; i += 2) {
    const int w0 = kForward ? i : 7 - i;
    const int w1 = kForward ? i + 1 : 6 - i;
    b = c.round(a, b, kv[w0]);
    a = c.round(b, a, kv[w1]);
  }
}

template <Op kOp, class C, class V>
[[gnu::always_inline]] inline void vcrypt(const C& c, const V* kv, V& n1, V& n2) {
  V a = n1, b = n2;
  if constexpr (kOp == Op::kEncrypt) {
    eight<true>(c, kv, a, b);
    eight<true>(c, kv, a, b);
    eight<true>(c, kv, a, b);
    eight<false>(c, kv, a, b);
  } else if constexpr (kOp == Op::kDecrypt) {
    eight<true>(c, kv, a, b);
    eight<false>(c, kv, a, b);
    eight<false>(c, kv, a, b);
    eight<false>(c, kv, a, b);
  } else {
    eight<true>(c, kv, a, b);
    eight<true>(c, kv, a, b);
  }
  if constexpr (kOp == Op::kMac16) {
    // Sixteen swapping rounds leave the halves in place.
    n1 = a;
    n2 = b;
  } else {
    // The last round does not swap: after 31 swaps the halves are exchanged.
    n1 = b;
    n2 = a;
  }
}

}  // namespace
}  // namespace qcrypto::gost_detail
