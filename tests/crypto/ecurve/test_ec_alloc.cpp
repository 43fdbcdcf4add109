// Process-wide records of the curve code made while memory is short: a
// failure is not remembered, the next call tries again. (Own process, one
// test: the allocator must be in place before the first allocation, and the
// records must not exist yet when the test starts.)
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>

#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

std::atomic<bool> g_refuse{false};

void* HookMalloc(size_t n, const char*, int) { return g_refuse.load() ? nullptr : std::malloc(n); }
void* HookRealloc(void* p, size_t n, const char*, int) { return g_refuse.load() ? nullptr : std::realloc(p, n); }
void HookFree(void* p, const char*, int) { std::free(p); }

const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

TEST(EcurveShortMemory, ProcessRecordsAreMadeOnALaterCall) {
  ASSERT_TRUE(g_hooked);
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  ASSERT_NE(c, nullptr);
  UniquePtr<ECURVE> other = Load(ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  ASSERT_NE(other, nullptr);

  // The built-in curve the named-curve look-up compares with cannot be loaded.
  g_refuse = true;
  const int nid_while_short = ECURVE_find_nid(c.get());
  const BIGNUM* zero_while_short = ec_num_or_zero(nullptr);
  g_refuse = false;
  EXPECT_EQ(nid_while_short, 0);
  EXPECT_EQ(zero_while_short, nullptr);
  ERR_clear_error();

  EXPECT_EQ(ECURVE_find_nid(c.get()), 191);
  EXPECT_EQ(ECURVE_find_nid(other.get()), 0);
  const BIGNUM* zero = ec_num_or_zero(nullptr);
  ASSERT_NE(zero, nullptr);
  EXPECT_TRUE(BN_is_zero(zero));
  EXPECT_EQ(ec_num_or_zero(nullptr), zero);
}

}  // namespace
}  // namespace qcrypto::ectest
