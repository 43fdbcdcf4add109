// Allocation failure of the hash context. (Own process: OpenSSL's allocator
// is replaced before anything allocates through it, and fails allocations of
// a context's size on demand.)
#include <gtest/gtest.h>

#include <cstddef>

#include "crypto/err/err.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/freed_memory_scan.h"

namespace {

namespace scan = test_support::freed_scan;

struct FailContextAllocs {
  FailContextAllocs() {
    scan::refuse_allocations([](std::size_t n) { return n == sizeof(qcrypto::GOSTH_CTX); });
  }
  ~FailContextAllocs() { scan::refuse_allocations(nullptr); }
};

TEST(GosthAlloc, NewFailsWithError) {
  ASSERT_TRUE(scan::installed());
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
  ASSERT_TRUE(scan::installed());
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
