#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "bn_test_util.h"
#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

using testing::Hex;
using testing::ToHex;

void ExpectSqrtError() {
  const unsigned long e = ERR_peek_last_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_BN);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), BNX_F_BN_SQRT);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), ERRLIB_BN);  // "BN lib"
  ERR_clear_error();
}

struct PrimeCase {
  const char* name;
  const char* p;
  int p_mod_8;
};

// Fixed primes of every class mod 8, among them a p = 1 mod 8 with a long
// chain of twos (p - 1 = 2^96 * s) for the Tonelli-Shanks loop.
const PrimeCase kPrimes[] = {
    {"2^255+0x431", "8000000000000000000000000000000000000000000000000000000000000431", 1},
    {"2^224-2^96+1", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001", 1},
    {"2^64-2^32+1", "FFFFFFFF00000001", 1},
    {"2^256-617", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97", 7},
    {"2^255-19", "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED", 5},
    {"2^127-1", "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 7},
    {"P-256", "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF", 7},
    {"secp256k1", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F", 7},
    {"97", "61", 1},
    {"13", "D", 5},
    {"11", "B", 3},
    {"3", "3", 3},
    {"5", "5", 5},
    {"17", "11", 1},
};

class BnSqrtPrimeTest : public ::testing::TestWithParam<PrimeCase> {
 protected:
  void SetUp() override { ERR_clear_error(); }
  BnCtxPtr ctx_{BN_CTX_new()};
};

// Roots of random squares in both parities agree with OpenSSL's BN_mod_sqrt.
TEST_P(BnSqrtPrimeTest, RootsOfSquaresMatchOpenSsl) {
  BnPtr p = Hex(GetParam().p);
  ASSERT_TRUE(p);
  ASSERT_EQ(BN_mod_word(p.get(), 8), static_cast<BN_ULONG>(GetParam().p_mod_8));
  ASSERT_EQ(BN_check_prime(p.get(), ctx_.get(), nullptr), 1);
  for (int round = 0; round < 16; ++round) {
    BnPtr r(BN_new()), a(BN_new()), ossl(BN_new()), other(BN_new()), y(BN_new()), sq(BN_new());
    ASSERT_TRUE(BN_rand_range(r.get(), p.get()));
    if (BN_is_zero(r.get())) continue;
    ASSERT_TRUE(BN_mod_sqr(a.get(), r.get(), p.get(), ctx_.get()));
    ASSERT_TRUE(BN_mod_sqrt(ossl.get(), a.get(), p.get(), ctx_.get()));
    ASSERT_TRUE(BN_sub(other.get(), p.get(), ossl.get()));
    for (int odd : {0, 1}) {
      ASSERT_EQ(BN_sqrt(y.get(), a.get(), p.get(), odd, ctx_.get()), 1) << "a=" << ToHex(a.get());
      EXPECT_EQ(BN_is_odd(y.get()) != 0, odd == 1);
      EXPECT_LT(BN_cmp(y.get(), p.get()), 0);
      EXPECT_TRUE(BN_cmp(y.get(), ossl.get()) == 0 || BN_cmp(y.get(), other.get()) == 0) << "a=" << ToHex(a.get());
      ASSERT_TRUE(BN_mod_sqr(sq.get(), y.get(), p.get(), ctx_.get()));
      EXPECT_EQ(BN_cmp(sq.get(), a.get()), 0);
    }
    // a is taken modulo p.
    ASSERT_TRUE(BN_add(a.get(), a.get(), p.get()));
    ASSERT_EQ(BN_sqrt(y.get(), a.get(), p.get(), 1, nullptr), 1);
    EXPECT_TRUE(BN_cmp(y.get(), ossl.get()) == 0 || BN_cmp(y.get(), other.get()) == 0);
  }
}

TEST_P(BnSqrtPrimeTest, NonSquaresFailAndZeroTheResult) {
  BnPtr p = Hex(GetParam().p);
  int seen = 0;
  for (int round = 0; round < 64 && seen < 8; ++round) {
    BnPtr a(BN_new()), y(BN_new());
    ASSERT_TRUE(BN_rand_range(a.get(), p.get()));
    if (BN_kronecker(a.get(), p.get(), ctx_.get()) != -1) continue;
    ++seen;
    ASSERT_TRUE(BN_set_word(y.get(), 12345));
    EXPECT_EQ(BN_sqrt(y.get(), a.get(), p.get(), round & 1, ctx_.get()), 0) << "a=" << ToHex(a.get());
    EXPECT_TRUE(BN_is_zero(y.get()));
    ExpectSqrtError();
  }
  EXPECT_GT(seen, 0);
}

TEST_P(BnSqrtPrimeTest, ZeroHasTheEvenRootOnly) {
  BnPtr p = Hex(GetParam().p);
  BnPtr zero(BN_new()), y(BN_new());
  BN_zero(zero.get());
  ASSERT_TRUE(BN_set_word(y.get(), 9));
  EXPECT_EQ(BN_sqrt(y.get(), zero.get(), p.get(), 0, ctx_.get()), 1);
  EXPECT_TRUE(BN_is_zero(y.get()));
  // p itself is 0 modulo p.
  ASSERT_TRUE(BN_set_word(y.get(), 9));
  EXPECT_EQ(BN_sqrt(y.get(), p.get(), p.get(), 0, ctx_.get()), 1);
  EXPECT_TRUE(BN_is_zero(y.get()));
  // No odd number below p squares to 0.
  EXPECT_EQ(BN_sqrt(y.get(), zero.get(), p.get(), 1, ctx_.get()), 0);
  EXPECT_TRUE(BN_is_zero(y.get()));
  ExpectSqrtError();
}

INSTANTIATE_TEST_SUITE_P(Primes, BnSqrtPrimeTest, ::testing::ValuesIn(kPrimes),
                         [](const ::testing::TestParamInfo<PrimeCase>& test_case) {
                           std::string n;
                           for (const char* c = test_case.param.name; *c; ++c) n += std::isalnum(*c) ? *c : '_';
                           return n;
                         });

// Random primes of each class, 192 to 320 bits.
TEST(BnSqrt, RandomPrimesOfEachClass) {
  BnCtxPtr ctx(BN_CTX_new());
  int found[8] = {};
  for (int attempt = 0; attempt < 200 && (found[1] < 2 || found[3] < 2 || found[5] < 2 || found[7] < 2); ++attempt) {
    BnPtr p(BN_new());
    ASSERT_TRUE(BN_generate_prime_ex(p.get(), 192 + 32 * (attempt % 5), 0, nullptr, nullptr, nullptr));
    const int cls = static_cast<int>(BN_mod_word(p.get(), 8));
    if (found[cls] >= 2) continue;
    ++found[cls];
    for (int round = 0; round < 6; ++round) {
      BnPtr r(BN_new()), a(BN_new()), y(BN_new()), sq(BN_new());
      ASSERT_TRUE(BN_rand_range(r.get(), p.get()));
      ASSERT_TRUE(BN_mod_sqr(a.get(), r.get(), p.get(), ctx.get()));
      ASSERT_EQ(BN_sqrt(y.get(), a.get(), p.get(), round & 1, ctx.get()), 1) << "p=" << ToHex(p.get());
      ASSERT_TRUE(BN_mod_sqr(sq.get(), y.get(), p.get(), ctx.get()));
      EXPECT_EQ(BN_cmp(sq.get(), a.get()), 0);
      EXPECT_EQ(BN_is_odd(y.get()) != 0, (round & 1) == 1);
    }
  }
  EXPECT_EQ(found[1] + found[3] + found[5] + found[7], 8);
}

// Hostile moduli: each call ends (bounded loops) and either fails cleanly or
// returns a value that really is a root.
TEST(BnSqrt, HostileModuliEndCleanly) {
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr q1 = Hex("8000000000000000000000000000000000000000000000000000000000000431");
  BnPtr q2 = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001");
  BnPtr q3 = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97");
  BnPtr sq1(BN_new()), prod12(BN_new()), prod13(BN_new()), prod33(BN_new());
  ASSERT_TRUE(BN_sqr(sq1.get(), q1.get(), ctx.get()));               // square of a 1 mod 8 prime
  ASSERT_TRUE(BN_mul(prod12.get(), q1.get(), q2.get(), ctx.get()));  // 1 mod 8, two factors
  ASSERT_TRUE(BN_mul(prod13.get(), q1.get(), q3.get(), ctx.get()));  // 7 mod 8
  ASSERT_TRUE(BN_mul(prod33.get(), q3.get(), q3.get(), ctx.get()));
  BnPtr fermat5 = Hex("100000001");  // 641 * 6700417, p - 1 = 2^32
  BnPtr carmichael = Hex("A051");    // 41041 = 7 * 11 * 13 * 41, 1 mod 8
  BnPtr carmichael561 = Hex("231");  // 561 = 3 * 11 * 17, 1 mod 8
  BnPtr huge_chain = Hex("100000000000000000000000000000000000000000000000000000000000000000001");  // 2^264 + 1
  const BIGNUM* moduli[] = {sq1.get(),     prod12.get(),     prod13.get(),        prod33.get(),
                            fermat5.get(), carmichael.get(), carmichael561.get(), huge_chain.get()};
  for (const BIGNUM* p : moduli) {
    ASSERT_NE(BN_check_prime(p, ctx.get(), nullptr), 1) << ToHex(p);
    for (int round = 0; round < 6; ++round) {
      BnPtr r(BN_new()), a(BN_new()), y(BN_new()), sq(BN_new());
      ASSERT_TRUE(BN_rand_range(r.get(), p));
      // Squares modulo p as well as arbitrary values.
      if (round % 2 == 0) {
        ASSERT_TRUE(BN_mod_sqr(a.get(), r.get(), p, ctx.get()));
      } else {
        ASSERT_TRUE(BN_copy(a.get(), r.get()));
      }
      ERR_clear_error();
      if (BN_sqrt(y.get(), a.get(), p, round & 1, ctx.get()) == 1) {
        ASSERT_TRUE(BN_mod_sqr(sq.get(), y.get(), p, ctx.get()));
        BnPtr ar(BN_new());
        ASSERT_TRUE(BN_nnmod(ar.get(), a.get(), p, ctx.get()));
        EXPECT_EQ(BN_cmp(sq.get(), ar.get()), 0) << "p=" << ToHex(p) << " a=" << ToHex(a.get());
      } else {
        ExpectSqrtError();
      }
    }
  }
}

TEST(BnSqrt, RejectsEvenTinyNegativeAndOversizedModuli) {
  BnPtr a = Hex("4");
  BnPtr big(BN_new());
  ASSERT_TRUE(BN_set_bit(big.get(), 5000));
  ASSERT_TRUE(BN_add_word(big.get(), 1));
  const char* bad[] = {"0",
                       "1",
                       "2",
                       "10",
                       "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD98",
                       "-FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97"};
  for (const char* hex : bad) {
    BnPtr p = Hex(hex);
    BnPtr y(BN_new());
    ERR_clear_error();
    EXPECT_EQ(BN_sqrt(y.get(), a.get(), p.get(), 0, nullptr), 0) << hex;
    ExpectSqrtError();
  }
  BnPtr y(BN_new());
  EXPECT_EQ(BN_sqrt(y.get(), a.get(), big.get(), 0, nullptr), 0);
  ExpectSqrtError();
  EXPECT_EQ(BN_sqrt(nullptr, a.get(), big.get(), 0, nullptr), 0);
  ERR_clear_error();
}

}  // namespace
}  // namespace qcrypto
