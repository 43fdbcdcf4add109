// Whole-block paths of the GOST 28147-89 modes and their run-time dispatch
// between the portable multi-block code and the AVX2 code. Private to
// crypto/rus and its tests.
//
// Every path accepts out == in (in place) or disjoint buffers; callers copy
// first when the buffers overlap otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/rus/gost28147.h"

namespace qcrypto {

// ECB over whole blocks; encrypt non-zero encrypts.
void rus_ecb_blocks(const GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks, int encrypt);
// Gamma: advances N3, N4 once per block; N1, N2 and the mode word are untouched.
void rus_gamma_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks);
// Gamma with feedback: N1, N2 end holding the last cipher block.
void rus_gamma_fbe_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks);
void rus_gamma_fbd_blocks(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, size_t blocks);
// MAC: folds each block into N1, N2 and runs the 16-round step; counts blocks up to 2.
void rus_mac_blocks(GOSTE_CTX* ctx, const unsigned char* data, size_t blocks);

namespace gost_detail {

// True when the processor runs the vector code (AVX2 and BMI2).
bool cpu_has_avx2();
// True when the processor and the operating system run the AVX-512 code
// (F, BW, VL and VBMI, with the opmask and ZMM state enabled in XCR0).
bool cpu_has_avx512vbmi();
// True when the multi-block paths currently run the AVX2 code.
bool avx2_selected();
// The constant-time rounds, each a set of entry points over the nibble form of
// a table (nibbles_of). Every set computes the same function as the table
// round; they differ only in the instructions they need and in speed.
struct CtRound;
// The constant-time round that runs outside the AVX2 batches (single blocks,
// the serial modes, the multi-block tails and the hash step), or null where
// the processor has none and the expanded table is indexed instead. When the
// processor runs more than one, the fastest of them on a short serial run,
// measured once; the choice is never the table while a constant-time round
// exists.
const CtRound* ct_round();
// True when ct_round() is not null.
bool ct_round_selected();

// Which kernels ran (counted in test builds only): one count per whole-block
// call for each kernel that did any of its blocks, and one per run of hash
// steps. Single-block calls are not counted.
enum class Kernel : int { kTable = 0, kAvx2 = 1, kAvx512 = 2, kShuffle = 3, kCount = 4 };

#ifdef QCRYPTO_TEST_HOOKS
enum class Path : int { kAuto = 0, kPortable = 1, kAvx2 = 2 };

// Process-wide override of the multi-block dispatch, for tests and
// benchmarks. kAvx2 on a CPU without AVX2 falls back to the portable code.
void set_path(Path path);
Path get_path();

// Override of the round used outside the AVX2 batches: the table, the AVX-512
// VBMI permute round in 512-bit or in 256-bit vectors, the byte-shuffle round
// in the build for the CPU (the AVX-512 one where it runs), or its AVX2 build.
// A round the CPU cannot run falls back to the table.
enum class RoundPath : int { kAuto = 0, kTable = 1, kAvx512 = 2, kShuffle = 3, kShuffleAvx2 = 4, kAvx512Narrow = 5 };
void set_round_path(RoundPath path);

uint64_t kernel_runs(Kernel k);
void count_kernel(Kernel k);
#define QCRYPTO_GOST_COUNT_KERNEL(k) ::qcrypto::gost_detail::count_kernel(k)
#else
#define QCRYPTO_GOST_COUNT_KERNEL(k) ((void)0)
#endif

// Gamma counter step (addition modulo 2^32 - 1 for N4).
inline void gamma_advance(uint32_t& n3, uint32_t& n4) {
  n3 += 0x01010101u;
  if (n4 > 0xFEFEFEFBu) ++n4;
  n4 += 0x01010104u;
}

inline uint32_t load_le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Settles the in/out convention of the update functions: out null or equal to
// in means in place; a partly overlapping out gets a copy of the input first
// (the result is that of copying and then working in place); disjoint buffers
// are read from in directly. Returns the buffer to read from; out is set to
// the buffer to write to.
inline const unsigned char* settle_io(const unsigned char* in, unsigned char*& out, size_t n) {
  if (out == nullptr || out == in) {
    out = const_cast<unsigned char*>(in);
    return in;
  }
  const auto i = reinterpret_cast<uintptr_t>(in);
  const auto o = reinterpret_cast<uintptr_t>(out);
  if (i < o + n && o < i + n) {
    std::memmove(out, in, n);
    return out;
  }
  return in;
}

// Register byte i (0..7) of N1 || N2, little-endian words.
inline unsigned char reg_byte(const GOSTE_CTX* ctx, int i) {
  const uint32_t w = i < 4 ? ctx->N1 : ctx->N2;
  return static_cast<unsigned char>(w >> (8 * (i & 3)));
}

inline void set_reg_byte(GOSTE_CTX* ctx, int i, unsigned char v) {
  uint32_t& w = i < 4 ? ctx->N1 : ctx->N2;
  const int s = 8 * (i & 3);
  w = (w & ~(0xffu << s)) | (uint32_t{v} << s);
}

// Portable multi-block code (several independent blocks in flight).
void ecb_portable(const uint32_t* table, const uint32_t* key, const unsigned char* in, unsigned char* out,
                  size_t blocks, bool encrypt);
void gamma_portable(const uint32_t* table, const uint32_t* key, uint32_t& n3, uint32_t& n4, const unsigned char* in,
                    unsigned char* out, size_t blocks);
void fbd_portable(const uint32_t* table, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
                  unsigned char* out, size_t blocks);

// AVX2 code: each handles the largest multiple of its batch and returns the
// number of blocks done; the rest is left to the portable code.
size_t ecb_avx2(const uint32_t* table, const uint32_t* key, const unsigned char* in, unsigned char* out, size_t blocks,
                bool encrypt);
size_t gamma_avx2(const uint32_t* table, const uint32_t* key, uint32_t& n3, uint32_t& n4, const unsigned char* in,
                  unsigned char* out, size_t blocks);
size_t fbd_avx2(const uint32_t* table, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
                unsigned char* out, size_t blocks);

// Every expanded table (shared or private) is followed by the 128-byte
// nibble table of the constant-time rounds: byte 16j + v is S(2j+1)(v), byte
// 64 + 16j + v is S(2j+2)(v) << 4. build_nibbles recovers it from an expanded
// table (all a context keeps of its set).
constexpr int kNibbleBytes = 128;
constexpr int kTableWordsWithNibbles = GOSTE_TABLE_WORDS + kNibbleBytes / 4;
void build_nibbles(const uint32_t* table, unsigned char* out);
inline const unsigned char* nibbles_of(const uint32_t* table) {
  return reinterpret_cast<const unsigned char*>(table + GOSTE_TABLE_WORDS);
}

struct CtRound {
  Kernel kernel;  // counted as this kernel
  // s[e] = the 32-round encryption of h[e] (N1 = low word, N2 = high word)
  // under keys[8e .. 8e + 7], for e = 0..3: the encryptions of a hash step.
  void (*encrypt4)(const unsigned char* nibbles, const uint32_t* keys, const uint64_t* h, uint64_t* s);
  void (*encrypt_block)(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2);
  void (*decrypt_block)(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2);
  void (*mac_block)(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2);
  // 1 to `lanes` independent blocks (N1 in n1[i], N2 in n2[i]), in place.
  void (*crypt_lanes)(const unsigned char* nibbles, const uint32_t* key, bool encrypt, uint32_t* n1, uint32_t* n2,
                      int lanes);
  // The serial loops of gamma-with-feedback encryption and of the MAC.
  void (*fbe)(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
              unsigned char* out, size_t blocks);
  void (*mac)(const unsigned char* nibbles, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* data,
              size_t blocks);
  int lanes;  // the most blocks one crypt_lanes call takes (up to kMaxLanes)
};
constexpr int kMaxLanes = 16;

// The AVX-512 VBMI permute round in 512-bit and in 256-bit vectors and the
// byte-shuffle round built for AVX-512 (callers check cpu_has_avx512vbmi), and
// the byte-shuffle round built for AVX2 (callers check cpu_has_avx2).
extern const CtRound kAvx512Round;
extern const CtRound kAvx512NarrowRound;
extern const CtRound kShuffleRound512;
extern const CtRound kShuffleRound;

#ifdef QCRYPTO_TEST_HOOKS
// Allocation of private tables, replaceable by tests (null restores the
// library allocator).
using TableAllocFn = void* (*)(size_t);
using TableFreeFn = void (*)(void*);
void set_table_allocator(TableAllocFn alloc, TableFreeFn release);
#endif

}  // namespace gost_detail
}  // namespace qcrypto
