// Process-wide records of the curve code made while memory is short: a
// failure is not remembered, the next call tries again. (Own process, one
// test: the allocator must be in place before the first allocation, and the
// records must not exist yet when the test starts.)
#include <gtest/gtest.h>

#include <cstddef>

#include "ec_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace qcrypto::ectest {
namespace {

namespace scan = test_support::freed_scan;

bool RefuseAll(std::size_t) { return true; }

TEST(EcurveShortMemory, ProcessRecordsAreMadeOnALaterCall) {
  ASSERT_TRUE(scan::installed());
  UniquePtr<ECURVE> c = Load(ECURVE_DEF_191, ECURVE_PROJECTIVE);
  ASSERT_NE(c, nullptr);
  UniquePtr<ECURVE> other = Load(ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE);
  ASSERT_NE(other, nullptr);

  // The built-in curve the named-curve look-up compares with cannot be loaded.
  scan::refuse_allocations(RefuseAll);
  const int nid_while_short = ECURVE_find_nid(c.get());
  const BIGNUM* zero_while_short = ec_num_or_zero(nullptr);
  scan::refuse_allocations(nullptr);
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
