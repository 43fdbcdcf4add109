// Constant-time GOST 28147-89 rounds with byte shuffles, compiled twice: for
// AVX2 processors (gost28147_shuffle_avx2.cpp) and for AVX-512 ones
// (gost28147_shuffle_avx512.cpp, where the compiler has 32 vector registers
// and three-input logic for the blends and the XORs). Each file includes this
// once and names the result.
//
// Each S-box maps a nibble to a nibble, so each is one 16-byte shuffle table:
// vpshufb reads all sixteen entries whatever the index, and no memory address
// depends on the key or the data. Each 32-bit lane of a vector is the N1 or
// N2 half of one block (one block in lane 0 for the serial modes, four for a
// hash step, eight for the multi-block tails).
//
// A round looks every byte of N + k up in all four odd-box tables by its low
// nibble and in all four even-box tables by its high nibble (those entries
// sit in the high nibble), so byte j of lookup pair j holds the substituted
// byte j; three byte blends keep byte j of pair j, and the word is rotated by
// 11 and XORed into the other half of the block. Every step is a register
// operation of one or two cycles and the state never leaves the vector
// registers, so the chain the serial modes wait on has no memory access and
// no permute across lanes in it; where the AVX-512 permute round also runs,
// ct_round keeps the one that measures faster.
#pragma once

#include <immintrin.h>

#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_schedule.h"

namespace qcrypto::gost_detail {
namespace {
namespace shuffle {

// The same operations on 128- and 256-bit vectors (the tables repeated in
// both halves of the latter).
[[gnu::always_inline]] inline __m128i vadd(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
[[gnu::always_inline]] inline __m256i vadd(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
[[gnu::always_inline]] inline __m128i vand(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
[[gnu::always_inline]] inline __m256i vand(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
[[gnu::always_inline]] inline __m128i vxor(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }
[[gnu::always_inline]] inline __m256i vxor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
[[gnu::always_inline]] inline __m128i vshr4_16(__m128i a) { return _mm_srli_epi16(a, 4); }
[[gnu::always_inline]] inline __m256i vshr4_16(__m256i a) { return _mm256_srli_epi16(a, 4); }
[[gnu::always_inline]] inline __m128i vlookup(__m128i table, __m128i index) { return _mm_shuffle_epi8(table, index); }
[[gnu::always_inline]] inline __m256i vlookup(__m256i table, __m256i index) {
  return _mm256_shuffle_epi8(table, index);
}
// Bytes of b where the mask byte's top bit is set, else of a.
[[gnu::always_inline]] inline __m128i vblend(__m128i a, __m128i b, __m128i m) { return _mm_blendv_epi8(a, b, m); }
[[gnu::always_inline]] inline __m256i vblend(__m256i a, __m256i b, __m256i m) { return _mm256_blendv_epi8(a, b, m); }
// acc ^ (v rotated left by 11), with two shifts (a shift is a cycle shorter
// than a rotate) and, on AVX-512, one three-way XOR.
#ifdef __AVX512VL__
[[gnu::always_inline]] inline __m128i vxor_rol11(__m128i acc, __m128i v) {
  return _mm_ternarylogic_epi32(acc, _mm_slli_epi32(v, 11), _mm_srli_epi32(v, 21), 0x96);
}
[[gnu::always_inline]] inline __m256i vxor_rol11(__m256i acc, __m256i v) {
  return _mm256_ternarylogic_epi32(acc, _mm256_slli_epi32(v, 11), _mm256_srli_epi32(v, 21), 0x96);
}
#else
// The empty asm keeps the compiler from reassociating the XORs of a round so
// that the value ready first would be folded in last.
[[gnu::always_inline]] inline __m128i vxor_rol11(__m128i acc, __m128i v) {
  __m128i r = _mm_xor_si128(_mm_xor_si128(acc, _mm_slli_epi32(v, 11)), _mm_srli_epi32(v, 21));
  asm("" : "+x"(r));
  return r;
}
[[gnu::always_inline]] inline __m256i vxor_rol11(__m256i acc, __m256i v) {
  __m256i r = _mm256_xor_si256(_mm256_xor_si256(acc, _mm256_slli_epi32(v, 11)), _mm256_srli_epi32(v, 21));
  asm("" : "+x"(r));
  return r;
}
#endif

// The first argument only picks the width.
[[gnu::always_inline]] inline __m128i splat8(__m128i, int v) { return _mm_set1_epi8(static_cast<char>(v)); }
[[gnu::always_inline]] inline __m256i splat8(__m256i, int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
[[gnu::always_inline]] inline __m128i splat32(__m128i, uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
[[gnu::always_inline]] inline __m256i splat32(__m256i, uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
[[gnu::always_inline]] inline __m128i table16(__m128i, const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
[[gnu::always_inline]] inline __m256i table16(__m256i, const unsigned char* p) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// The vector type of a width (a template parameter of vector type would lose
// its alignment attribute).
template <int kBits>
struct VecOf;
template <>
struct VecOf<128> {
  using T = __m128i;
};
template <>
struct VecOf<256> {
  using T = __m256i;
};

template <int kBits>
struct Consts {
  using V = typename VecOf<kBits>::T;
  V odd[4];   // S(2j+1)(v)
  V even[4];  // S(2j+2)(v) << 4
  V low_nibble = splat8(V{}, 0x0F);
  V bytes13 = splat32(V{}, 0xFF00FF00u);  // bytes 1 and 3 of each lane
  V bytes23 = splat32(V{}, 0xFFFF0000u);  // bytes 2 and 3 of each lane
  explicit Consts(const unsigned char* nibbles) {
    for (int j = 0; j < 4; ++j) {
      odd[j] = table16(V{}, nibbles + 16 * j);
      even[j] = table16(V{}, nibbles + 64 + 16 * j);
    }
  }

  // b ^ F(a + k) in every lane.
  [[gnu::always_inline]] V round(V a, V b, V k) const {
    const V x = vadd(a, k);
    const V lo = vand(x, low_nibble);
    const V hi = vand(vshr4_16(x), low_nibble);
    // Byte j of lookup pair j is the substituted byte j: pick it out of each.
    // (Named values, not an array: an instrumented build would give every
    // inlined round a stack slot of its own and deepen the frame past the
    // area the callers scrub.)
    const V p0 = vxor(vlookup(odd[0], lo), vlookup(even[0], hi));
    const V p1 = vxor(vlookup(odd[1], lo), vlookup(even[1], hi));
    const V p2 = vxor(vlookup(odd[2], lo), vlookup(even[2], hi));
    const V p3 = vxor(vlookup(odd[3], lo), vlookup(even[3], hi));
    const V s = vblend(vblend(p0, p1, bytes13), vblend(p2, p3, bytes13), bytes23);
    return vxor_rol11(b, s);
  }
};

[[gnu::always_inline]] inline void broadcast_key(const uint32_t* key, __m128i* kv) {
  for (int w = 0; w < 8; ++w) kv[w] = splat32(__m128i{}, key[w]);
}

[[gnu::always_inline]] inline void broadcast_key(const uint32_t* key, __m256i* kv) {
  for (int w = 0; w < 8; ++w) kv[w] = splat32(__m256i{}, key[w]);
}

// The serial paths keep a block in lane 0, loaded and stored straight from
// memory so the loop never leaves the vector registers.
[[gnu::always_inline]] inline __m128i lane0(const unsigned char* p) { return _mm_loadu_si32(p); }
[[gnu::always_inline]] inline __m128i lane0(uint32_t v) { return _mm_cvtsi32_si128(static_cast<int>(v)); }
[[gnu::always_inline]] inline uint32_t get0(__m128i v) { return static_cast<uint32_t>(_mm_cvtsi128_si32(v)); }
[[gnu::always_inline]] inline void put0(unsigned char* p, __m128i v) { _mm_storeu_si32(p, v); }

template <Op kOp>
void one_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  const Consts<128> c(nibbles);
  __m128i kv[8];
  broadcast_key(key, kv);
  __m128i a = lane0(n1), b = lane0(n2);
  vcrypt<kOp>(c, kv, a, b);
  n1 = get0(a);
  n2 = get0(b);
}

void encrypt4(const unsigned char* nibbles, const uint32_t* keys, const uint64_t* h, uint64_t* s) {
  const Consts<128> c(nibbles);
  // kv[w]: key word w of block e in lane e (a 4x4 transpose of each half).
  __m128i kv[8];
  for (int half = 0; half < 2; ++half) {
    __m128i r[4];
    for (int e = 0; e < 4; ++e) r[e] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 8 * e + 4 * half));
    const __m128i t0 = _mm_unpacklo_epi32(r[0], r[1]), t1 = _mm_unpacklo_epi32(r[2], r[3]);
    const __m128i t2 = _mm_unpackhi_epi32(r[0], r[1]), t3 = _mm_unpackhi_epi32(r[2], r[3]);
    kv[4 * half + 0] = _mm_unpacklo_epi64(t0, t1);
    kv[4 * half + 1] = _mm_unpackhi_epi64(t0, t1);
    kv[4 * half + 2] = _mm_unpacklo_epi64(t2, t3);
    kv[4 * half + 3] = _mm_unpackhi_epi64(t2, t3);
  }
  // h[e] is N1 (low word) and N2 (high word) of block e.
  const __m128i h01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
  const __m128i h23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 2));
  const auto evens = _MM_SHUFFLE(2, 0, 2, 0), odds = _MM_SHUFFLE(3, 1, 3, 1);
  __m128i n1 = _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(h01), _mm_castsi128_ps(h23), evens));
  __m128i n2 = _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(h01), _mm_castsi128_ps(h23), odds));
  vcrypt<Op::kEncrypt>(c, kv, n1, n2);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(s), _mm_unpacklo_epi32(n1, n2));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(s + 2), _mm_unpackhi_epi32(n1, n2));
}

void encrypt_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kEncrypt>(nibbles, key, n1, n2);
}

void decrypt_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kDecrypt>(nibbles, key, n1, n2);
}

void mac_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kMac16>(nibbles, key, n1, n2);
}

constexpr int kLanes = 8;

void crypt_lanes(const unsigned char* nibbles, const uint32_t* key, bool encrypt, uint32_t* n1, uint32_t* n2,
                 int lanes) {
  const Consts<256> c(nibbles);
  __m256i kv[8];
  broadcast_key(key, kv);
  alignas(32) uint32_t a1[kLanes] = {}, a2[kLanes] = {};
  for (int i = 0; i < lanes; ++i) {
    a1[i] = n1[i];
    a2[i] = n2[i];
  }
  __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(a1));
  __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(a2));
  if (encrypt) {
    vcrypt<Op::kEncrypt>(c, kv, a, b);
  } else {
    vcrypt<Op::kDecrypt>(c, kv, a, b);
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(a1), a);
  _mm256_store_si256(reinterpret_cast<__m256i*>(a2), b);
  for (int i = 0; i < lanes; ++i) {
    n1[i] = a1[i];
    n2[i] = a2[i];
  }
}

void fbe(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
         unsigned char* out, size_t blocks) {
  const Consts<128> c(nibbles);
  __m128i kv[8];
  broadcast_key(key, kv);
  __m128i a = lane0(n1), b = lane0(n2);
  for (size_t i = 0; i < blocks; ++i, in += 8, out += 8) {
    vcrypt<Op::kEncrypt>(c, kv, a, b);
    a = _mm_xor_si128(a, lane0(in));
    b = _mm_xor_si128(b, lane0(in + 4));
    put0(out, a);
    put0(out + 4, b);
  }
  n1 = get0(a);
  n2 = get0(b);
}

void mac(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* data,
         size_t blocks) {
  const Consts<128> c(nibbles);
  __m128i kv[8];
  broadcast_key(key, kv);
  __m128i a = lane0(n1), b = lane0(n2);
  for (size_t i = 0; i < blocks; ++i, data += 8) {
    a = _mm_xor_si128(a, lane0(data));
    b = _mm_xor_si128(b, lane0(data + 4));
    vcrypt<Op::kMac16>(c, kv, a, b);
  }
  n1 = get0(a);
  n2 = get0(b);
}

// The round's entry points, for the including file to name.
constexpr CtRound kRound{Kernel::kShuffle, encrypt4, encrypt_block, decrypt_block, mac_block,
                         crypt_lanes,      fbe,      mac,           kLanes};

}  // namespace shuffle
}  // namespace
}  // namespace qcrypto::gost_detail
