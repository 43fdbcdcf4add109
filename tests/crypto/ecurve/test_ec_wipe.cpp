// The multiplications leave no copy of the number or of the product in freed
// memory: every block released through OpenSSL's allocator is scanned. (Own
// process: the allocator hooks must be in place before the first allocation.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "crypto/ec/ec_fp256_adx.h"
#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

std::mutex g_mutex;
std::vector<std::vector<unsigned char>> g_patterns;
int g_hits = 0;

void ScanLocked(const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (const auto& pat : g_patterns) {
    if (n >= pat.size() && std::search(b, b + n, pat.begin(), pat.end()) != b + n) ++g_hits;
  }
}

void* HookMalloc(size_t n, const char*, int) { return std::malloc(n); }
void* HookRealloc(void* p, size_t n, const char*, int) {
  if (p == nullptr) return std::malloc(n);
  const size_t old = malloc_usable_size(p);
  void* q = std::malloc(n);
  if (q == nullptr) return nullptr;
  std::memcpy(q, p, std::min(old, n));
  {
    std::lock_guard lock(g_mutex);
    ScanLocked(p, old);
  }
  std::free(p);
  return q;
}
void HookFree(void* p, const char*, int) {
  if (p == nullptr) return;
  {
    std::lock_guard lock(g_mutex);
    ScanLocked(p, malloc_usable_size(p));
  }
  std::free(p);
}

const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

// A number in both byte orders; 24 bytes recognise it.
void Watch(const BIGNUM* v) {
  std::vector<unsigned char> be(32);
  ASSERT_EQ(BN_bn2binpad(v, be.data(), 32), 32);
  std::vector<unsigned char> le(be.rbegin(), be.rend());
  std::lock_guard lock(g_mutex);
  g_patterns.emplace_back(be.begin() + 8, be.end());
  g_patterns.emplace_back(le.begin(), le.begin() + 24);
}

int Hits() {
  std::lock_guard lock(g_mutex);
  return g_hits;
}

void Reset() {
  std::lock_guard lock(g_mutex);
  g_patterns.clear();
  g_hits = 0;
}

using MulFn = int (*)(ECPOINT*, const BIGNUM*);

struct MulCase {
  const char* name;
  MulFn fn;
};

TEST(EcurveWipe, MultiplicationsLeaveNoNumberOrProduct) {
  ASSERT_TRUE(g_hooked);
  const MulCase muls[] = {{"general", ECPOINT_mul}, {"generator", ECPOINT_mul_fbw}, {"signed binary", ec_mul_binary}};
  const bool had_adx = fp256::adx_enabled();
  for (bool adx : {true, false}) {
    fp256::set_adx_enabled(adx);
    for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
      for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
        for (const auto& m : muls) {
          SCOPED_TRACE(std::string(m.name) + (adx ? " adx" : " portable"));
          Reset();
          UniquePtr<ECURVE> c = Load(*def, kind);
          ASSERT_NE(c, nullptr);
          BnPtr k = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
          BnCtxPtr ctx(BN_CTX_new());
          BN_nnmod(k.get(), k.get(), c->q, ctx.get());
          // The product is known before the run, so its coordinates can be
          // watched while it is made.
          UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
          ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
          ASSERT_TRUE(ECPOINT_to_affine(want.get()));
          Watch(k.get());
          Watch(want->X);
          Watch(want->Y);
          {
            UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
            ASSERT_EQ(m.fn(p.get(), k.get()), 1);
            EXPECT_EQ(ECPOINT_cmp(p.get(), want.get()), 0);
            // The table algorithm too, for the generator.
            if (c->P->fbw != nullptr) {
              UniquePtr<ECPOINT> t(ECPOINT_dup(c->P));
              ASSERT_EQ(ec_mul_window_table(t.get(), k.get(), c->P->fbw), 1);
            }
          }
          BN_clear(k.get());
          BN_clear(want->X);
          BN_clear(want->Y);
          EXPECT_EQ(Hits(), 0);
        }
      }
    }
  }
  fp256::set_adx_enabled(had_adx);
}

}  // namespace
}  // namespace qcrypto::ectest
