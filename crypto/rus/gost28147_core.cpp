// GOST 28147-89 context, S-box sets and the expanded tables.
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_round.h"

namespace qcrypto {
namespace {

constexpr int kFuncGosteNew = 100;
// The expanded table and, after it, its nibble form for the constant-time round.
constexpr size_t kTableWithNibblesBytes = gost_detail::kTableWordsWithNibbles * sizeof(uint32_t);
constexpr size_t kPrivateAllocBytes = kTableWithNibblesBytes + 63;

// Row v is bytes 4v..4v+3; byte j holds S(2j+1)(v) low and S(2j+2)(v) high.
alignas(64) const unsigned char kCipherSbox[GOSTE_SBOX_BYTES] = {
    0x73, 0x3f, 0x66, 0x50, 0x16, 0x41, 0x19, 0x22, 0x51, 0xf4, 0x20, 0xbe, 0x20, 0xc6, 0xf7, 0x8c,
    0x85, 0x5c, 0x0b, 0x49, 0xb7, 0x98, 0xb8, 0xc1, 0x9d, 0xe9, 0x94, 0x74, 0xc9, 0x02, 0xcc, 0x17,
    0xd4, 0x6e, 0x72, 0xa3, 0x0b, 0x83, 0xde, 0x6f, 0x38, 0x77, 0xaa, 0xe6, 0xac, 0xaa, 0x5f, 0x08,
    0xfe, 0x1b, 0x81, 0x9a, 0xef, 0xbd, 0x4d, 0x3d, 0x42, 0xd5, 0xe5, 0xdb, 0x6a, 0x20, 0x33, 0xf5,
};

alignas(64) const unsigned char kHashSbox[GOSTE_SBOX_BYTES] = {
    0x1b, 0xd5, 0x02, 0xa1, 0x2d, 0x11, 0x4d, 0xb3, 0x77, 0xbd, 0x6a, 0x6c, 0x90, 0x43, 0xcf, 0x08,
    0xd5, 0x9f, 0x59, 0x1a, 0xb4, 0xc6, 0x3b, 0x36, 0xf1, 0xec, 0x83, 0x4b, 0x8f, 0x07, 0xd7, 0x70,
    0xe9, 0x79, 0xa8, 0xe2, 0xce, 0x58, 0xbc, 0xde, 0x46, 0x8b, 0xf5, 0x57, 0x0a, 0xf2, 0x2e, 0xf9,
    0x53, 0x64, 0x16, 0x8f, 0x6c, 0x2e, 0x90, 0x24, 0xa8, 0xa0, 0x71, 0x95, 0x32, 0x3a, 0xe4, 0xcd,
};

// One shared table per built-in set, built on first use and never freed.
// The nibble form for the constant-time round follows the table, as in a
// private block.
struct SharedTable {
  alignas(64) uint32_t words[gost_detail::kTableWordsWithNibbles];
  std::atomic<bool> built{false};
  const unsigned char* sbox;
};

SharedTable g_cipher_table{{}, {false}, kCipherSbox};
SharedTable g_hash_table{{}, {false}, kHashSbox};

// Expands a set into a table followed by its nibble form.
int expand_with_nibbles(const unsigned char* sbox, uint32_t* table) {
  if (!GOSTE_expand_sbox(sbox, table)) return 0;
  gost_detail::build_nibbles(table, reinterpret_cast<unsigned char*>(table + GOSTE_TABLE_WORDS));
  return 1;
}

SharedTable* shared_for(const unsigned char* sbox) {
  if (std::memcmp(sbox, kCipherSbox, GOSTE_SBOX_BYTES) == 0) return &g_cipher_table;
  if (std::memcmp(sbox, kHashSbox, GOSTE_SBOX_BYTES) == 0) return &g_hash_table;
  return nullptr;
}

// Double-checked: the flag is published with release order after the table is
// written, so a reader that sees it set also sees the whole table.
const uint32_t* ensure_built(SharedTable* st) {
  if (!st->built.load(std::memory_order_acquire)) {
    CryptoLockGuard guard(CRYPTO_LOCK_RUS);
    if (!st->built.load(std::memory_order_relaxed)) {
      if (!expand_with_nibbles(st->sbox, st->words)) return nullptr;
      st->built.store(true, std::memory_order_release);
    }
  }
  return st->words;
}

bool is_shared(const uint32_t* table) { return table == g_cipher_table.words || table == g_hash_table.words; }

// Private tables come from the library allocator and go back wiped, so an
// allocator installed with CRYPTO_set_mem_functions sees them.
#ifdef QCRYPTO_TEST_HOOKS
std::atomic<gost_detail::TableAllocFn> g_alloc{nullptr};
std::atomic<gost_detail::TableFreeFn> g_release{nullptr};
#endif

void* table_alloc(size_t n) {
#ifdef QCRYPTO_TEST_HOOKS
  if (auto fn = g_alloc.load(std::memory_order_acquire)) return fn(n);
#endif
  return OPENSSL_malloc(n);
}

void table_release(void* p) {
  if (p == nullptr) return;
#ifdef QCRYPTO_TEST_HOOKS
  if (auto fn = g_release.load(std::memory_order_acquire)) {
    fn(p);
    return;
  }
#endif
  OPENSSL_clear_free(p, kPrivateAllocBytes);
}

// A private table in a fresh block; null when the allocation fails.
uint32_t* new_private_table(void** block) {
  *block = table_alloc(kPrivateAllocBytes);
  if (*block == nullptr) return nullptr;
  const auto addr = reinterpret_cast<uintptr_t>(*block);
  return reinterpret_cast<uint32_t*>((addr + 63) & ~uintptr_t{63});
}

}  // namespace

const unsigned char* GOSTE_get_default_sbox() { return kCipherSbox; }
const unsigned char* GOSTH_get_default_sbox() { return kHashSbox; }

GOSTE_CTX* GOSTE_new() {
  auto* ctx = static_cast<GOSTE_CTX*>(OPENSSL_zalloc(sizeof(GOSTE_CTX)));
  if (ctx == nullptr) QERR(ERRLIB_GOSTE, kFuncGosteNew, ERR_R_MEMORY_ALLOC);
  return ctx;
}

void GOSTE_clear(GOSTE_CTX* ctx) {
  if (ctx == nullptr) return;
  GOSTE_free_table(ctx);
  OPENSSL_cleanse(ctx, sizeof(*ctx));
}

void GOSTE_free(GOSTE_CTX* ctx) {
  if (ctx == nullptr) return;
  GOSTE_clear(ctx);
  OPENSSL_clear_free(ctx, sizeof(*ctx));
}

int GOSTE_CTX_copy(GOSTE_CTX* dst, const GOSTE_CTX* src) {
  if (dst == nullptr || src == nullptr) return 0;
  if (dst == src) return 1;
  GOSTE_free_table(dst);
  const bool private_table = src->table != nullptr && !is_shared(src->table);
  uint32_t* table = nullptr;
  void* block = nullptr;
  if (private_table) {
    table = new_private_table(&block);
    if (table == nullptr) {
      GOSTE_clear(dst);
      return 0;
    }
    std::memcpy(table, src->table, kTableWithNibblesBytes);
  }
  std::memcpy(dst->key, src->key, sizeof(dst->key));
  dst->table_alloc = block;
  dst->table = private_table ? table : src->table;
  dst->N1 = src->N1;
  dst->N2 = src->N2;
  dst->N3 = src->N3;
  dst->N4 = src->N4;
  dst->mode = src->mode;
  dst->mac_blocks = src->mac_blocks;
  return 1;
}

void GOSTE_set_key(GOSTE_CTX* ctx, const unsigned char* key) {
  if (ctx == nullptr || key == nullptr) return;
  for (int i = 0; i < 8; ++i) {
    const unsigned char* p = key + 4 * i;
    ctx->key[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
}

int GOSTE_expand_sbox(const unsigned char* sbox, uint32_t* table) {
  if (sbox == nullptr || table == nullptr) return 0;
  for (int j = 0; j < 4; ++j) {
    for (int b = 0; b < 256; ++b) {
      uint32_t v = (sbox[4 * (b & 15) + j] & 0x0fu) | (sbox[4 * (b >> 4) + j] & 0xf0u);
      v <<= 8 * j;
      table[256 * j + b] = (v << 11) | (v >> 21);
    }
  }
  return 1;
}

int GOSTE_build_shared_table(const unsigned char* sbox) {
  if (sbox == nullptr) return 0;
  SharedTable* st = shared_for(sbox);
  return st != nullptr && ensure_built(st) != nullptr ? 1 : 0;
}

void GOSTE_free_table(GOSTE_CTX* ctx) {
  if (ctx == nullptr) return;
  if (ctx->table != nullptr && !is_shared(ctx->table)) {
    OPENSSL_cleanse(const_cast<uint32_t*>(ctx->table), kTableWithNibblesBytes);
  }
  table_release(ctx->table_alloc);
  ctx->table_alloc = nullptr;
  ctx->table = nullptr;
}

int GOSTE_set_sbox(GOSTE_CTX* ctx, const unsigned char* sbox) {
  if (ctx == nullptr) return 0;
  if (sbox == nullptr) sbox = kCipherSbox;
  GOSTE_free_table(ctx);
  if (SharedTable* st = shared_for(sbox)) {
    ctx->table = ensure_built(st);
    return ctx->table != nullptr ? 1 : 0;
  }
  void* block = nullptr;
  uint32_t* table = new_private_table(&block);
  if (table == nullptr) return 0;
  ctx->table_alloc = block;
  ctx->table = table;
  return expand_with_nibbles(sbox, table);
}

// Table lookups indexed by key and data leak both through the cache; the
// constant-time code runs wherever the processor has it.
void rus_encrypt_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2) {
  if (const gost_detail::CtRound* ct = gost_detail::ct_round()) {
    ct->encrypt_block(gost_detail::nibbles_of(ctx->table), ctx->key, *n1, *n2);
  } else {
    gost_detail::gost_encrypt(ctx->table, ctx->key, *n1, *n2);
  }
}

void rus_decrypt_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2) {
  if (const gost_detail::CtRound* ct = gost_detail::ct_round()) {
    ct->decrypt_block(gost_detail::nibbles_of(ctx->table), ctx->key, *n1, *n2);
  } else {
    gost_detail::gost_decrypt(ctx->table, ctx->key, *n1, *n2);
  }
}

void rus_mac_block(const GOSTE_CTX* ctx, uint32_t* n1, uint32_t* n2) {
  if (const gost_detail::CtRound* ct = gost_detail::ct_round()) {
    ct->mac_block(gost_detail::nibbles_of(ctx->table), ctx->key, *n1, *n2);
  } else {
    gost_detail::gost_mac16(ctx->table, ctx->key, *n1, *n2);
  }
}

namespace gost_detail {

namespace {
inline uint32_t rotr11(uint32_t v) { return (v >> 11) | (v << 21); }
}  // namespace

void build_nibbles(const uint32_t* t, unsigned char* out) {
  for (int j = 0; j < 4; ++j) {
    for (int v = 0; v < 16; ++v) {
      // T_j[b] is the byte-j substitution of b, shifted to byte j and rotated.
      const unsigned odd = (rotr11(t[256 * j + v]) >> (8 * j)) & 15;              // S(2j+1)(v)
      const unsigned even = (rotr11(t[256 * j + (v << 4)]) >> (8 * j + 4)) & 15;  // S(2j+2)(v)
      out[16 * j + v] = static_cast<unsigned char>(odd);
      out[64 + 16 * j + v] = static_cast<unsigned char>(even << 4);
    }
  }
}

#ifdef QCRYPTO_TEST_HOOKS
void set_table_allocator(TableAllocFn alloc, TableFreeFn release) {
  g_alloc.store(alloc, std::memory_order_release);
  g_release.store(release, std::memory_order_release);
}
#endif

}  // namespace gost_detail
}  // namespace qcrypto
