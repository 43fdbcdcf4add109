// Hash context: init, update, final, one-shot digest and the counters.
#include "crypto/rus/gost3411.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/rus/gost28147_scrub.h"
#include "crypto/rus/gost3411_blocks.h"

namespace qcrypto {
namespace {

constexpr int kFuncGosthNew = 101;

// The result of GOSTH_digest without an output buffer, one per thread.
thread_local unsigned char t_digest_out[GOSTH_DIGEST_BYTES];

// Update and final run the cipher with the context's table: a context that was
// never initialised (or was cleared) has none and is refused.
bool ready(const GOSTH_CTX* ctx) { return ctx->cipher.table != nullptr; }

// The hash mixes random seeds and derives keys from shared secrets; its steps
// leave message words and hash values in their frames (about 3 KiB deep at
// most as measured), which this overwrites once they have returned.
void scrub_steps() { gost_detail::scrub_stack<8192>(); }

}  // namespace

GOSTH_CTX* GOSTH_new() {
  auto* ctx = static_cast<GOSTH_CTX*>(OPENSSL_zalloc(sizeof(GOSTH_CTX)));
  if (ctx == nullptr) QERR(ERRLIB_GOSTE, kFuncGosthNew, ERR_R_MEMORY_ALLOC);
  return ctx;
}

void GOSTH_clear(GOSTH_CTX* ctx) {
  if (ctx == nullptr) return;
  GOSTE_clear(&ctx->cipher);
  OPENSSL_cleanse(ctx, sizeof(*ctx));
}

void GOSTH_free(GOSTH_CTX* ctx) {
  if (ctx == nullptr) return;
  GOSTH_clear(ctx);
  OPENSSL_clear_free(ctx, sizeof(*ctx));
}

int GOSTH_CTX_copy(GOSTH_CTX* dst, const GOSTH_CTX* src) {
  if (dst == nullptr || src == nullptr) return 0;
  if (dst == src) return 1;
  if (!GOSTE_CTX_copy(&dst->cipher, &src->cipher)) {
    GOSTH_clear(dst);
    return 0;
  }
  std::memcpy(dst->H, src->H, sizeof(dst->H));
  std::memcpy(dst->sum, src->sum, sizeof(dst->sum));
  std::memcpy(dst->length, src->length, sizeof(dst->length));
  std::memcpy(dst->buffer, src->buffer, sizeof(dst->buffer));
  dst->count = src->count;
  dst->length_limbs = src->length_limbs;
  return 1;
}

int GOSTH_init(GOSTH_CTX* ctx, const unsigned char* start_vector, const unsigned char* sbox) {
  if (ctx == nullptr) return 0;
  GOSTH_clear(ctx);
  // A null set means the hash's own default here, not the cipher's.
  if (!GOSTE_set_sbox(&ctx->cipher, sbox != nullptr ? sbox : GOSTH_get_default_sbox())) return 0;
  if (start_vector != nullptr) std::memcpy(ctx->H, start_vector, sizeof(ctx->H));
  ctx->count = -1;
  return 1;
}

int GOSTH_update(GOSTH_CTX* ctx, const unsigned char* data, int length) {
  if (ctx == nullptr || data == nullptr || length < 1 || !ready(ctx)) return 0;
  size_t left = static_cast<size_t>(length);
  size_t open = ctx->count < 0 ? 0 : static_cast<size_t>(ctx->count);
  if (open > 0) {
    const size_t take = std::min(left, GOSTH_BLOCK_BYTES - open);
    std::memcpy(ctx->buffer + open, data, take);
    open += take;
    data += take;
    left -= take;
    if (open < GOSTH_BLOCK_BYTES) {
      ctx->count = static_cast<int32_t>(open);
      return length;
    }
    gosth_process_blocks(ctx, ctx->buffer, 1);
  }
  const size_t blocks = left / GOSTH_BLOCK_BYTES;
  gosth_process_blocks(ctx, data, blocks);
  data += blocks * GOSTH_BLOCK_BYTES;
  left -= blocks * GOSTH_BLOCK_BYTES;
  if (left > 0) std::memcpy(ctx->buffer, data, left);
  ctx->count = static_cast<int32_t>(left);
  // Only updates that ran the step need it: the others just fill the buffer.
  if (open > 0 || blocks > 0) scrub_steps();
  return length;
}

int GOSTH_final(GOSTH_CTX* ctx, unsigned char* out) {
  if (ctx == nullptr || out == nullptr || !ready(ctx)) return 0;
  if (ctx->count != 0) {
    // Also the empty message: it hashes one all-zero block.
    if (ctx->count < 0) ctx->count = 0;
    const size_t open = static_cast<size_t>(ctx->count);
    std::memset(ctx->buffer + open, 0, GOSTH_BLOCK_BYTES - open);
    rus_hash_add_length(ctx, 8 * static_cast<uint64_t>(open));
    rus_hash_add256(ctx->sum, ctx->buffer);
    rus_hash_step(ctx, ctx->buffer);
  }
  rus_hash_step(ctx, reinterpret_cast<const unsigned char*>(ctx->length));
  rus_hash_step(ctx, reinterpret_cast<const unsigned char*>(ctx->sum));
  std::memcpy(out, ctx->H, GOSTH_DIGEST_BYTES);
  rus_reverse_bytes(out, GOSTH_DIGEST_BYTES);
  scrub_steps();
  return GOSTH_DIGEST_BYTES;
}

unsigned char* GOSTH_digest(const unsigned char* data, int length, const unsigned char* start_vector,
                            const unsigned char* sbox, unsigned char* out) {
  unsigned char* const result = out != nullptr ? out : t_digest_out;
  const UniquePtr<GOSTH_CTX> ctx(GOSTH_new());
  if (!ctx || !GOSTH_init(ctx.get(), start_vector, sbox)) return nullptr;
  // An update of nothing returns 0, which is then the whole message.
  if (GOSTH_update(ctx.get(), data, length) != length) return nullptr;
  if (GOSTH_final(ctx.get(), result) != GOSTH_DIGEST_BYTES) return nullptr;
  return result;
}

void rus_hash_add_length(GOSTH_CTX* ctx, uint64_t bits) {
  uint64_t w[4];
  std::memcpy(w, ctx->length, sizeof(w));
  unsigned __int128 acc = static_cast<unsigned __int128>(w[0]) + bits;
  w[0] = static_cast<uint64_t>(acc);
  for (int i = 1; i < 4; ++i) {
    acc = (acc >> 64) + w[i];
    w[i] = static_cast<uint64_t>(acc);
  }
  std::memcpy(ctx->length, w, sizeof(w));
  // Widen to the highest non-zero 16-bit limb; the count never shrinks.
  int limbs = 16;
  while (limbs > 0 && ((w[(limbs - 1) / 4] >> (16 * ((limbs - 1) % 4))) & 0xffff) == 0) --limbs;
  ctx->length_limbs = std::max(ctx->length_limbs, static_cast<int32_t>(limbs));
}

void rus_reverse_bytes(unsigned char* buffer, int n) {
  if (buffer == nullptr || n < 2) return;
  std::reverse(buffer, buffer + n);
}

}  // namespace qcrypto
