// The exponentiation engines behind signing and verification, against
// OpenSSL's BN_mod_exp.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/r3410/fixed_base.h"
#include "crypto/r3410/multi_exp.h"
#include "crypto/r3410/r3410.h"
#include "r3410_test_util.h"

namespace qcrypto {
namespace {

using namespace qcrypto::testing;

class R3410ExpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p_.reset(BN_bin2bn(R3410_default_p(), R3410_DEFAULT_P_BYTES, nullptr));
    g_.reset(BN_new());
    ASSERT_TRUE(BN_rand_range(g_.get(), p_.get()));
    ASSERT_TRUE(BN_MONT_CTX_set(mont_.get(), p_.get(), ctx_.get()));
  }
  // Exponents of 256 bits with the shapes that trip window code.
  std::vector<BnPtr> Exponents() {
    std::vector<BnPtr> es;
    for (const char* hex :
         {"0", "1", "2", "F", "10", "11", "8000000000000000000000000000000000000000000000000000000000000000",
          "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
          "8000000000000001000000000000000100000000000000010000000000000001", "FFFFFFFFFFFFFFFF", "10000000000000000",
          "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}) {
      es.push_back(Hex(hex));
    }
    for (int i = 0; i < 6; ++i) {
      BnPtr e(BN_new());
      BN_rand(e.get(), 256, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
      es.push_back(std::move(e));
    }
    return es;
  }
  BnCtxPtr ctx_{BN_CTX_new()};
  BnMontPtr mont_{BN_MONT_CTX_new()};
  BnPtr p_, g_;
};

TEST_F(R3410ExpTest, FixedBaseTableMatchesModExp) {
  auto table = FixedBaseTable::Build(g_.get(), p_.get(), mont_.get(), 256, ctx_.get());
  ASSERT_NE(table, nullptr);
  BnPtr got(BN_new()), want(BN_new());
  // The BMI2/ADX products (where the processor has them) and the portable ones.
  const bool adx = FixedBaseTable::adx_enabled();
  for (bool use_adx : {true, false}) {
    FixedBaseTable::set_adx_enabled(use_adx);
    for (const BnPtr& e : Exponents()) {
      BN_set_flags(e.get(), BN_FLG_CONSTTIME);
      ASSERT_EQ(table->PowSecret(got.get(), e.get(), ctx_.get()), 1);
      ASSERT_TRUE(BN_mod_exp(want.get(), g_.get(), e.get(), p_.get(), ctx_.get()));
      EXPECT_EQ(BN_cmp(got.get(), want.get()), 0) << ToHex(e.get()) << (use_adx ? " adx" : " portable");
    }
  }
  FixedBaseTable::set_adx_enabled(adx);
  // Exponents beyond the table's width are refused, not truncated.
  BnPtr wide(BN_new());
  BN_set_bit(wide.get(), 256);
  EXPECT_EQ(table->PowSecret(got.get(), wide.get(), ctx_.get()), -1);
}

// An odd number of 4-bit windows leaves the top byte of the exponent half
// used: a digit in its other half is refused.
TEST_F(R3410ExpTest, FixedBaseTableOfOddWindowCount) {
  auto table = FixedBaseTable::Build(g_.get(), p_.get(), mont_.get(), 252, ctx_.get());
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->exponent_bits(), 252);
  BnPtr got(BN_new()), want(BN_new());
  BnPtr fits = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
  ASSERT_EQ(table->PowSecret(got.get(), fits.get(), ctx_.get()), 1);
  ASSERT_TRUE(BN_mod_exp(want.get(), g_.get(), fits.get(), p_.get(), ctx_.get()));
  EXPECT_EQ(BN_cmp(got.get(), want.get()), 0);
  BnPtr over(BN_new());
  BN_set_bit(over.get(), 252);
  EXPECT_EQ(table->PowSecret(got.get(), over.get(), ctx_.get()), -1);
}

TEST_F(R3410ExpTest, MultiExpMatchesProductOfPowers) {
  const int chain = 64;
  BnPtr h(BN_new());
  ASSERT_TRUE(BN_rand_range(h.get(), p_.get()));
  for (int window : {1, 2, 4, 6}) {
    // Slice bases of g and h; exponents e (for g) and f (for h).
    BnPtr gm(BN_new()), hm(BN_new());
    ASSERT_TRUE(BN_to_montgomery(gm.get(), g_.get(), mont_.get(), ctx_.get()));
    ASSERT_TRUE(BN_to_montgomery(hm.get(), h.get(), mont_.get(), ctx_.get()));
    std::vector<BnPtr> gb(4), hb(4);
    ASSERT_TRUE(MakeSliceBases(gb, gm.get(), chain, mont_.get(), ctx_.get()));
    ASSERT_TRUE(MakeSliceBases(hb, hm.get(), chain, mont_.get(), ctx_.get()));
    std::vector<OddPowers> gp(4), hp(4);
    for (int k = 0; k < 4; ++k) {
      ASSERT_TRUE(MakeOddPowers(&gp[k], gb[k].get(), window, mont_.get(), ctx_.get()));
      ASSERT_TRUE(MakeOddPowers(&hp[k], hb[k].get(), window, mont_.get(), ctx_.get()));
    }
    std::vector<BnPtr> es = Exponents();
    for (size_t i = 0; i < es.size(); ++i) {
      const BIGNUM* e = es[i].get();
      const BIGNUM* f = es[(i * 7 + 3) % es.size()].get();
      std::vector<ExpTerm> terms;
      for (int k = 0; k < 4; ++k) {
        terms.push_back({&gp[k], e, k * chain});
        terms.push_back({&hp[k], f, k * chain});
      }
      BnPtr got(BN_new()), want(BN_new()), t(BN_new());
      ASSERT_TRUE(MultiExpMont(got.get(), terms, chain, mont_.get(), ctx_.get()));
      ASSERT_TRUE(BN_from_montgomery(got.get(), got.get(), mont_.get(), ctx_.get()));
      ASSERT_TRUE(BN_mod_exp(want.get(), g_.get(), e, p_.get(), ctx_.get()));
      ASSERT_TRUE(BN_mod_exp(t.get(), h.get(), f, p_.get(), ctx_.get()));
      ASSERT_TRUE(BN_mod_mul(want.get(), want.get(), t.get(), p_.get(), ctx_.get()));
      EXPECT_EQ(BN_cmp(got.get(), want.get()), 0) << "window " << window << " e=" << ToHex(e) << " f=" << ToHex(f);
    }
  }
}

}  // namespace
}  // namespace qcrypto
