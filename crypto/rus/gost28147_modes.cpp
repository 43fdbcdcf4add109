// Gamma (counter) and gamma-with-feedback modes over any byte length, keeping
// the partial block between calls.
#include <cstring>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"

namespace qcrypto {

using gost_detail::load_le32;
using gost_detail::reg_byte;
using gost_detail::set_reg_byte;
using gost_detail::settle_io;

namespace {

// Loads key and S-box after a clear; a failure leaves no key behind.
int load_key_and_sbox(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox) {
  GOSTE_set_key(ctx, key);
  if (!GOSTE_set_sbox(ctx, sbox)) {
    GOSTE_clear(ctx);
    return 0;
  }
  return 1;
}

// Next gamma block into N1, N2 (ready: 8 unused bytes).
void gamma_step(GOSTE_CTX* ctx) {
  gost_detail::gamma_advance(ctx->N3, ctx->N4);
  ctx->N1 = ctx->N3;
  ctx->N2 = ctx->N4;
  rus_encrypt_block(ctx, &ctx->N1, &ctx->N2);
  ctx->mode = 8;
}

bool bad_args(const GOSTE_CTX* ctx, const unsigned char* in, int length) {
  return ctx == nullptr || in == nullptr || length < 1 || ctx->table == nullptr;
}

}  // namespace

int GOSTE_gamma_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv, const unsigned char* sbox) {
  if (ctx == nullptr || key == nullptr || iv == nullptr) return 0;
  GOSTE_clear(ctx);
  ctx->N1 = load_le32(iv);
  ctx->N2 = load_le32(iv + 4);
  if (!load_key_and_sbox(ctx, key, sbox)) return 0;
  rus_encrypt_block(ctx, &ctx->N1, &ctx->N2);
  ctx->N3 = ctx->N1;
  ctx->N4 = ctx->N2;
  gamma_step(ctx);
  return 1;
}

int GOSTE_gamma_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length) {
  if (bad_args(ctx, in, length)) return 0;
  const size_t n = static_cast<size_t>(length);
  in = settle_io(in, out, n);
  size_t p = 0;
  for (; p < n && ctx->mode > 0; ++p) {
    out[p] = in[p] ^ reg_byte(ctx, 8 - ctx->mode);
    --ctx->mode;
  }
  const size_t blocks = (n - p) / 8;
  if (blocks > 0) {
    rus_gamma_blocks(ctx, in + p, out + p, blocks);
    p += blocks * 8;
  }
  for (; p < n; ++p) {
    if (ctx->mode <= 0) gamma_step(ctx);
    out[p] = in[p] ^ reg_byte(ctx, 8 - ctx->mode);
    --ctx->mode;
  }
  return length;
}

int GOSTE_gamma_fb_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv, const unsigned char* sbox) {
  if (ctx == nullptr || key == nullptr) return 0;
  GOSTE_clear(ctx);
  if (iv != nullptr) {
    ctx->N1 = load_le32(iv);
    ctx->N2 = load_le32(iv + 4);
  }
  if (!load_key_and_sbox(ctx, key, sbox)) return 0;
  ctx->mode = 0;
  return 1;
}

int GOSTE_gamma_fbe_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length) {
  if (bad_args(ctx, in, length)) return 0;
  const size_t n = static_cast<size_t>(length);
  in = settle_io(in, out, n);
  size_t p = 0;
  for (; p < n && ctx->mode != 0; ++p) {
    const unsigned char c = in[p] ^ reg_byte(ctx, ctx->mode);
    out[p] = c;
    set_reg_byte(ctx, ctx->mode, c);
    ctx->mode = (ctx->mode + 1) & 7;
  }
  const size_t blocks = (n - p) / 8;
  if (blocks > 0) {
    rus_gamma_fbe_blocks(ctx, in + p, out + p, blocks);
    p += blocks * 8;
  }
  for (; p < n; ++p) {
    if (ctx->mode == 0) rus_encrypt_block(ctx, &ctx->N1, &ctx->N2);
    const unsigned char c = in[p] ^ reg_byte(ctx, ctx->mode);
    out[p] = c;
    set_reg_byte(ctx, ctx->mode, c);
    ctx->mode = (ctx->mode + 1) & 7;
  }
  return length;
}

int GOSTE_gamma_fbd_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length) {
  if (bad_args(ctx, in, length)) return 0;
  const size_t n = static_cast<size_t>(length);
  in = settle_io(in, out, n);
  size_t p = 0;
  for (; p < n && ctx->mode != 0; ++p) {
    const unsigned char c = in[p];
    out[p] = c ^ reg_byte(ctx, ctx->mode);
    set_reg_byte(ctx, ctx->mode, c);
    ctx->mode = (ctx->mode + 1) & 7;
  }
  const size_t blocks = (n - p) / 8;
  if (blocks > 0) {
    rus_gamma_fbd_blocks(ctx, in + p, out + p, blocks);
    p += blocks * 8;
  }
  for (; p < n; ++p) {
    if (ctx->mode == 0) rus_encrypt_block(ctx, &ctx->N1, &ctx->N2);
    const unsigned char c = in[p];
    out[p] = c ^ reg_byte(ctx, ctx->mode);
    set_reg_byte(ctx, ctx->mode, c);
    ctx->mode = (ctx->mode + 1) & 7;
  }
  return length;
}

}  // namespace qcrypto
