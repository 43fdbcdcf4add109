// GOST R 34.11-94 hash (256-bit result) over the GOST 28147-89 encryption core.
//
// Byte conventions: message blocks, the start vector and every internal value
// are 256-bit numbers stored least significant byte first (eight little-endian
// 32-bit words). The digest is written the other way round: out[0] is the
// most significant byte of the final hash value H, out[31] the least
// significant. Libraries that print the digest "as a byte stream" give the
// byte reverse of this output.
//
// An empty message (nothing hashed since init) runs the step function on one
// all-zero block before the length and the control sum; digests stored by
// this system depend on it, so it differs from libraries that skip that block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/rus/gost28147.h"

namespace qcrypto {

constexpr int GOSTH_DIGEST_BYTES = 32;
constexpr int GOSTH_BLOCK_BYTES = 32;

// Holds a GOSTE_CTX (which may own a private table): copied only through
// GOSTH_CTX_copy. `GOSTH_CTX ctx{};` is an all-zero context.
struct GOSTH_CTX {
  GOSTH_CTX() = default;
  GOSTH_CTX(const GOSTH_CTX&) = delete;
  GOSTH_CTX& operator=(const GOSTH_CTX&) = delete;

  uint32_t H[8];                            // running hash value; the start vector after init
  uint32_t sum[8];                          // control sum of all message blocks mod 2^256
  uint32_t length[8];                       // message length in bits mod 2^256
  unsigned char buffer[GOSTH_BLOCK_BYTES];  // the open (incomplete) block
  GOSTE_CTX cipher;                         // step encryptions: key per encryption, the hash's S-box table
  int32_t count;                            // bytes in the open block 0..31; -1 = nothing hashed since init
  int32_t length_limbs;                     // 16-bit limbs of the length counter in use
};

// A zeroed context on the heap, or null (error 72/101/33 raised).
GOSTH_CTX* GOSTH_new();
// Releases a private S-box table and zeroes the whole context; null is ignored.
void GOSTH_clear(GOSTH_CTX* ctx);
void GOSTH_free(GOSTH_CTX* ctx);
// dst becomes an independent copy of src (the embedded cipher context through
// GOSTE_CTX_copy), so both can go on hashing apart. 1, or 0 when a pointer is
// null or a private table cannot be allocated (dst is then cleared).
int GOSTH_CTX_copy(GOSTH_CTX* dst, const GOSTH_CTX* src);

// start_vector: 32 bytes or null (all zero); sbox: 64-byte set or null (the
// hash default set). 1 on success, 0 when ctx is null or the set cannot be
// selected.
int GOSTH_init(GOSTH_CTX* ctx, const unsigned char* start_vector, const unsigned char* sbox);
// -> length, or 0 (nothing changes) when ctx or data is null, length < 1 or
// the context was never initialised.
int GOSTH_update(GOSTH_CTX* ctx, const unsigned char* data, int length);
// Writes 32 bytes to out -> 32, or 0 when ctx or out is null or the context
// was never initialised. The context is not reset: hash again after GOSTH_init.
int GOSTH_final(GOSTH_CTX* ctx, unsigned char* out);
// One shot. -> out, or null on failure. With out null the digest goes into a
// 32-byte buffer of the calling thread, valid until that thread's next such
// call and while the thread lives; other threads have their own.
unsigned char* GOSTH_digest(const unsigned char* data, int length, const unsigned char* start_vector,
                            const unsigned char* sbox, unsigned char* out);

// Building blocks. 256-bit values are 8 little-endian 32-bit words.

// H = f(H, block) with the context's S-box table; length and sum are untouched.
void rus_hash_step(GOSTH_CTX* ctx, const unsigned char* block);
// The four 256-bit step keys: keys[8 * (i - 1) .. 8 * i - 1] is Ki as cipher
// key words K1..K8.
void rus_hash_keygen(const uint32_t* H, const uint32_t* M, uint32_t* keys);
// A(Y): y4 y3 y2 y1 -> (y1 ^ y2) y4 y3 y2 in 64-bit parts; in and out may be the same.
void rus_hash_A(const uint32_t* in, uint32_t* out);
// out = a ^ b; out may be either input.
void rus_hash_xor256(const uint32_t* a, const uint32_t* b, uint32_t* out);
// sum = (sum + block) mod 2^256, block as 32 bytes least significant first.
void rus_hash_add256(uint32_t* sum, const unsigned char* block);
// Adds bits to the context's length counter (mod 2^256) and widens length_limbs.
void rus_hash_add_length(GOSTH_CTX* ctx, uint64_t bits);
// Reverses n bytes in place; null or n < 2 does nothing.
void rus_reverse_bytes(unsigned char* buffer, int n);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::GOSTH_CTX, qcrypto::GOSTH_free)
