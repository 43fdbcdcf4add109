#include <gtest/gtest.h>

#include "bn_test_util.h"
#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

using testing::Hex;
using testing::ToHex;

void ExpectNoInverseError() {
  const unsigned long e = ERR_peek_last_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_BN);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), BNX_F_BN_MOD_BINARY_INVERSE);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), BNX_R_NO_INVERSE);
  ERR_clear_error();
}

class BnInverseTest : public ::testing::Test {
 protected:
  void SetUp() override { ERR_clear_error(); }
  BnCtxPtr ctx_{BN_CTX_new()};
};

TEST_F(BnInverseTest, MatchesOpenSslOnRandomOddModuli) {
  // Primes and odd composites of several sizes; a drawn below and above n.
  for (int bits : {2, 17, 64, 255, 256, 521, 1024}) {
    for (int round = 0; round < 12; ++round) {
      BnPtr n(BN_new()), a(BN_new()), want(BN_new());
      if (round % 3 == 0 && bits >= 17) {
        ASSERT_TRUE(BN_generate_prime_ex(n.get(), bits, 0, nullptr, nullptr, nullptr));
      } else {
        ASSERT_TRUE(BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD));
      }
      ASSERT_TRUE(BN_rand(a.get(), bits + (round % 2) * 8, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY));
      BIGNUM* ok = BN_mod_inverse(want.get(), a.get(), n.get(), ctx_.get());
      ERR_clear_error();
      BnPtr got(BN_mod_binary_inverse(nullptr, a.get(), n.get(), ctx_.get()));
      if (ok == nullptr || BN_is_one(n.get())) {
        EXPECT_FALSE(got) << "a=" << ToHex(a.get()) << " n=" << ToHex(n.get());
        if (!got) ExpectNoInverseError();
      } else {
        ASSERT_TRUE(got) << "a=" << ToHex(a.get()) << " n=" << ToHex(n.get());
        EXPECT_EQ(BN_cmp(got.get(), want.get()), 0) << "a=" << ToHex(a.get()) << " n=" << ToHex(n.get());
      }
    }
  }
}

TEST_F(BnInverseTest, EdgeValues) {
  BnPtr n = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97");
  BnPtr one = Hex("1");
  BnPtr n_minus_1 = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD96");
  BnPtr r(BN_new());
  ASSERT_EQ(BN_mod_binary_inverse(r.get(), one.get(), n.get(), ctx_.get()), r.get());
  EXPECT_TRUE(BN_is_one(r.get()));
  ASSERT_EQ(BN_mod_binary_inverse(r.get(), n_minus_1.get(), n.get(), ctx_.get()), r.get());
  EXPECT_EQ(BN_cmp(r.get(), n_minus_1.get()), 0);
  // A negative a is taken modulo n: -1 inverts to n - 1.
  BnPtr minus_one = Hex("-1");
  ASSERT_EQ(BN_mod_binary_inverse(r.get(), minus_one.get(), n.get(), ctx_.get()), r.get());
  EXPECT_EQ(BN_cmp(r.get(), n_minus_1.get()), 0);
  // The result may alias a.
  BnPtr a = Hex("1234567890ABCDEF");
  BnPtr want(BN_mod_inverse(nullptr, a.get(), n.get(), ctx_.get()));
  ASSERT_EQ(BN_mod_binary_inverse(a.get(), a.get(), n.get(), ctx_.get()), a.get());
  EXPECT_EQ(BN_cmp(a.get(), want.get()), 0);
  // A null context is allowed.
  BnPtr no_ctx(BN_mod_binary_inverse(nullptr, want.get(), n.get(), nullptr));
  ASSERT_TRUE(no_ctx);
  EXPECT_EQ(ToHex(no_ctx.get()), "1234567890ABCDEF");
}

struct NoInverseCase {
  const char* a;
  const char* n;
};

class BnNoInverseTest : public ::testing::TestWithParam<NoInverseCase> {};

TEST_P(BnNoInverseTest, FailsWithNoInverse) {
  ERR_clear_error();
  BnPtr a = Hex(GetParam().a), n = Hex(GetParam().n);
  BnPtr given(BN_new());
  ASSERT_TRUE(BN_set_word(given.get(), 77));
  EXPECT_EQ(BN_mod_binary_inverse(given.get(), a.get(), n.get(), nullptr), nullptr);
  ExpectNoInverseError();
  // A result made inside is freed (no leak under the sanitizer build).
  EXPECT_EQ(BN_mod_binary_inverse(nullptr, a.get(), n.get(), nullptr), nullptr);
  ExpectNoInverseError();
}

INSTANTIATE_TEST_SUITE_P(Cases, BnNoInverseTest,
                         ::testing::Values(NoInverseCase{"0", "61"},   // zero
                                           NoInverseCase{"61", "61"},  // a = n
                                           NoInverseCase{"6", "F"},    // gcd 3
                                           NoInverseCase{"5", "F"},    // gcd 5
                                           NoInverseCase{"3", "10"},   // even modulus
                                           NoInverseCase{"3", "1"},    // modulus 1
                                           NoInverseCase{"3", "-61"},  // negative modulus
                                           // 2^896 - 1 is divisible by 3.
                                           NoInverseCase{"3",
                                                         "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                                         "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                                         "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                                         "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}));

TEST_F(BnInverseTest, ConstantTimeFlagGivesTheSameInverse) {
  for (int round = 0; round < 8; ++round) {
    BnPtr n(BN_new()), a(BN_new());
    ASSERT_TRUE(BN_generate_prime_ex(n.get(), 256, 0, nullptr, nullptr, nullptr));
    ASSERT_TRUE(BN_rand_range(a.get(), n.get()));
    if (BN_is_zero(a.get())) continue;
    BnPtr plain(BN_mod_binary_inverse(nullptr, a.get(), n.get(), ctx_.get()));
    BN_set_flags(a.get(), BN_FLG_CONSTTIME);
    BnPtr ct(BN_mod_binary_inverse(nullptr, a.get(), n.get(), ctx_.get()));
    ASSERT_TRUE(plain && ct);
    EXPECT_EQ(BN_cmp(plain.get(), ct.get()), 0);
    BnPtr check(BN_new());
    ASSERT_TRUE(BN_mod_mul(check.get(), ct.get(), a.get(), n.get(), ctx_.get()));
    EXPECT_TRUE(BN_is_one(check.get()));
  }
  // Non-invertible values fail the same way on the branch-free path.
  BnPtr a = Hex("6"), n = Hex("F");
  BN_set_flags(a.get(), BN_FLG_CONSTTIME);
  ERR_clear_error();
  EXPECT_EQ(BN_mod_binary_inverse(nullptr, a.get(), n.get(), ctx_.get()), nullptr);
  ExpectNoInverseError();
}

}  // namespace
}  // namespace qcrypto
