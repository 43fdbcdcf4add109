// Arithmetic modulo a group order, for the signature equations.
#include "crypto/ec/ec_scalar.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/cclib/ct.h"
#include "crypto/rand/rand.h"

namespace qcrypto::scalar {
namespace {

using fp256::u64;

constexpr int kMaxDraws = 128;

// 32 big-endian bytes to four little-endian limbs; a fixed loop.
void LimbsFromBe(u64 limbs[4], const unsigned char bytes[32]) {
  for (int i = 0; i < 4; ++i) {
    u64 v = 0;
    for (int j = 0; j < 8; ++j) v = (v << 8) | bytes[8 * (3 - i) + j];
    limbs[i] = v;
  }
}

// All ones when a < b (as 256-bit numbers), from the borrow of a - b.
u64 LessMask(const u64 a[4], const u64 b[4]) {
  u64 t;
  unsigned char borrow = 0;
  for (int i = 0; i < 4; ++i) borrow = fp256::subb(borrow, a[i], b[i], &t);
  return 0 - static_cast<u64>(borrow);
}

// Contexts are small (about 200 bytes) and a program meets few orders: the
// built-in ones and those of a few explicit parameter sets.
class FieldCache {
 public:
  std::shared_ptr<const ScalarField> get(const BIGNUM* q) {
    std::array<unsigned char, 32> key{};
    if (BN_bn2binpad(q, key.data(), static_cast<int>(key.size())) != static_cast<int>(key.size())) return nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& e : entries_) {
        if (e.first == key) return e.second;
      }
    }
    auto made = std::make_shared<ScalarField>();
    if (!fp256::field_init(made->f, q)) return nullptr;
    made->bits = BN_num_bits(q);
    made->bytes = (made->bits + 7) / 8;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& e : entries_) {
      if (e.first == key) return e.second;
    }
    if (entries_.size() >= kCapacity) entries_.erase(entries_.begin());
    entries_.emplace_back(key, made);
    return made;
  }

 private:
  static constexpr std::size_t kCapacity = 8;
  std::mutex mutex_;
  std::vector<std::pair<std::array<unsigned char, 32>, std::shared_ptr<const ScalarField>>> entries_;
};

FieldCache& Cache() {
  static auto* cache = new FieldCache();  // never destroyed: used until the process ends
  return *cache;
}

}  // namespace

std::shared_ptr<const ScalarField> scalar_field_for(const BIGNUM* q) {
  if (q == nullptr || BN_is_negative(q) || !BN_is_odd(q) || BN_num_bits(q) > 256 || BN_num_bits(q) < 3 ||
      BN_is_word(q, 3)) {
    return nullptr;
  }
  return Cache().get(q);
}

bool scalar_from_bn(const ScalarField& s, Fe& out, const BIGNUM* x) {
  if (x == nullptr || BN_is_negative(x)) return false;
  unsigned char bytes[32];
  const bool ok = BN_bn2lebinpad(x, bytes, sizeof bytes) == static_cast<int>(sizeof bytes);
  if (ok) {
    u64 limbs[4];
    for (int i = 0; i < 4; ++i) {
      u64 v = 0;
      for (int j = 7; j >= 0; --j) v = (v << 8) | bytes[8 * i + j];
      limbs[i] = v;
    }
    fp256::fe_from_limbs(s.f, out, limbs);
    OPENSSL_cleanse(limbs, sizeof limbs);
  }
  OPENSSL_cleanse(bytes, sizeof bytes);
  return ok;
}

bool scalar_in_range(const ScalarField& s, const BIGNUM* x) {
  if (x == nullptr || BN_is_negative(x)) return false;
  unsigned char bytes[32];
  if (BN_bn2lebinpad(x, bytes, sizeof bytes) != static_cast<int>(sizeof bytes)) return false;
  u64 limbs[4];
  for (int i = 0; i < 4; ++i) {
    u64 v = 0;
    for (int j = 7; j >= 0; --j) v = (v << 8) | bytes[8 * i + j];
    limbs[i] = v;
  }
  u64 usable = LessMask(limbs, s.f.p) & ~fp256::ct_zero_mask(limbs[0] | limbs[1] | limbs[2] | limbs[3]);
  QCRYPTO_CT_DECLASSIFY(&usable, sizeof usable);
  OPENSSL_cleanse(bytes, sizeof bytes);
  OPENSSL_cleanse(limbs, sizeof limbs);
  return usable != 0;
}

void scalar_from_bytes(const ScalarField& s, Fe& out, const unsigned char bytes[32]) {
  u64 limbs[4];
  LimbsFromBe(limbs, bytes);
  fp256::fe_from_limbs(s.f, out, limbs);
  OPENSSL_cleanse(limbs, sizeof limbs);
}

bool scalar_to_bn(const ScalarField& s, BIGNUM* out, const Fe& a) {
  u64 limbs[4];
  unsigned char bytes[32];
  fp256::fe_to_limbs(s.f, limbs, a);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) bytes[8 * i + j] = static_cast<unsigned char>(limbs[i] >> (8 * j));
  }
  const bool ok = BN_lebin2bn(bytes, sizeof bytes, out) != nullptr;
  OPENSSL_cleanse(limbs, sizeof limbs);
  OPENSSL_cleanse(bytes, sizeof bytes);
  return ok;
}

void scalar_from_digest(const ScalarField& s, Fe& out, const unsigned char* digest, std::size_t length) {
  // Horner's rule over 32-byte chunks, most significant first:
  // (v * 2^256 + c) * R = mont(v * R, R^2) + mont(c, R^2) with R = 2^256.
  Fe acc{};
  std::size_t first = length % 32;
  if (first == 0 && length > 0) first = 32;
  std::size_t pos = 0;
  while (pos < length) {
    const std::size_t take = pos == 0 ? first : 32;
    unsigned char chunk[32] = {};
    for (std::size_t i = 0; i < take; ++i) chunk[32 - take + i] = digest[pos + i];
    u64 limbs[4];
    LimbsFromBe(limbs, chunk);
    Fe c;
    fp256::fe_from_limbs(s.f, c, limbs);
    fp256::fe_mul(s.f, acc, acc, s.f.r2);
    fp256::fe_add(s.f, acc, acc, c);
    pos += take;
  }
  fp256::fe_cmov(acc, s.f.one, fp256::fe_is_zero(acc));
  out = acc;
}

int scalar_draw(const ScalarField& s, Fe& k, BIGNUM* k_bn) {
  if (k_bn == nullptr || s.bytes < 1 || s.bytes > 32) return 0;
  const unsigned top_mask = s.bits % 8 == 0 ? 0xFFu : (1u << (s.bits % 8)) - 1u;
  unsigned char buf[32];
  u64 limbs[4];
  bool ok = false;
  bool broken = false;
  for (int draw = 0; draw < kMaxDraws && !ok && !broken; ++draw) {
    std::fill(buf, buf + sizeof buf, 0);
    unsigned char* drawn = buf + (32 - s.bytes);
    // The number handed to the point or power code is made here, as part of
    // the draw; from here on the nonce is secret.
    broken = RAND_bytes(drawn, s.bytes) < s.bytes;
    if (broken) break;
    drawn[0] = static_cast<unsigned char>(drawn[0] & top_mask);
    broken = BN_bin2bn(buf, sizeof buf, k_bn) == nullptr;
    if (broken) break;
    QCRYPTO_CT_SECRET(buf, sizeof buf);
    ct_secret_bn(k_bn);
    LimbsFromBe(limbs, buf);
    u64 accept = LessMask(limbs, s.f.p) & ~fp256::ct_zero_mask(limbs[0] | limbs[1] | limbs[2] | limbs[3]);
    // Rejecting a draw only tells that it was out of range.
    QCRYPTO_CT_DECLASSIFY(&accept, sizeof accept);
    ok = accept != 0;
  }
  if (ok) fp256::fe_from_limbs(s.f, k, limbs);
  OPENSSL_cleanse(buf, sizeof buf);
  OPENSSL_cleanse(limbs, sizeof limbs);
  if (!ok) BN_clear(k_bn);
  return ok ? 1 : broken ? 0 : -1;
}

}  // namespace qcrypto::scalar
