// Constant-time GOST 28147-89 rounds with AVX-512 VBMI.
//
// Each 32-bit lane of a vector is the N1 or N2 half of one block, so one
// instruction sequence runs 1 to 16 blocks (one key for all, or a key per
// lane for the hash step). A round splits each byte j of N + k into its low
// and high nibble, tags each with its byte number (index 16j + nibble) and
// looks them up with two vpermb, the low nibbles in the 64-byte table of the
// odd boxes S(2j+1), the high ones in that of the even boxes S(2j+2): the
// instruction reads every table entry whatever the index, so no memory
// address depends on the key or the data. The even boxes' entries sit in the
// high nibble, so each lookup leaves its half of every substituted byte in
// place; each half is rotated by 11 and both are folded into the other half
// of the block with one three-way XOR.
//
// The round is eight instructions with a dependency chain about as long as
// the table round's (add, address, load, XOR), so even a single block runs
// close to the table's speed, and independent blocks share the chain.
#include <immintrin.h>

#include "crypto/rus/gost28147_multi.h"

// g++ 12's AVX-512 intrinsics start unmasked operations from a deliberately
// undefined vector (`__Y = __Y`), which -Wuninitialized reports at every use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace qcrypto::gost_detail {
namespace {

struct RoundConsts {
  __m512i low_nibble = _mm512_set1_epi8(0x0F);
  __m512i tag = _mm512_set1_epi32(0x30201000);  // 16j in byte j
  __m512i tlo, thi;                             // the odd and the even boxes
  explicit RoundConsts(const unsigned char* nibbles)
      : tlo(_mm512_loadu_si512(nibbles)), thi(_mm512_loadu_si512(nibbles + 64)) {}
};

// b ^ F(a + k) in every lane.
[[gnu::always_inline]] inline __m512i vround(const RoundConsts& c, __m512i a, __m512i b, __m512i k) {
  const __m512i x = _mm512_add_epi32(a, k);
  // (nibble & 0x0f) | 16j, for the low and the high nibble of byte j.
  const __m512i il = _mm512_ternarylogic_epi32(x, c.low_nibble, c.tag, 0xEA);
  const __m512i ih = _mm512_ternarylogic_epi32(_mm512_srli_epi32(x, 4), c.low_nibble, c.tag, 0xEA);
  const __m512i sl = _mm512_rol_epi32(_mm512_permutexvar_epi8(il, c.tlo), 11);
  const __m512i sh = _mm512_rol_epi32(_mm512_permutexvar_epi8(ih, c.thi), 11);
  return _mm512_ternarylogic_epi32(b, sl, sh, 0x96);
}

enum class Op { kEncrypt, kDecrypt, kMac16 };

// Eight rounds with key words 0..7 (forward) or 7..0; the halves trade roles
// instead of swapping.
template <bool kForward>
[[gnu::always_inline]] inline void eight(const RoundConsts& c, const __m512i* kv, __m512i& a, __m512i& b) {
#pragma GCC unroll 4
  for (int i = 0; i < 8; i += 2) {
    const int w0 = kForward ? i : 7 - i;
    const int w1 = kForward ? i + 1 : 6 - i;
    b = vround(c, a, b, kv[w0]);
    a = vround(c, b, a, kv[w1]);
  }
}

template <Op kOp>
[[gnu::always_inline]] inline void vcrypt(const RoundConsts& c, const __m512i* kv, __m512i& n1, __m512i& n2) {
  __m512i a = n1, b = n2;
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

[[gnu::always_inline]] inline void broadcast_key(const uint32_t* key, __m512i* kv) {
  for (int w = 0; w < 8; ++w) kv[w] = _mm512_set1_epi32(static_cast<int>(key[w]));
}

[[gnu::always_inline]] inline __m512i lane0(uint32_t v) {
  return _mm512_castsi128_si512(_mm_cvtsi32_si128(static_cast<int>(v)));
}

[[gnu::always_inline]] inline uint32_t get0(__m512i v) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(v)));
}

template <Op kOp>
void one_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  const RoundConsts c(nibbles);
  __m512i kv[8];
  broadcast_key(key, kv);
  __m512i a = lane0(n1), b = lane0(n2);
  vcrypt<kOp>(c, kv, a, b);
  n1 = get0(a);
  n2 = get0(b);
}

}  // namespace

void encrypt4_avx512(const unsigned char* nibbles, const uint32_t* keys, const uint64_t* h, uint64_t* s) {
  const RoundConsts c(nibbles);
  // kv[w]: key word w of block e in lane e.
  const __m512i k01 = _mm512_loadu_si512(keys);
  const __m512i k23 = _mm512_loadu_si512(keys + 16);
  __m512i kv[8];
  for (int w = 0; w < 8; ++w) {
    const __m512i pick = _mm512_setr_epi32(w, 8 + w, 16 + w, 24 + w, w, w, w, w, w, w, w, w, w, w, w, w);
    kv[w] = _mm512_permutex2var_epi32(k01, pick, k23);
  }
  // h[e] is N1 (low word) and N2 (high word) of block e.
  const __m512i hv = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h)));
  __m512i n1 = _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), hv);
  __m512i n2 = _mm512_permutexvar_epi32(_mm512_setr_epi32(1, 3, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), hv);
  vcrypt<Op::kEncrypt>(c, kv, n1, n2);
  const __m512i out =
      _mm512_permutex2var_epi32(n1, _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 0, 0, 0, 0, 0, 0, 0, 0), n2);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(s), _mm512_castsi512_si256(out));
}

void encrypt_block_avx512(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kEncrypt>(nibbles, key, n1, n2);
}

void decrypt_block_avx512(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kDecrypt>(nibbles, key, n1, n2);
}

void mac_block_avx512(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<Op::kMac16>(nibbles, key, n1, n2);
}

void crypt_lanes_avx512(const unsigned char* nibbles, const uint32_t* key, bool encrypt, uint32_t* n1, uint32_t* n2,
                        int lanes) {
  const RoundConsts c(nibbles);
  __m512i kv[8];
  broadcast_key(key, kv);
  const auto m = static_cast<__mmask16>((1u << lanes) - 1);
  __m512i a = _mm512_maskz_loadu_epi32(m, n1), b = _mm512_maskz_loadu_epi32(m, n2);
  if (encrypt) {
    vcrypt<Op::kEncrypt>(c, kv, a, b);
  } else {
    vcrypt<Op::kDecrypt>(c, kv, a, b);
  }
  _mm512_mask_storeu_epi32(n1, m, a);
  _mm512_mask_storeu_epi32(n2, m, b);
}

void fbe_avx512(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
                unsigned char* out, size_t blocks) {
  const RoundConsts c(nibbles);
  __m512i kv[8];
  broadcast_key(key, kv);
  __m512i a = lane0(n1), b = lane0(n2);
  for (size_t i = 0; i < blocks; ++i, in += 8, out += 8) {
    vcrypt<Op::kEncrypt>(c, kv, a, b);
    a = _mm512_xor_si512(a, lane0(load_le32(in)));
    b = _mm512_xor_si512(b, lane0(load_le32(in + 4)));
    store_le32(out, get0(a));
    store_le32(out + 4, get0(b));
  }
  n1 = get0(a);
  n2 = get0(b);
}

void mac_avx512(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2,
                const unsigned char* data, size_t blocks) {
  const RoundConsts c(nibbles);
  __m512i kv[8];
  broadcast_key(key, kv);
  __m512i a = lane0(n1), b = lane0(n2);
  for (size_t i = 0; i < blocks; ++i, data += 8) {
    a = _mm512_xor_si512(a, lane0(load_le32(data)));
    b = _mm512_xor_si512(b, lane0(load_le32(data + 4)));
    vcrypt<Op::kMac16>(c, kv, a, b);
  }
  n1 = get0(a);
  n2 = get0(b);
}

}  // namespace qcrypto::gost_detail
