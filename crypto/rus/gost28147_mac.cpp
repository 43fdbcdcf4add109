// MAC ("imito") of 1 to 32 bits.
#include <cstring>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"

namespace qcrypto {

using gost_detail::reg_byte;
using gost_detail::set_reg_byte;

namespace {

// The result of GOSTE_mac without an output buffer: one per thread, so a
// caller never reads another thread's MAC.
thread_local unsigned char t_mac_out[4];

void count_block(GOSTE_CTX* ctx) {
  if (ctx->mac_blocks < 2) ++ctx->mac_blocks;
}

}  // namespace

int GOSTE_mac_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox) {
  if (ctx == nullptr || key == nullptr) return 0;
  GOSTE_clear(ctx);
  GOSTE_set_key(ctx, key);
  if (!GOSTE_set_sbox(ctx, sbox)) {
    GOSTE_clear(ctx);
    return 0;
  }
  return 1;
}

int GOSTE_mac_update(GOSTE_CTX* ctx, const unsigned char* data, int length) {
  if (ctx == nullptr || data == nullptr || length < 1 || ctx->table == nullptr) return 0;
  const size_t n = static_cast<size_t>(length);
  size_t p = 0;
  for (; p < n && ctx->mode != 0; ++p) {
    set_reg_byte(ctx, ctx->mode, reg_byte(ctx, ctx->mode) ^ data[p]);
    if (++ctx->mode == 8) {
      rus_mac_block(ctx, &ctx->N1, &ctx->N2);
      ctx->mode = 0;
      count_block(ctx);
    }
  }
  const size_t blocks = (n - p) / 8;
  if (blocks > 0) {
    rus_mac_blocks(ctx, data + p, blocks);
    p += blocks * 8;
  }
  for (; p < n; ++p) {
    set_reg_byte(ctx, ctx->mode, reg_byte(ctx, ctx->mode) ^ data[p]);
    ++ctx->mode;
  }
  return length;
}

int GOSTE_mac_final(GOSTE_CTX* ctx, unsigned char* out, int bits) {
  if (ctx == nullptr || out == nullptr || ctx->table == nullptr) return 0;
  if (bits < 1 || bits > 32) bits = 32;
  const int n = (bits + 7) / 8;
  std::memset(out, 0, static_cast<size_t>(n));
  if (ctx->mode != 0) {
    // The open block is padded with the zero bytes already in the register.
    rus_mac_block(ctx, &ctx->N1, &ctx->N2);
    ctx->mode = 0;
    count_block(ctx);
  }
  static const unsigned char kZero[8] = {};
  while (ctx->mac_blocks < 2) {
    if (GOSTE_mac_update(ctx, kZero, 8) != 8) return 0;
  }
  ctx->N1 >>= (32 - bits);
  for (int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(ctx->N1 >> (8 * i));
  return n;
}

unsigned char* GOSTE_mac(GOSTE_CTX* ctx, const unsigned char* data, int length, const unsigned char* key,
                         const unsigned char* sbox, unsigned char* out) {
  UniquePtr<GOSTE_CTX> own;
  if (ctx == nullptr) {
    own.reset(GOSTE_new());
    if (!own) return nullptr;
    ctx = own.get();
  }
  if (out == nullptr) out = t_mac_out;
  unsigned char* result = nullptr;
  if (GOSTE_mac_init(ctx, key, sbox) && GOSTE_mac_update(ctx, data, length) == length &&
      GOSTE_mac_final(ctx, out, 32) == 4) {
    result = out;
  }
  return result;
}

}  // namespace qcrypto
