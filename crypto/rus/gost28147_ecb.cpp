// Simple substitution (ECB) over whole blocks and over byte lengths.
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"

namespace qcrypto {
namespace {

constexpr int kChunkBytes = 16384;

}  // namespace

int GOSTE_ss_init(GOSTE_CTX* ctx, int encrypt, const unsigned char* key, const unsigned char* sbox) {
  if (ctx == nullptr || key == nullptr) return 0;
  GOSTE_clear(ctx);
  GOSTE_set_key(ctx, key);
  if (!GOSTE_set_sbox(ctx, sbox)) {
    GOSTE_clear(ctx);  // no key is left behind in a context that cannot run
    return 0;
  }
  ctx->mode = encrypt;
  return 1;
}

int GOSTE_ss_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int blocks) {
  if (ctx == nullptr || in == nullptr || blocks < 1 || ctx->table == nullptr) return 0;
  const size_t n = static_cast<size_t>(blocks);
  in = gost_detail::settle_io(in, out, n * 8);
  rus_ecb_blocks(ctx, in, out, n, ctx->mode);
  return blocks;
}

// Only whole blocks are processed: a trailing partial block is neither read
// nor written, and the result says how many bytes were done.
int GOSTE_ss_cipher(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int length) {
  if (ctx == nullptr || in == nullptr || length < 1) return 0;
  // An output that overlaps the input is settled once for the whole call:
  // settled per chunk, the copy for one chunk would overwrite the input of
  // the next when the output lies ahead of the input.
  const size_t whole = static_cast<size_t>(length) / 8 * 8;
  if (ctx->table != nullptr && whole > 0) in = gost_detail::settle_io(in, out, whole);
  int done = 0;
  while (length - done >= 8) {
    const int chunk = length - done < kChunkBytes ? length - done : kChunkBytes;
    const int blocks = chunk / 8;
    unsigned char* o = out != nullptr ? out + done : nullptr;
    const int got = GOSTE_ss_update(ctx, in + done, o, blocks);
    done += got * 8;
    if (got != blocks) break;
  }
  return done;
}

}  // namespace qcrypto
