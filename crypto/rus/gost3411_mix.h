// The output transformation of the hash step, H' = psi^61(H ^ psi(M ^ psi^12(S))),
// evaluated without iterating psi.
//
// psi is linear over GF(2) on the sixteen 16-bit limbs, so H' = psi^61(H) ^
// psi^62(M) ^ psi^74(S): every output limb is the XOR of a fixed set of input
// limbs. The sets are derived here at compile time by running psi on "which
// inputs does this limb carry" masks, and then regrouped for 64-bit words:
// output word w takes, from input word v, the limbs that move by d positions
// (d = -3..3) as one shifted and masked copy of that word. The compiler sees
// every mask as a constant, drops the empty terms and shares the shifted
// copies between output words.
//
// Because the H and M terms do not depend on the encryptions, the step
// function evaluates them first and lets them overlap the cipher rounds.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

namespace qcrypto::gosth_mix {

// Bit i of a limb mask: input limb i, with H limbs at 0..15, M at 16..31, S at 32..47.
using LimbMasks = std::array<uint64_t, 16>;

// psi(Y) = (y1 ^ y2 ^ y3 ^ y4 ^ y13 ^ y16) y16 .. y2, limbs numbered from 1 = least significant.
constexpr LimbMasks psi(const LimbMasks& y) {
  LimbMasks r{};
  for (int i = 0; i < 15; ++i) r[i] = y[i + 1];
  r[15] = y[0] ^ y[1] ^ y[2] ^ y[3] ^ y[12] ^ y[15];
  return r;
}

constexpr LimbMasks psi_power(LimbMasks y, int n) {
  for (int i = 0; i < n; ++i) y = psi(y);
  return y;
}

constexpr LimbMasks input_limbs(int first_bit) {
  LimbMasks r{};
  for (int i = 0; i < 16; ++i) r[i] = uint64_t{1} << (first_bit + i);
  return r;
}

// Which input limbs feed each output limb of the whole transformation.
constexpr LimbMasks output_limbs() {
  const LimbMasks s = psi_power(input_limbs(32), 12);
  LimbMasks x{};
  const LimbMasks m = input_limbs(16);
  for (int i = 0; i < 16; ++i) x[i] = m[i] ^ s[i];
  x = psi(x);
  const LimbMasks h = input_limbs(0);
  for (int i = 0; i < 16; ++i) x[i] ^= h[i];
  return psi_power(x, 61);
}

inline constexpr LimbMasks kOutputLimbs = output_limbs();

// The limbs of output word w that take input limb (p - d) of input word v
// (v = 0..3 for H, 4..7 for M, 8..11 for S), as a 64-bit mask of 16-bit lanes.
constexpr uint64_t lane_mask(int w, int v, int d) {
  uint64_t m = 0;
  for (int p = 0; p < 4; ++p) {
    const int q = p - d;
    if (q < 0 || q > 3) continue;
    if ((kOutputLimbs[4 * w + p] >> (4 * v + q)) & 1) m |= uint64_t{0xffff} << (16 * p);
  }
  return m;
}

// The lanes a shift by d limbs can fill at all (the rest are zero after the shift).
constexpr uint64_t shift_reach(int d) { return d >= 0 ? ~uint64_t{0} << (16 * d) : ~uint64_t{0} >> (-16 * d); }

template <int W, int V, int D>
[[gnu::always_inline]] inline uint64_t term(const uint64_t* in) {
  constexpr uint64_t m = lane_mask(W, V, D);
  if constexpr (m == 0) {
    return 0;
  } else {
    uint64_t x = in[V];
    if constexpr (D > 0) x <<= 16 * D;
    if constexpr (D < 0) x >>= -16 * D;
    if constexpr (m != shift_reach(D)) x &= m;
    return x;
  }
}

template <int W, int V, int... I>
[[gnu::always_inline]] inline uint64_t word_terms(const uint64_t* in, std::integer_sequence<int, I...>) {
  return (term<W, V, I - 3>(in) ^ ...);
}

template <int W, int First, int... I>
[[gnu::always_inline]] inline uint64_t word_from(const uint64_t* in, std::integer_sequence<int, I...>) {
  return (word_terms<W, First + I>(in, std::make_integer_sequence<int, 7>{}) ^ ...);
}

// Contribution of input words First .. First + Count - 1 to output word W.
template <int W, int First, int Count>
[[gnu::always_inline]] inline uint64_t word(const uint64_t* in) {
  return word_from<W, First>(in, std::make_integer_sequence<int, Count>{});
}

// in: H (words 0..3), M (4..7), S (8..11) as 64-bit little-endian words.
// Part of the output that depends on H and M only.
[[gnu::always_inline]] inline void mix_hm(const uint64_t* in, uint64_t* out) {
  out[0] = word<0, 0, 8>(in);
  out[1] = word<1, 0, 8>(in);
  out[2] = word<2, 0, 8>(in);
  out[3] = word<3, 0, 8>(in);
}

// Adds the S terms to what mix_hm gave.
[[gnu::always_inline]] inline void mix_s(const uint64_t* in, uint64_t* out) {
  out[0] ^= word<0, 8, 4>(in);
  out[1] ^= word<1, 8, 4>(in);
  out[2] ^= word<2, 8, 4>(in);
  out[3] ^= word<3, 8, 4>(in);
}

}  // namespace qcrypto::gosth_mix
