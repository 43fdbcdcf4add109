// Allocation failure of the hash context. OpenSSL's allocator is replaced
// before anything allocates through it (a static initialiser of this test
// program); the replacement fails allocations of a context's size on demand.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstdlib>

#include "crypto/err/err.h"
#include "crypto/rus/gost3411.h"

namespace {

bool g_fail_context_alloc = false;

void* test_malloc(size_t n, const char*, int) {
  if (g_fail_context_alloc && n == sizeof(qcrypto::GOSTH_CTX)) return nullptr;
  return std::malloc(n);
}
void* test_realloc(void* p, size_t n, const char*, int) { return std::realloc(p, n); }
void test_free(void* p, const char*, int) { std::free(p); }

const bool g_allocator_installed = CRYPTO_set_mem_functions(test_malloc, test_realloc, test_free) == 1;

struct FailContextAllocs {
  FailContextAllocs() { g_fail_context_alloc = true; }
  ~FailContextAllocs() { g_fail_context_alloc = false; }
};

TEST(GosthAlloc, NewFailsWithError) {
  ASSERT_TRUE(g_allocator_installed);
  qcrypto::ERR_clear_error();
  {
    FailContextAllocs fail;
    EXPECT_EQ(qcrypto::GOSTH_new(), nullptr);
  }
  const unsigned long e = qcrypto::ERR_get_error();
  EXPECT_EQ(qcrypto::ERR_GET_LIB_CODE(e), qcrypto::ERRLIB_GOSTE);
  EXPECT_EQ(qcrypto::ERR_GET_FUNC_CODE(e), 101);
  EXPECT_EQ(qcrypto::ERR_GET_REASON_CODE(e), qcrypto::ERR_R_MEMORY_ALLOC);
  EXPECT_EQ(qcrypto::ERR_get_error(), 0UL);

  qcrypto::GOSTH_CTX* ctx = qcrypto::GOSTH_new();
  ASSERT_NE(ctx, nullptr);
  qcrypto::GOSTH_free(ctx);
}

TEST(GosthAlloc, DigestFailsCleanly) {
  ASSERT_TRUE(g_allocator_installed);
  qcrypto::ERR_clear_error();
  unsigned char out[32] = {};
  const unsigned char msg[3] = {'a', 'b', 'c'};
  {
    FailContextAllocs fail;
    EXPECT_EQ(qcrypto::GOSTH_digest(msg, 3, nullptr, nullptr, out), nullptr);
    EXPECT_EQ(qcrypto::GOSTH_digest(msg, 3, nullptr, nullptr, nullptr), nullptr);
  }
  EXPECT_EQ(qcrypto::ERR_GET_FUNC_CODE(qcrypto::ERR_get_error()), 101);
  EXPECT_EQ(qcrypto::GOSTH_digest(msg, 3, nullptr, nullptr, out), out);
  qcrypto::ERR_clear_error();
}

}  // namespace
