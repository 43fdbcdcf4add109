// Multi-block code outside the AVX2 batches: several independent blocks go
// through each round together, so the table loads of one block overlap the
// others' instead of waiting on a single round's latency chain. Where the
// constant-time round runs, the blocks share its vectors instead (up to its
// lane count at a time).
#include <openssl/crypto.h>

#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost28147_round.h"

namespace qcrypto::gost_detail {
namespace {

constexpr int kWays = 4;

// The 32 round keys in order for one direction.
void schedule(const uint32_t* key, bool encrypt, uint32_t* ks) {
  for (int r = 0; r < 32; ++r) {
    const bool forward = encrypt ? r < 24 : r < 8;
    ks[r] = forward ? key[r & 7] : key[7 - (r & 7)];
  }
}

// W blocks through 32 rounds; a, b enter as N1, N2 and leave as N1, N2.
template <int W>
inline void crypt_ways(const uint32_t* t, const uint32_t* ks, uint32_t* a, uint32_t* b) {
  for (int r = 0; r < 32; r += 2) {
    const uint32_t k0 = ks[r], k1 = ks[r + 1];
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i) b[i] = gost_round(t, b[i], a[i] + k0);
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i) a[i] = gost_round(t, a[i], b[i] + k1);
  }
#pragma GCC unroll 8
  for (int i = 0; i < W; ++i) {
    const uint32_t x = a[i];
    a[i] = b[i];
    b[i] = x;
  }
}

constexpr int kMaxGroup = kMaxLanes;

// Blocks taken together: all that fit the vectors, else 4 or 1 on the table.
int group_size(const CtRound* ct, size_t blocks) {
  if (ct != nullptr) return blocks < static_cast<size_t>(ct->lanes) ? static_cast<int>(blocks) : ct->lanes;
  return blocks >= kWays ? kWays : 1;
}

// w blocks (from group_size) through 32 rounds; a, b hold N1, N2.
void crypt_group(const uint32_t* table, const uint32_t* key, const uint32_t* ks, bool encrypt, const CtRound* ct,
                 uint32_t* a, uint32_t* b, int w) {
  if (ct != nullptr) {
    ct->crypt_lanes(nibbles_of(table), key, encrypt, a, b, w);
  } else if (w == kWays) {
    crypt_ways<kWays>(table, ks, a, b);
  } else {
    crypt_ways<1>(table, ks, a, b);
  }
}

}  // namespace

void ecb_portable(const uint32_t* table, const uint32_t* key, const unsigned char* in, unsigned char* out,
                  size_t blocks, bool encrypt) {
  const CtRound* ct = ct_round();
  uint32_t ks[32];
  schedule(key, encrypt, ks);
  uint32_t a[kMaxGroup], b[kMaxGroup];
  while (blocks > 0) {
    const int w = group_size(ct, blocks);
    for (int i = 0; i < w; ++i) {
      a[i] = load_le32(in + 8 * i);
      b[i] = load_le32(in + 8 * i + 4);
    }
    crypt_group(table, key, ks, encrypt, ct, a, b, w);
    for (int i = 0; i < w; ++i) {
      store_le32(out + 8 * i, a[i]);
      store_le32(out + 8 * i + 4, b[i]);
    }
    in += 8 * w;
    out += 8 * w;
    blocks -= static_cast<size_t>(w);
  }
  // Decryption leaves plaintext here: unwrapped keys come back this way.
  OPENSSL_cleanse(ks, sizeof(ks));
  OPENSSL_cleanse(a, sizeof(a));
  OPENSSL_cleanse(b, sizeof(b));
}

void gamma_portable(const uint32_t* table, const uint32_t* key, uint32_t& n3, uint32_t& n4, const unsigned char* in,
                    unsigned char* out, size_t blocks) {
  const CtRound* ct = ct_round();
  uint32_t ks[32];
  schedule(key, true, ks);
  uint32_t a[kMaxGroup], b[kMaxGroup];
  uint32_t c3 = n3, c4 = n4;
  while (blocks > 0) {
    const int w = group_size(ct, blocks);
    for (int i = 0; i < w; ++i) {
      gamma_advance(c3, c4);
      a[i] = c3;
      b[i] = c4;
    }
    crypt_group(table, key, ks, true, ct, a, b, w);
    for (int i = 0; i < w; ++i) {
      store_le32(out + 8 * i, load_le32(in + 8 * i) ^ a[i]);
      store_le32(out + 8 * i + 4, load_le32(in + 8 * i + 4) ^ b[i]);
    }
    in += 8 * w;
    out += 8 * w;
    blocks -= static_cast<size_t>(w);
  }
  n3 = c3;
  n4 = c4;
  OPENSSL_cleanse(ks, sizeof(ks));
  OPENSSL_cleanse(a, sizeof(a));
  OPENSSL_cleanse(b, sizeof(b));
}

void fbd_portable(const uint32_t* table, const uint32_t* key, uint32_t& n1, uint32_t& n2, const unsigned char* in,
                  unsigned char* out, size_t blocks) {
  const CtRound* ct = ct_round();
  uint32_t ks[32];
  schedule(key, true, ks);
  uint32_t a[kMaxGroup], b[kMaxGroup], c1[kMaxGroup], c2[kMaxGroup];
  uint32_t p1 = n1, p2 = n2;
  while (blocks > 0) {
    const int w = group_size(ct, blocks);
    // All cipher blocks are read before any plaintext is written (in place).
    for (int i = 0; i < w; ++i) {
      a[i] = p1;
      b[i] = p2;
      p1 = c1[i] = load_le32(in + 8 * i);
      p2 = c2[i] = load_le32(in + 8 * i + 4);
    }
    crypt_group(table, key, ks, true, ct, a, b, w);
    for (int i = 0; i < w; ++i) {
      store_le32(out + 8 * i, c1[i] ^ a[i]);
      store_le32(out + 8 * i + 4, c2[i] ^ b[i]);
    }
    in += 8 * w;
    out += 8 * w;
    blocks -= static_cast<size_t>(w);
  }
  n1 = p1;
  n2 = p2;
  OPENSSL_cleanse(ks, sizeof(ks));
  OPENSSL_cleanse(a, sizeof(a));
  OPENSSL_cleanse(b, sizeof(b));
}

}  // namespace qcrypto::gost_detail
