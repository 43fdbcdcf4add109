#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "bn_test_util.h"
#include "crypto/bn/bn_ext.h"

namespace qcrypto {
namespace {

using testing::Hex;

struct FixedCase {
  const char* hex;
  int width;
  int expected_return;
  const char* expected_field;  // hex of the whole field; null: field untouched
};

class BnFixedTest : public ::testing::TestWithParam<FixedCase> {};

std::string FieldHex(const std::vector<unsigned char>& field) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : field) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

TEST_P(BnFixedTest, WritesRightAlignedOrNothing) {
  const FixedCase& c = GetParam();
  BnPtr n = Hex(c.hex);
  ASSERT_TRUE(n);
  // A canary pattern shows which bytes were written.
  std::vector<unsigned char> field(static_cast<size_t>(c.width) + 2, 0xA5);
  EXPECT_EQ(BN_bn2bin_fixed(n.get(), field.data() + 1, c.width), c.expected_return);
  EXPECT_EQ(field.front(), 0xA5);
  EXPECT_EQ(field.back(), 0xA5);
  std::vector<unsigned char> inner(field.begin() + 1, field.end() - 1);
  if (c.expected_field != nullptr) {
    EXPECT_EQ(FieldHex(inner), c.expected_field);
  } else {
    std::string untouched;
    for (int i = 0; i < c.width; ++i) untouched += "A5";
    EXPECT_EQ(FieldHex(inner), untouched);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BnFixedTest,
                         ::testing::Values(
                             // 31 bytes into 32: one leading zero byte, returns 31.
                             FixedCase{"0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", 32, 31,
                                       "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"},
                             // 33 bytes into 32: returns 0, writes nothing.
                             FixedCase{"FF0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20", 32, 0,
                                       nullptr},
                             // Exactly the width.
                             FixedCase{"80000000000000000000000000000000000000000000000000000000000000FF", 32, 32,
                                       "80000000000000000000000000000000000000000000000000000000000000FF"},
                             // Zero: all zeros, returns 0.
                             FixedCase{"0", 8, 0, "0000000000000000"},
                             // A one-byte value far from the width.
                             FixedCase{"7F", 5, 1, "000000007F"},
                             // Zero-width field: only zero fits.
                             FixedCase{"1", 0, 0, nullptr}));

TEST(BnFixed, NegativeWidthAndNullAreRejected) {
  BnPtr n = Hex("1234");
  std::array<unsigned char, 4> buf{};
  EXPECT_EQ(BN_bn2bin_fixed(n.get(), buf.data(), -1), 0);
  EXPECT_EQ(BN_bn2bin_fixed(nullptr, buf.data(), 4), 0);
  EXPECT_EQ(BN_bn2bin_fixed(n.get(), nullptr, 4), 0);
}

}  // namespace
}  // namespace qcrypto
