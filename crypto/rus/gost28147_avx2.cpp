// AVX2 multi-block code: 32 blocks at a time in byte-sliced form.
//
// Register j of a batch holds byte j of a 32-bit half for all 32 blocks, so
// every S-box lookup is one byte shuffle with the right 16-entry node table
// (no gathers) and the 11-bit rotation is folded into the shuffle tables: of
// the rotated word, byte k is (s[k-1] << 3 | s[k-2] >> 5), and both parts are
// looked up directly from the nibbles of s[k-1] and s[k-2]. The modular key
// addition is done bytewise with an explicit carry chain.
#include <immintrin.h>
#include <openssl/crypto.h>

#include <cstring>

#include "crypto/cclib/secret.h"
#include "crypto/rus/gost28147_multi.h"

namespace qcrypto::gost_detail {
namespace {

constexpr size_t kBatch = 32;
constexpr size_t kBatchBytes = kBatch * 8;

struct VecTables {
  __m256i la[4];  // S(2j+1)(v) << 3
  __m256i ha[4];  // (S(2j+2)(v) & 1) << 7
  __m256i hb[4];  // S(2j+2)(v) >> 1
};

struct VecKey {
  __m256i k[8][4];   // byte j of key word w, broadcast
  __m256i kx[8][3];  // the same with the top bit flipped, for unsigned compares
};

inline uint32_t rotr11(uint32_t v) { return (v >> 11) | (v << 21); }

// The nodes are recovered from the expanded table, which is all a context
// keeps: T_j[b] is the byte-j substitution of b, shifted to byte j and rotated.
void build_tables(const uint32_t* t, VecTables& vt) {
  // The nodes of a foreign set are as private as its expanded table.
  SecretBuffer<64> la, ha, hb;
  for (int j = 0; j < 4; ++j) {
    for (int v = 0; v < 16; ++v) {
      const unsigned lo = (rotr11(t[256 * j + v]) >> (8 * j)) & 15;
      const unsigned hi = (rotr11(t[256 * j + (v << 4)]) >> (8 * j + 4)) & 15;
      la.data()[16 * j + v] = static_cast<unsigned char>(lo << 3);
      ha.data()[16 * j + v] = static_cast<unsigned char>((hi & 1) << 7);
      hb.data()[16 * j + v] = static_cast<unsigned char>(hi >> 1);
    }
    vt.la[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(la.data() + 16 * j)));
    vt.ha[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ha.data() + 16 * j)));
    vt.hb[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hb.data() + 16 * j)));
  }
}

void build_key(const uint32_t* key, VecKey& vk) {
  for (int w = 0; w < 8; ++w) {
    for (int j = 0; j < 4; ++j) {
      const auto b = static_cast<char>(key[w] >> (8 * j));
      vk.k[w][j] = _mm256_set1_epi8(b);
      if (j < 3) vk.kx[w][j] = _mm256_set1_epi8(static_cast<char>(b ^ 0x80));
    }
  }
}

// b ^= F(a + k) for 32 blocks.
inline __attribute__((always_inline)) void vround(const __m256i* a, __m256i* b, const __m256i* k, const __m256i* kx,
                                                  const VecTables& vt) {
  const __m256i ones = _mm256_set1_epi8(-1);
  const __m256i m0f = _mm256_set1_epi8(0x0f);
  const __m256i t0 = _mm256_add_epi8(a[0], k[0]);
  const __m256i t1 = _mm256_add_epi8(a[1], k[1]);
  const __m256i t2 = _mm256_add_epi8(a[2], k[2]);
  const __m256i t3 = _mm256_add_epi8(a[3], k[3]);
  // Carry out of byte j: t < k unsigned, i.e. (t ^ 0x80) < (k ^ 0x80) signed.
  const __m256i g0 = _mm256_cmpgt_epi8(kx[0], _mm256_add_epi8(a[0], kx[0]));
  const __m256i g1 = _mm256_cmpgt_epi8(kx[1], _mm256_add_epi8(a[1], kx[1]));
  const __m256i g2 = _mm256_cmpgt_epi8(kx[2], _mm256_add_epi8(a[2], kx[2]));
  // A byte of 0xff passes an incoming carry on.
  const __m256i c1 = _mm256_or_si256(g1, _mm256_and_si256(_mm256_cmpeq_epi8(t1, ones), g0));
  const __m256i c2 = _mm256_or_si256(g2, _mm256_and_si256(_mm256_cmpeq_epi8(t2, ones), c1));
  const __m256i s0 = t0;
  const __m256i s1 = _mm256_sub_epi8(t1, g0);
  const __m256i s2 = _mm256_sub_epi8(t2, c1);
  const __m256i s3 = _mm256_sub_epi8(t3, c2);

  const __m256i lo0 = _mm256_and_si256(s0, m0f), hi0 = _mm256_and_si256(_mm256_srli_epi16(s0, 4), m0f);
  const __m256i lo1 = _mm256_and_si256(s1, m0f), hi1 = _mm256_and_si256(_mm256_srli_epi16(s1, 4), m0f);
  const __m256i lo2 = _mm256_and_si256(s2, m0f), hi2 = _mm256_and_si256(_mm256_srli_epi16(s2, 4), m0f);
  const __m256i lo3 = _mm256_and_si256(s3, m0f), hi3 = _mm256_and_si256(_mm256_srli_epi16(s3, 4), m0f);

  const __m256i r0 =
      _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(vt.la[3], lo3), _mm256_shuffle_epi8(vt.ha[3], hi3)),
                      _mm256_shuffle_epi8(vt.hb[2], hi2));
  const __m256i r1 =
      _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(vt.la[0], lo0), _mm256_shuffle_epi8(vt.ha[0], hi0)),
                      _mm256_shuffle_epi8(vt.hb[3], hi3));
  const __m256i r2 =
      _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(vt.la[1], lo1), _mm256_shuffle_epi8(vt.ha[1], hi1)),
                      _mm256_shuffle_epi8(vt.hb[0], hi0));
  const __m256i r3 =
      _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(vt.la[2], lo2), _mm256_shuffle_epi8(vt.ha[2], hi2)),
                      _mm256_shuffle_epi8(vt.hb[1], hi1));
  b[0] = _mm256_xor_si256(b[0], r0);
  b[1] = _mm256_xor_si256(b[1], r1);
  b[2] = _mm256_xor_si256(b[2], r2);
  b[3] = _mm256_xor_si256(b[3], r3);
}

// Key word index of each round.
struct Schedule {
  int idx[32];
  explicit Schedule(bool encrypt) {
    for (int r = 0; r < 32; ++r) {
      const bool forward = encrypt ? r < 24 : r < 8;
      idx[r] = forward ? (r & 7) : 7 - (r & 7);
    }
  }
};

// x[0..3] = N1 bytes, x[4..7] = N2 bytes; 32 rounds in place.
inline void crypt_sliced(__m256i* x, const VecKey& vk, const Schedule& ks, const VecTables& vt) {
  __m256i a[4] = {x[0], x[1], x[2], x[3]};
  __m256i b[4] = {x[4], x[5], x[6], x[7]};
  for (int r = 0; r < 32; r += 2) {
    vround(a, b, vk.k[ks.idx[r]], vk.kx[ks.idx[r]], vt);
    vround(b, a, vk.k[ks.idx[r + 1]], vk.kx[ks.idx[r + 1]], vt);
  }
  // The last round does not swap: N1 = b, N2 = a.
  for (int j = 0; j < 4; ++j) {
    x[j] = b[j];
    x[4 + j] = a[j];
  }
}

// 8x8 transpose of 16-bit words inside each 128-bit lane; its own inverse.
inline void transpose8(__m256i* r) {
  const __m256i t0 = _mm256_unpacklo_epi16(r[0], r[1]), t1 = _mm256_unpackhi_epi16(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi16(r[2], r[3]), t3 = _mm256_unpackhi_epi16(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi16(r[4], r[5]), t5 = _mm256_unpackhi_epi16(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi16(r[6], r[7]), t7 = _mm256_unpackhi_epi16(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
  r[0] = _mm256_unpacklo_epi64(u0, u4);
  r[1] = _mm256_unpackhi_epi64(u0, u4);
  r[2] = _mm256_unpacklo_epi64(u1, u5);
  r[3] = _mm256_unpackhi_epi64(u1, u5);
  r[4] = _mm256_unpacklo_epi64(u2, u6);
  r[5] = _mm256_unpackhi_epi64(u2, u6);
  r[6] = _mm256_unpacklo_epi64(u3, u7);
  r[7] = _mm256_unpackhi_epi64(u3, u7);
}

// 256 bytes (32 blocks) into byte-sliced form and back. Within a lane the two
// blocks' bytes are first paired as 16-bit words (byte j of both blocks), then
// the word transpose gathers word j of all lanes into register j.
inline void load_sliced(const unsigned char* in, __m256i* x) {
  const __m256i pair = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0, 8, 1, 9, 2, 10, 3, 11,
                                        4, 12, 5, 13, 6, 14, 7, 15);
  for (int r = 0; r < 8; ++r) {
    x[r] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * r)), pair);
  }
  transpose8(x);
}

inline void store_sliced(unsigned char* out, __m256i* x) {
  const __m256i unpair = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6, 8, 10, 12,
                                          14, 1, 3, 5, 7, 9, 11, 13, 15);
  transpose8(x);
  for (int r = 0; r < 8; ++r) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * r), _mm256_shuffle_epi8(x[r], unpair));
  }
}

inline void xor_batch(const unsigned char* a, const unsigned char* b, unsigned char* out) {
  for (int r = 0; r < 8; ++r) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32 * r));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32 * r));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * r), _mm256_xor_si256(va, vb));
  }
}

// Key material, S-box nodes and keystream on the stack are wiped when the
// call ends.
struct Workspace {
  VecTables vt;
  VecKey vk;
  alignas(32) unsigned char buf[kBatchBytes];
  __m256i x[8];
  Workspace(const uint32_t* table, const uint32_t* key) {
    build_tables(table, vt);
    build_key(key, vk);
  }
  ~Workspace() {
    OPENSSL_cleanse(&vt, sizeof(vt));
    OPENSSL_cleanse(&vk, sizeof(vk));
    OPENSSL_cleanse(buf, sizeof(buf));
    OPENSSL_cleanse(x, sizeof(x));
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
};

}  // namespace

size_t ecb_avx2(const uint32_t* table, const uint32_t* key, const unsigned char* in, unsigned char* out, size_t blocks,
                bool encrypt) {
  const size_t batches = blocks / kBatch;
  if (batches == 0) return 0;
  Workspace ws(table, key);
  const Schedule ks(encrypt);
  for (size_t i = 0; i < batches; ++i, in += kBatchBytes, out += kBatchBytes) {
    load_sliced(in, ws.x);
    crypt_sliced(ws.x, ws.vk, ks, ws.vt);
    store_sliced(out, ws.x);
  }
  return batches * kBatch;
}

size_t gamma_avx2(const uint32_t* table, const uint32_t* key, uint32_t& n3, uint32_t& n4, const unsigned char* in,
                  unsigned char* out, size_t blocks) {
  const size_t batches = blocks / kBatch;
  if (batches == 0) return 0;
  Workspace ws(table, key);
  const Schedule ks(true);
  uint32_t c3 = n3, c4 = n4;
  for (size_t i = 0; i < batches; ++i, in += kBatchBytes, out += kBatchBytes) {
    for (size_t b = 0; b < kBatch; ++b) {
      gamma_advance(c3, c4);
      store_le32(ws.buf + 8 * b, c3);
      store_le32(ws.buf + 8 * b + 4, c4);
    }
    load_sliced(ws.buf, ws.x);
    crypt_sliced(ws.x, ws.vk, ks, ws.vt);
    store_sliced(ws.buf, ws.x);
    xor_batch(in, ws.buf, out);
  }
  n3 = c3;
  n4 = c4;
  return batches * kBatch;
}

size_t fbd_avx2(const uint32_t* table, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
                unsigned char* out, size_t blocks) {
  const size_t batches = blocks / kBatch;
  if (batches == 0) return 0;
  Workspace ws(table, key);
  const Schedule ks(true);
  unsigned char prev[8];
  store_le32(prev, n1);
  store_le32(prev + 4, n2);
  for (size_t i = 0; i < batches; ++i, in += kBatchBytes, out += kBatchBytes) {
    // Gamma inputs are the previous cipher blocks; all are read before the
    // plaintext is written (the buffers may be the same).
    std::memcpy(ws.buf, prev, 8);
    std::memcpy(ws.buf + 8, in, kBatchBytes - 8);
    std::memcpy(prev, in + kBatchBytes - 8, 8);
    load_sliced(ws.buf, ws.x);
    crypt_sliced(ws.x, ws.vk, ks, ws.vt);
    store_sliced(ws.buf, ws.x);
    xor_batch(in, ws.buf, out);
  }
  n1 = load_le32(prev);
  n2 = load_le32(prev + 4);
  return batches * kBatch;
}

}  // namespace qcrypto::gost_detail
