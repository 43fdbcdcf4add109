// Secrets leave no copy in freed memory: every block released through
// OpenSSL's allocator is scanned for the private number, the nonce and the
// agreed value while signing, verifying and agreeing, on success and failure
// paths. (Own process: the allocator hooks must be set before any allocation.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "tests/crypto/ecgost/ecgost_test_util.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

// Patterns searched in freed blocks, and how often each was found.
std::mutex g_mutex;
std::vector<std::vector<unsigned char>> g_patterns;
std::vector<int> g_hits;

void* HookMalloc(size_t n, const char*, int) { return std::malloc(n); }
void* HookRealloc(void* p, size_t n, const char*, int) {
  // A moved block's old copy must not keep a secret either.
  if (p == nullptr) return std::malloc(n);
  size_t old = malloc_usable_size(p);
  void* q = std::malloc(n);
  if (q == nullptr) return nullptr;
  std::memcpy(q, p, std::min(old, n));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_patterns.size(); ++i) {
      const auto& pat = g_patterns[i];
      if (old >= pat.size() && std::search(static_cast<unsigned char*>(p), static_cast<unsigned char*>(p) + old,
                                           pat.begin(), pat.end()) != static_cast<unsigned char*>(p) + old) {
        ++g_hits[i];
      }
    }
  }
  std::free(p);
  return q;
}
void HookFree(void* p, const char*, int) {
  if (p == nullptr) return;
  size_t n = malloc_usable_size(p);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto* b = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < g_patterns.size(); ++i) {
      const auto& pat = g_patterns[i];
      if (n >= pat.size() && std::search(b, b + n, pat.begin(), pat.end()) != b + n) ++g_hits[i];
    }
  }
  std::free(p);
}

const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

// Watches a number in both byte orders (big-endian buffers and the
// little-endian words of a BIGNUM); the low 24 bytes suffice to recognise it.
void Watch(const BIGNUM* v) {
  std::vector<unsigned char> be(32);
  BN_bn2binpad(v, be.data(), 32);
  std::vector<unsigned char> le(be.rbegin(), be.rend());
  std::lock_guard<std::mutex> lock(g_mutex);
  g_patterns.emplace_back(be.begin() + 8, be.end());
  g_patterns.emplace_back(le.begin(), le.begin() + 24);
  g_hits.resize(g_patterns.size(), 0);
}

int Hits() {
  std::lock_guard<std::mutex> lock(g_mutex);
  int total = 0;
  for (int h : g_hits) total += h;
  return total;
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_patterns.clear();
  g_hits.clear();
}

TEST(EcgostWipe, HooksAreInstalled) { ASSERT_TRUE(g_hooked); }

TEST(EcgostWipe, SigningLeavesNoPrivateNumberOrNonce) {
  ASSERT_TRUE(g_hooked);
  Reset();
  for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    CurvePtr curve = LoadCurve(def, ECURVE_PROJECTIVE);
    BnPtr d = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
    BnPtr k = Hex("3A2B1C0D9E8F7A6B5C4D3E2F1A0B9C8D7E6F5A4B3C2D1E0F9A8B7C6D5E4F3A2B");
    Watch(d.get());
    Watch(k.get());
    {
      KeyPtr key = MakeKey(curve.get(), d.get());
      ASSERT_NE(key, nullptr);
      unsigned char digest[32] = {1, 2, 3, 4};
      unsigned char out[72];
      unsigned int len = 0;
      auto kb = Fixed(k.get(), 32);
      {
        FixedRandom rand(kb);
        ASSERT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, out, &len), 1);
      }
      EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, out, static_cast<int>(len)), 1);
      // Failure paths: a dry source mid-draw, then a key whose d is out of range.
      {
        FixedRandom rand(std::vector<unsigned char>(kb.begin(), kb.begin() + 31));
        EXPECT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, out, &len), 0);
      }
      EcdhPtr ecdh(ECGOST_to_ECDH(key.get()));
      ASSERT_NE(ecdh, nullptr);
    }
    BN_clear(d.get());
    BN_clear(k.get());
  }
  EXPECT_EQ(Hits(), 0);
}

TEST(EcgostWipe, AgreementLeavesNoPrivateOrSharedValue) {
  ASSERT_TRUE(g_hooked);
  Reset();
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  BnPtr da = Hex("71E2D3C4B5A69788796A5B4C3D2E1F00112233445566778899AABBCCDDEEFF01");
  BnPtr db = Hex("0FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA98765431");
  Watch(da.get());
  Watch(db.get());
  {
    EcdhPtr a(ECDH_new(curve.get(), 0));
    EcdhPtr b(ECDH_new(curve.get(), 0));
    a->private_key = BN_dup(da.get());
    b->private_key = BN_dup(db.get());
    ASSERT_EQ(ECDH_generate_key(a.get()), 1);
    ASSERT_EQ(ECDH_generate_key(b.get()), 1);
    ASSERT_EQ(ECDH_compute_key(b->public_key, a.get()), 1);
    Watch(a->shared);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    // A refused peer, then a second agreement that replaces the first value.
    PointPtr inf(ECPOINT_new(curve.get()));
    ECPOINT_set_infinity(inf.get());
    EXPECT_EQ(ECDH_compute_key(inf.get(), b.get()), 0);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    // A drawn private number.
    EcdhPtr c(ECDH_new(curve.get(), 0));
    {
      auto bytes = Fixed(da.get(), 32);
      bytes[31] ^= 0x5A;
      BnPtr dc(BN_bin2bn(bytes.data(), 32, nullptr));
      Watch(dc.get());
      FixedRandom rand(bytes);
      ASSERT_EQ(ECDH_generate_key(c.get()), 1);
      ASSERT_EQ(ECDH_compute_key(a->public_key, c.get()), 1);
      BN_clear(dc.get());
    }
  }
  BN_clear(da.get());
  BN_clear(db.get());
  EXPECT_EQ(Hits(), 0);
}

}  // namespace
}  // namespace qcrypto
