// The step function f(H, M) of the hash and the whole-block path.
//
// One step is four independent 32-round encryptions (one per 64-bit part of
// H, each under its own key). They run interleaved, all four in flight, so the
// latency of one round's table lookups is covered by the other three. The
// state between blocks stays in local 64-bit words; the round keys live in one
// local array that is wiped when the run of blocks ends.
#include <openssl/crypto.h>

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_round.h"
#include "crypto/rus/gost3411.h"
#include "crypto/rus/gost3411_blocks.h"
#include "crypto/rus/gost3411_mix.h"

namespace qcrypto {
namespace {

static_assert(std::endian::native == std::endian::little, "256-bit values are read as little-endian machine words");

constexpr int kKeyWords = 32;  // four keys of eight words

// The constant of the third key, least significant word first.
constexpr uint64_t kC3[4] = {0xff00ff00ff00ff00ULL, 0x00ff00ff00ff00ffULL, 0xff0000ff00ffff00ULL,
                             0xff00ffff000000ffULL};

inline uint64_t load64(const void* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store64(void* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

inline void load256(const void* p, uint64_t* w) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (int i = 0; i < 4; ++i) w[i] = load64(b + 8 * i);
}

inline void store256(void* p, const uint64_t* w) {
  auto* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 4; ++i) store64(b + 8 * i, w[i]);
}

// P: output byte 4k + i = input byte 8i + k, so cipher key word k gathers byte
// k of each 64-bit part: a 4 x 8 byte transpose.
[[gnu::always_inline]] inline void transpose_key(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3, uint32_t* key) {
#if defined(__SSE2__)
  const __m128i ab =
      _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(w0)), _mm_cvtsi64_si128(static_cast<long long>(w1)));
  const __m128i cd =
      _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(w2)), _mm_cvtsi64_si128(static_cast<long long>(w3)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(key), _mm_unpacklo_epi16(ab, cd));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(key + 4), _mm_unpackhi_epi16(ab, cd));
#else
  for (int k = 0; k < 8; ++k) {
    const int s = 8 * k;
    key[k] = static_cast<uint32_t>((w0 >> s) & 0xff) | static_cast<uint32_t>((w1 >> s) & 0xff) << 8 |
             static_cast<uint32_t>((w2 >> s) & 0xff) << 16 | static_cast<uint32_t>((w3 >> s) & 0xff) << 24;
  }
#endif
}

// K1 = P(U ^ V) with U = H, V = M; then U = A(U) ^ Cj, V = A(A(V)), Kj = P(U ^ V).
// A(y0, y1, y2, y3) = (y1, y2, y3, y0 ^ y1) on 64-bit parts, least significant first.
[[gnu::always_inline]] inline void keygen(const uint64_t* h, const uint64_t* m, uint32_t* keys) {
  uint64_t u0 = h[0], u1 = h[1], u2 = h[2], u3 = h[3];
  uint64_t v0 = m[0], v1 = m[1], v2 = m[2], v3 = m[3];
  transpose_key(u0 ^ v0, u1 ^ v1, u2 ^ v2, u3 ^ v3, keys);
  for (int j = 1; j < 4; ++j) {
    const uint64_t nu3 = u0 ^ u1;
    u0 = u1;
    u1 = u2;
    u2 = u3;
    u3 = nu3;
    if (j == 2) {
      u0 ^= kC3[0];
      u1 ^= kC3[1];
      u2 ^= kC3[2];
      u3 ^= kC3[3];
    }
    const uint64_t nv2 = v0 ^ v1, nv3 = v1 ^ v2;
    v0 = v2;
    v1 = v3;
    v2 = nv2;
    v3 = nv3;
    transpose_key(u0 ^ v0, u1 ^ v1, u2 ^ v2, u3 ^ v3, keys + 8 * j);
  }
}

// Two rounds (key words i, then j) on all four lanes; the halves trade roles
// instead of being swapped.
#define GOSTH_TWO_ROUNDS(i, j)                              \
  a2 = gost_detail::gost_round(t, a2, a1 + keys[(i)]);      \
  b2 = gost_detail::gost_round(t, b2, b1 + keys[8 + (i)]);  \
  c2 = gost_detail::gost_round(t, c2, c1 + keys[16 + (i)]); \
  d2 = gost_detail::gost_round(t, d2, d1 + keys[24 + (i)]); \
  a1 = gost_detail::gost_round(t, a1, a2 + keys[(j)]);      \
  b1 = gost_detail::gost_round(t, b1, b2 + keys[8 + (j)]);  \
  c1 = gost_detail::gost_round(t, c1, c2 + keys[16 + (j)]); \
  d1 = gost_detail::gost_round(t, d1, d2 + keys[24 + (j)])

#define GOSTH_EIGHT_FORWARD \
  GOSTH_TWO_ROUNDS(0, 1);   \
  GOSTH_TWO_ROUNDS(2, 3);   \
  GOSTH_TWO_ROUNDS(4, 5);   \
  GOSTH_TWO_ROUNDS(6, 7)

// s[i] = E_K(i+1)(h[i]): 32 rounds, K1..K8 three times then K8..K1, the last
// round without swap. With the halves trading roles, the unswapped last round
// leaves N1 in the second variable and N2 in the first.
[[gnu::always_inline]] inline void encrypt4(const uint32_t* t, const uint32_t* keys, const uint64_t* h, uint64_t* s) {
  uint32_t a1 = static_cast<uint32_t>(h[0]), a2 = static_cast<uint32_t>(h[0] >> 32);
  uint32_t b1 = static_cast<uint32_t>(h[1]), b2 = static_cast<uint32_t>(h[1] >> 32);
  uint32_t c1 = static_cast<uint32_t>(h[2]), c2 = static_cast<uint32_t>(h[2] >> 32);
  uint32_t d1 = static_cast<uint32_t>(h[3]), d2 = static_cast<uint32_t>(h[3] >> 32);
  GOSTH_EIGHT_FORWARD;
  GOSTH_EIGHT_FORWARD;
  GOSTH_EIGHT_FORWARD;
  GOSTH_TWO_ROUNDS(7, 6);
  GOSTH_TWO_ROUNDS(5, 4);
  GOSTH_TWO_ROUNDS(3, 2);
  GOSTH_TWO_ROUNDS(1, 0);
  s[0] = a2 | static_cast<uint64_t>(a1) << 32;
  s[1] = b2 | static_cast<uint64_t>(b1) << 32;
  s[2] = c2 | static_cast<uint64_t>(c1) << 32;
  s[3] = d2 | static_cast<uint64_t>(d1) << 32;
}

#undef GOSTH_EIGHT_FORWARD
#undef GOSTH_TWO_ROUNDS

// The encryptions of a run of steps: the constant-time round when the CPU
// has one (ct set), else the expanded table, whose lookups depend on the step
// keys and so on the data hashed.
class StepKernel {
 public:
  explicit StepKernel(const uint32_t* table) : table_(table), ct_(gost_detail::ct_round()) {
    QCRYPTO_GOST_COUNT_KERNEL(ct_ != nullptr ? ct_->kernel : gost_detail::Kernel::kTable);
  }
  const uint32_t* table() const { return table_; }
  const gost_detail::CtRound* ct() const { return ct_; }

 private:
  const uint32_t* table_;
  const gost_detail::CtRound* ct_;
};

// H = f(H, M). keys: scratch for the four step keys (left filled).
template <bool kVector>
[[gnu::always_inline]] inline void step(uint64_t* h, const uint64_t* m, const StepKernel& kernel, uint32_t* keys) {
  keygen(h, m, keys);
  uint64_t in[12] = {h[0], h[1], h[2], h[3], m[0], m[1], m[2], m[3]};
  uint64_t out[4];
  gosth_mix::mix_hm(in, out);
  if constexpr (kVector) {
    kernel.ct()->encrypt4(gost_detail::nibbles_of(kernel.table()), keys, h, in + 8);
  } else {
    encrypt4(kernel.table(), keys, h, in + 8);
  }
  gosth_mix::mix_s(in, out);
  h[0] = out[0];
  h[1] = out[1];
  h[2] = out[2];
  h[3] = out[3];
}

[[gnu::always_inline]] inline void add256(uint64_t* sum, const uint64_t* m) {
  unsigned __int128 acc = 0;
  for (int i = 0; i < 4; ++i) {
    acc += static_cast<unsigned __int128>(sum[i]) + m[i];
    sum[i] = static_cast<uint64_t>(acc);
    acc >>= 64;
  }
}

// The embedded cipher context ends holding the last key used, as after an
// encryption done through it; the scratch copy is wiped.
void finish_keys(GOSTH_CTX* ctx, uint32_t* keys) {
  GOSTE_set_key(&ctx->cipher, reinterpret_cast<const unsigned char*>(keys + 24));
  OPENSSL_cleanse(keys, kKeyWords * sizeof(uint32_t));
}

template <bool kVector>
void run_blocks(uint64_t* h, uint64_t* sum, const unsigned char* data, size_t blocks, const StepKernel& kernel,
                uint32_t* keys) {
  uint64_t m[4];
  for (size_t b = 0; b < blocks; ++b, data += GOSTH_BLOCK_BYTES) {
    load256(data, m);
    add256(sum, m);
    step<kVector>(h, m, kernel, keys);
  }
}

}  // namespace

void gosth_process_blocks(GOSTH_CTX* ctx, const unsigned char* data, size_t blocks) {
  if (blocks == 0) return;
  uint64_t h[4], sum[4];
  alignas(64) uint32_t keys[kKeyWords];
  load256(ctx->H, h);
  load256(ctx->sum, sum);
  const StepKernel kernel(ctx->cipher.table);
  if (kernel.ct() != nullptr) {
    run_blocks<true>(h, sum, data, blocks, kernel, keys);
  } else {
    run_blocks<false>(h, sum, data, blocks, kernel, keys);
  }
  store256(ctx->H, h);
  store256(ctx->sum, sum);
  finish_keys(ctx, keys);
  rus_hash_add_length(ctx, static_cast<uint64_t>(blocks) * 256);
}

void rus_hash_step(GOSTH_CTX* ctx, const unsigned char* block) {
  uint64_t h[4], m[4];
  alignas(64) uint32_t keys[kKeyWords];
  load256(ctx->H, h);
  load256(block, m);
  const StepKernel kernel(ctx->cipher.table);
  if (kernel.ct() != nullptr) {
    step<true>(h, m, kernel, keys);
  } else {
    step<false>(h, m, kernel, keys);
  }
  store256(ctx->H, h);
  finish_keys(ctx, keys);
}

void rus_hash_keygen(const uint32_t* H, const uint32_t* M, uint32_t* keys) {
  uint64_t h[4], m[4];
  load256(H, h);
  load256(M, m);
  keygen(h, m, keys);
}

void rus_hash_A(const uint32_t* in, uint32_t* out) {
  uint64_t y[4];
  load256(in, y);
  const uint64_t r[4] = {y[1], y[2], y[3], y[0] ^ y[1]};
  store256(out, r);
}

void rus_hash_xor256(const uint32_t* a, const uint32_t* b, uint32_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = a[i] ^ b[i];
}

void rus_hash_add256(uint32_t* sum, const unsigned char* block) {
  uint64_t s[4], m[4];
  load256(sum, s);
  load256(block, m);
  add256(s, m);
  store256(sum, s);
}

}  // namespace qcrypto
