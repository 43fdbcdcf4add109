// Constant-time GOST 28147-89 rounds with AVX-512 VBMI.
//
// Each 32-bit lane of a vector is the N1 or N2 half of one block, so one
// instruction sequence runs 1 to 16 blocks (one key for all, or a key per
// lane for the hash step). A round splits each byte j of N + k into its low
// and high nibble, tags each with its byte number (index 16j + nibble) and
// looks them up in the 64-byte table of the odd boxes S(2j+1) and in that of
// the even boxes S(2j+2) with one byte permute each: the instruction reads
// every table entry whatever the index, so no memory address depends on the
// key or the data. The even boxes' entries sit in the high nibble, so each
// lookup leaves its half of every substituted byte in place; each half is
// rotated by 11 and folded into the other half of the block.
//
// Two forms share the multi-block code (sixteen blocks in 512-bit vectors, one
// vpermb per table) and differ in the serial paths and the hash step: one
// keeps 512-bit vectors, the other 256-bit ones with each 64-byte table split
// over two registers (vpermt2b). Which chain is shorter differs between
// processors (the two-source permute is the slower one on some, 512-bit
// operations on others), so ct_round measures both.
#include <immintrin.h>

#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_schedule.h"

// g++ 12's AVX-512 intrinsics start unmasked operations from a deliberately
// undefined vector (`__Y = __Y`), which -Wuninitialized reports at every use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace qcrypto::gost_detail {
namespace {

// The 512-bit round for sixteen blocks.
struct Consts512 {
  __m512i low_nibble = _mm512_set1_epi8(0x0F);
  __m512i tag = _mm512_set1_epi32(0x30201000);  // 16j in byte j
  __m512i tlo, thi;                             // the odd and the even boxes
  explicit Consts512(const unsigned char* nibbles)
      : tlo(_mm512_loadu_si512(nibbles)), thi(_mm512_loadu_si512(nibbles + 64)) {}

  // b ^ F(a + k) in every lane.
  [[gnu::always_inline]] __m512i round(__m512i a, __m512i b, __m512i k) const {
    const __m512i x = _mm512_add_epi32(a, k);
    // (nibble & 0x0f) | 16j, for the low and the high nibble of byte j.
    const __m512i il = _mm512_ternarylogic_epi32(x, low_nibble, tag, 0xEA);
    const __m512i ih = _mm512_ternarylogic_epi32(_mm512_srli_epi32(x, 4), low_nibble, tag, 0xEA);
    // Each half is rotated by two shifts folded into a three-way XOR (a
    // shift is one cycle where a rotate is two), the low nibbles' half first:
    // it is ready a step earlier.
    const __m512i sl = _mm512_permutexvar_epi8(il, tlo);
    const __m512i sh = _mm512_permutexvar_epi8(ih, thi);
    const __m512i part = _mm512_ternarylogic_epi32(b, _mm512_slli_epi32(sl, 11), _mm512_srli_epi32(sl, 21), 0x96);
    return _mm512_ternarylogic_epi32(part, _mm512_slli_epi32(sh, 11), _mm512_srli_epi32(sh, 21), 0x96);
  }
};

// The same round on eight blocks: each table in two 32-byte halves.
struct Consts256 {
  __m256i low_nibble = _mm256_set1_epi8(0x0F);
  __m256i tag = _mm256_set1_epi32(0x30201000);
  __m256i tlo0, tlo1, thi0, thi1;
  explicit Consts256(const unsigned char* nibbles)
      : tlo0(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(nibbles))),
        tlo1(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(nibbles + 32))),
        thi0(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(nibbles + 64))),
        thi1(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(nibbles + 96))) {}

  [[gnu::always_inline]] __m256i round(__m256i a, __m256i b, __m256i k) const {
    const __m256i x = _mm256_add_epi32(a, k);
    const __m256i il = _mm256_ternarylogic_epi32(x, low_nibble, tag, 0xEA);
    const __m256i ih = _mm256_ternarylogic_epi32(_mm256_srli_epi32(x, 4), low_nibble, tag, 0xEA);
    const __m256i sl = _mm256_permutex2var_epi8(tlo0, il, tlo1);
    const __m256i sh = _mm256_permutex2var_epi8(thi0, ih, thi1);
    const __m256i part = _mm256_ternarylogic_epi32(b, _mm256_slli_epi32(sl, 11), _mm256_srli_epi32(sl, 21), 0x96);
    return _mm256_ternarylogic_epi32(part, _mm256_slli_epi32(sh, 11), _mm256_srli_epi32(sh, 21), 0x96);
  }
};

// The serial paths keep a block in lane 0, loaded and stored straight from
// memory so the loop never leaves the vector registers. Wide: 512-bit vectors
// and one vpermb per table; Narrow: 256-bit vectors and vpermt2b.
struct Wide {
  using V = __m512i;
  using C = Consts512;
  static V splat(uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
  static V lane0(const unsigned char* p) { return _mm512_castsi128_si512(_mm_loadu_si32(p)); }
  static V lane0(uint32_t v) { return _mm512_castsi128_si512(_mm_cvtsi32_si128(static_cast<int>(v))); }
  static uint32_t get0(V v) { return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(v))); }
  static void put0(unsigned char* p, V v) { _mm_storeu_si32(p, _mm512_castsi512_si128(v)); }
  static V vxor(V a, V b) { return _mm512_xor_si512(a, b); }
};

struct Narrow {
  using V = __m256i;
  using C = Consts256;
  static V splat(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
  static V lane0(const unsigned char* p) { return _mm256_castsi128_si256(_mm_loadu_si32(p)); }
  static V lane0(uint32_t v) { return _mm256_castsi128_si256(_mm_cvtsi32_si128(static_cast<int>(v))); }
  static uint32_t get0(V v) { return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(v))); }
  static void put0(unsigned char* p, V v) { _mm_storeu_si32(p, _mm256_castsi256_si128(v)); }
  static V vxor(V a, V b) { return _mm256_xor_si256(a, b); }
};

template <class W, Op kOp>
void one_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  const typename W::C c(nibbles);
  typename W::V kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = W::splat(key[w]);
  typename W::V a = W::lane0(n1), b = W::lane0(n2);
  vcrypt<kOp>(c, kv, a, b);
  n1 = W::get0(a);
  n2 = W::get0(b);
}

template <class W>
void encrypt_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<W, Op::kEncrypt>(nibbles, key, n1, n2);
}

template <class W>
void decrypt_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<W, Op::kDecrypt>(nibbles, key, n1, n2);
}

template <class W>
void mac_block(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2) {
  one_block<W, Op::kMac16>(nibbles, key, n1, n2);
}

template <class W>
void fbe(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
         unsigned char* out, size_t blocks) {
  const typename W::C c(nibbles);
  typename W::V kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = W::splat(key[w]);
  typename W::V a = W::lane0(n1), b = W::lane0(n2);
  for (size_t i = 0; i < blocks; ++i, in += 8, out += 8) {
    vcrypt<Op::kEncrypt>(c, kv, a, b);
    a = W::vxor(a, W::lane0(in));
    b = W::vxor(b, W::lane0(in + 4));
    W::put0(out, a);
    W::put0(out + 4, b);
  }
  n1 = W::get0(a);
  n2 = W::get0(b);
}

template <class W>
void mac(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* data,
         size_t blocks) {
  const typename W::C c(nibbles);
  typename W::V kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = W::splat(key[w]);
  typename W::V a = W::lane0(n1), b = W::lane0(n2);
  for (size_t i = 0; i < blocks; ++i, data += 8) {
    a = W::vxor(a, W::lane0(data));
    b = W::vxor(b, W::lane0(data + 4));
    vcrypt<Op::kMac16>(c, kv, a, b);
  }
  n1 = W::get0(a);
  n2 = W::get0(b);
}

// kv[w]: key word w of block e in lane e, for the four keys of a hash step.
[[gnu::always_inline]] inline __m512i step_key_word(const uint32_t* keys, int w) {
  const __m512i k01 = _mm512_loadu_si512(keys);
  const __m512i k23 = _mm512_loadu_si512(keys + 16);
  const __m512i pick = _mm512_setr_epi32(w, 8 + w, 16 + w, 24 + w, w, w, w, w, w, w, w, w, w, w, w, w);
  return _mm512_permutex2var_epi32(k01, pick, k23);
}

void encrypt4_wide(const unsigned char* nibbles, const uint32_t* keys, const uint64_t* h, uint64_t* s) {
  const Consts512 c(nibbles);
  __m512i kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = step_key_word(keys, w);
  // h[e] is N1 (low word) and N2 (high word) of block e.
  const __m512i hv = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h)));
  __m512i n1 = _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), hv);
  __m512i n2 = _mm512_permutexvar_epi32(_mm512_setr_epi32(1, 3, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), hv);
  vcrypt<Op::kEncrypt>(c, kv, n1, n2);
  const __m512i out =
      _mm512_permutex2var_epi32(n1, _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 0, 0, 0, 0, 0, 0, 0, 0), n2);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(s), _mm512_castsi512_si256(out));
}

void encrypt4_narrow(const unsigned char* nibbles, const uint32_t* keys, const uint64_t* h, uint64_t* s) {
  const Consts256 c(nibbles);
  __m256i kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = _mm512_castsi512_si256(step_key_word(keys, w));
  const __m256i hv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h));
  __m256i n1 = _mm256_permutexvar_epi32(_mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0), hv);
  __m256i n2 = _mm256_permutexvar_epi32(_mm256_setr_epi32(1, 3, 5, 7, 0, 0, 0, 0), hv);
  vcrypt<Op::kEncrypt>(c, kv, n1, n2);
  const __m256i out = _mm256_permutex2var_epi32(n1, _mm256_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11), n2);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(s), out);
}

// Sixteen blocks at a time in 512-bit vectors, for both forms.
void crypt_lanes(const unsigned char* nibbles, const uint32_t* key, bool encrypt, uint32_t* n1, uint32_t* n2,
                 int lanes) {
  const Consts512 c(nibbles);
  __m512i kv[8];
  for (int w = 0; w < 8; ++w) kv[w] = Wide::splat(key[w]);
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

}  // namespace

const CtRound kAvx512Round{Kernel::kAvx512,     encrypt4_wide,   encrypt_block<Wide>,
                           decrypt_block<Wide>, mac_block<Wide>, crypt_lanes,
                           fbe<Wide>,           mac<Wide>,       kMaxLanes};
const CtRound kAvx512NarrowRound{Kernel::kAvx512,       encrypt4_narrow,   encrypt_block<Narrow>,
                                 decrypt_block<Narrow>, mac_block<Narrow>, crypt_lanes,
                                 fbe<Narrow>,           mac<Narrow>,       kMaxLanes};

}  // namespace qcrypto::gost_detail
