// GOST 28147-89 block cipher: context, S-box sets, block cores and the
// simple-substitution (ECB), gamma (counter), gamma-with-feedback and MAC modes.
//
// Byte conventions: key bytes 4i..4i+3 form key word K(i+1) little-endian; a
// 64-bit block maps to the registers little-endian (bytes 0..3 are N1, bytes
// 4..7 are N2).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/cclib/owner.h"

namespace qcrypto {

constexpr int GOSTE_SBOX_BYTES = 64;
constexpr int GOSTE_TABLE_WORDS = 1024;  // T0..T3, 256 words each

// A context may own a private table, so it is never copied as a plain struct
// (two contexts would then free one table): GOSTE_CTX_copy makes a deep copy.
// `GOSTE_CTX ctx{};` is an all-zero context, as GOSTE_new gives.
struct GOSTE_CTX {
  GOSTE_CTX() = default;
  GOSTE_CTX(const GOSTE_CTX&) = delete;
  GOSTE_CTX& operator=(const GOSTE_CTX&) = delete;

  uint32_t key[8];
  void* table_alloc;      // heap block of a private expanded table, or null
  const uint32_t* table;  // expanded table in use (private or shared), or null
  uint32_t N1, N2;        // data register
  uint32_t N3, N4;        // counter register (gamma mode)
  int32_t mode;           // per-mode word, see the mode functions
  int32_t mac_blocks;     // blocks run through the MAC step, counted up to 2
};

const unsigned char* GOSTE_get_default_sbox();
const unsigned char* GOSTH_get_default_sbox();

// A zeroed context from the library allocator (OPENSSL_zalloc), or null
// (error 72/100/33 raised).
GOSTE_CTX* GOSTE_new();
// Releases (wipes and frees) a private table and zeroes the whole context.
void GOSTE_clear(GOSTE_CTX* ctx);
// GOSTE_clear, then returns the record to the library allocator.
void GOSTE_free(GOSTE_CTX* ctx);
// dst becomes an independent copy of src: key, registers, mode words and the
// table (a private table is duplicated, a shared one is shared). dst's own
// private table is released first. 1 on success; 0 when either pointer is
// null or the table cannot be allocated, and dst is then cleared. dst == src
// is a copy that does nothing.
int GOSTE_CTX_copy(GOSTE_CTX* dst, const GOSTE_CTX* src);
void GOSTE_set_key(GOSTE_CTX* ctx, const unsigned char* key);
int GOSTE_set_sbox(GOSTE_CTX* ctx, const unsigned char* sbox);
int GOSTE_expand_sbox(const unsigned char* sbox, uint32_t* table);
int GOSTE_build_shared_table(const unsigned char* sbox);
void GOSTE_free_table(GOSTE_CTX* ctx);

void rus_encrypt_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2);
void rus_decrypt_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2);
void rus_mac_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2);

// Simple substitution (ECB).
int GOSTE_ss_init(GOSTE_CTX* ctx, int encrypt, const unsigned char* key, const unsigned char* sbox);
int GOSTE_ss_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int blocks);
// Whole blocks only: a trailing partial block is neither read nor written, and
// the result is the number of bytes processed (16 for a length of 20).
int GOSTE_ss_cipher(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length);

// Gamma (counter) mode; the same update encrypts and decrypts.
int GOSTE_gamma_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv, const unsigned char* sbox);
int GOSTE_gamma_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length);

// Gamma with feedback (64-bit cipher feedback).
int GOSTE_gamma_fb_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv, const unsigned char* sbox);
int GOSTE_gamma_fbe_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length);
int GOSTE_gamma_fbd_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length);

// MAC ("imito") of 1 to 32 bits.
int GOSTE_mac_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox);
int GOSTE_mac_update(GOSTE_CTX* ctx, const unsigned char* data, int length);
int GOSTE_mac_final(GOSTE_CTX* ctx, unsigned char* out, int bits);
// One-shot 32-bit MAC. ctx may be null (a context is made and freed here).
// -> out, or null on failure. With out null the MAC goes into a 4-byte buffer
// of the calling thread, valid until that thread's next such call and while
// the thread lives; other threads have their own.
unsigned char* GOSTE_mac(GOSTE_CTX* ctx, const unsigned char* data, int length, const unsigned char* key,
                         const unsigned char* sbox, unsigned char* out);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::GOSTE_CTX, qcrypto::GOSTE_free)
