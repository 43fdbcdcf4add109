#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "bn_test_util.h"
#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"

namespace qcrypto {
namespace {

using testing::Hex;
using testing::ToHex;

class BnRandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_clear_error();
    RAND_set_rand_method(RAND_fixed_method());
  }
  void TearDown() override { RAND_set_rand_method(nullptr); }
};

TEST_F(BnRandTest, LoadsTheGeneratorBytesBigEndian) {
  const std::array<unsigned char, 5> bytes = {0x01, 0x02, 0x03, 0x04, 0x05};
  RAND_fixed_set_bytes(bytes);
  BnPtr n(BN_new());
  ASSERT_EQ(BN_rand_bytes(n.get(), 5), 1);
  EXPECT_EQ(ToHex(n.get()), "0102030405");
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
}

TEST_F(BnRandTest, ThirtyTwoBytesStayBelowTwoTo256AndIncludeZero) {
  std::vector<unsigned char> bytes(32, 0xFF);
  bytes.resize(64, 0x00);
  RAND_fixed_set_bytes(bytes);
  BnPtr n(BN_new());
  ASSERT_EQ(BN_rand_bytes(n.get(), 32), 1);
  EXPECT_EQ(BN_num_bits(n.get()), 256);
  EXPECT_EQ(ToHex(n.get()), std::string(64, 'F'));
  ASSERT_EQ(BN_rand_bytes(n.get(), 32), 1);
  EXPECT_TRUE(BN_is_zero(n.get()));
}

TEST_F(BnRandTest, ConsumesExactlyTheLengthAsked) {
  std::vector<unsigned char> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i + 1);
  RAND_fixed_set_bytes(bytes);
  BnPtr n(BN_new());
  for (int len : {1, 7, 32, 60}) {
    const size_t before = RAND_fixed_remaining();
    ASSERT_EQ(BN_rand_bytes(n.get(), len), 1);
    EXPECT_EQ(before - RAND_fixed_remaining(), static_cast<size_t>(len));
    EXPECT_LE(BN_num_bytes(n.get()), len);
  }
}

TEST_F(BnRandTest, ShortGeneratorOutputFailsWithRandLib) {
  const std::array<unsigned char, 3> bytes = {0xAA, 0xBB, 0xCC};
  RAND_fixed_set_bytes(bytes);
  BnPtr n(BN_new());
  ASSERT_TRUE(BN_set_word(n.get(), 42));
  EXPECT_EQ(BN_rand_bytes(n.get(), 4), 0);
  EXPECT_EQ(BN_get_word(n.get()), 42u);  // left as it was
  const unsigned long e = ERR_peek_last_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_BN);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), BNX_F_BN_RAND_BYTES);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), ERRLIB_RAND);
}

TEST_F(BnRandTest, NoMethodFails) {
  RAND_set_rand_method(nullptr);
  BnPtr n(BN_new());
  EXPECT_EQ(BN_rand_bytes(n.get(), 8), 0);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), BNX_F_BN_RAND_BYTES);
}

TEST_F(BnRandTest, ZeroLengthIsZeroAndNegativeFails) {
  BnPtr n(BN_new());
  ASSERT_TRUE(BN_set_word(n.get(), 42));
  EXPECT_EQ(BN_rand_bytes(n.get(), 0), 1);
  EXPECT_TRUE(BN_is_zero(n.get()));
  EXPECT_EQ(BN_rand_bytes(n.get(), -1), 0);
  EXPECT_EQ(BN_rand_bytes(nullptr, 4), 0);
}

// A draw longer than the asked bits loses only the bits above; a draw that is
// already short (top words zero, which BN_mask_bits refuses) is kept as drawn.
TEST_F(BnRandTest, RandBitsCutsOnlyWhatIsAbove) {
  struct Case {
    int bits;
    std::vector<unsigned char> drawn;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {12, {0xFF, 0xFF}, "0FFF"},
      {12, {0x0A, 0xBC}, "0ABC"},
      {255, std::vector<unsigned char>(32, 0xFF), "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"},
      {255,
       [] {
         std::vector<unsigned char> v(32, 0x00);
         v[31] = 0x05;
         return v;
       }(),
       "05"},
      {8, {0x00}, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    RAND_fixed_set_bytes(c.drawn);
    BnPtr n(BN_new());
    ASSERT_EQ(BN_rand_bits(n.get(), c.bits), 1);
    EXPECT_EQ(ToHex(n.get()), c.expected);
    EXPECT_EQ(RAND_fixed_remaining(), 0u);
  }
}

TEST_F(BnRandTest, DigestModReducesAndNeverGivesZero) {
  BnPtr q = Hex("FB");
  BnPtr m(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  struct Case {
    std::vector<unsigned char> digest;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x00}, "05"},  // 256 mod 251, read big-endian
      {{0xFB}, "01"},        // q itself reduces to 0, which becomes 1
      {{0x00, 0x00}, "01"}, {{}, "01"}, {{0x7F}, "7F"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(BN_digest_mod(m.get(), c.digest.data(), static_cast<int>(c.digest.size()), q.get(), ctx.get()), 1);
    EXPECT_EQ(ToHex(m.get()), c.expected);
  }
  EXPECT_EQ(BN_digest_mod(m.get(), nullptr, 4, q.get(), ctx.get()), 0);
  EXPECT_EQ(BN_digest_mod(m.get(), nullptr, -1, q.get(), ctx.get()), 0);
}

}  // namespace
}  // namespace qcrypto
