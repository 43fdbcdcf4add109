// The cipher and hash records and the private tables come from the library
// allocator and go back wiped: every block allocated while the check is armed
// must hold only zero bytes when it is freed. (Own process: the allocator is
// replaced before anything allocates through it.)
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstring>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/freed_memory_scan.h"
#include "tests/support/gost_test_data.h"

namespace {

namespace scan = test_support::freed_scan;

// The probe itself: a block freed without wiping is reported.
TEST(Gost28147Alloc, ProbeSeesAnUnwipedBlock) {
  ASSERT_TRUE(scan::installed());
  scan::ZeroCheck armed;
  auto* p = static_cast<unsigned char*>(OPENSSL_malloc(64));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5a, 64);
  OPENSSL_free(p);
  const scan::ZeroCounts counts = scan::zero_counts();
  EXPECT_EQ(counts.allocated, 1);
  EXPECT_EQ(counts.freed, 1);
  EXPECT_EQ(counts.dirty, 1);
}

TEST(Gost28147Alloc, RecordsAndPrivateTablesAreWipedOnFree) {
  ASSERT_TRUE(scan::installed());
  const auto foreign = test_support::sbox_by_oid("1.2.643.2.2.31.1");
  unsigned char key[32];
  std::memset(key, 0xc3, sizeof(key));
  scan::ZeroCheck armed;
  {
    // A context record and its private table.
    qcrypto::UniquePtr<qcrypto::GOSTE_CTX> ctx(qcrypto::GOSTE_new());
    ASSERT_TRUE(ctx);
    ASSERT_EQ(qcrypto::GOSTE_ss_init(ctx.get(), 1, key, foreign.data()), 1);
    // Re-selecting releases the private table; a copy makes another.
    qcrypto::UniquePtr<qcrypto::GOSTE_CTX> copy(qcrypto::GOSTE_new());
    ASSERT_EQ(qcrypto::GOSTE_CTX_copy(copy.get(), ctx.get()), 1);
    ASSERT_EQ(qcrypto::GOSTE_set_sbox(ctx.get(), nullptr), 1);
    // The one-shot MAC makes and frees its own context.
    unsigned char mac[4];
    ASSERT_NE(qcrypto::GOSTE_mac(nullptr, key, 32, key, foreign.data(), mac), nullptr);
    // A hash context with a foreign set, fed a message.
    qcrypto::UniquePtr<qcrypto::GOSTH_CTX> h(qcrypto::GOSTH_new());
    ASSERT_TRUE(h);
    ASSERT_EQ(qcrypto::GOSTH_init(h.get(), nullptr, foreign.data()), 1);
    ASSERT_EQ(qcrypto::GOSTH_update(h.get(), key, 32), 32);
  }
  // Four records (two GOSTE_new, the MAC's own, GOSTH_new) and four private
  // tables (the first context's, the copy's, the MAC's, the hash's).
  const scan::ZeroCounts counts = scan::zero_counts();
  EXPECT_EQ(counts.allocated, 8);
  EXPECT_EQ(counts.freed, counts.allocated);
  EXPECT_EQ(counts.dirty, 0);
}

}  // namespace
