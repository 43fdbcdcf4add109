// The multiplications leave no copy of the number or of the product in freed
// memory: every block released through OpenSSL's allocator is scanned. (Own
// process: the allocator hooks must be in place before the first allocation.)
#include <gtest/gtest.h>

#include <string>

#include "crypto/ec/ec_fp256_adx.h"
#include "ec_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace qcrypto::ectest {
namespace {

namespace scan = test_support::freed_scan;

using MulFn = int (*)(ECPOINT*, const BIGNUM*);

struct MulCase {
  const char* name;
  MulFn fn;
};

// The scanner itself: a number freed without wiping is reported.
TEST(EcurveWipe, ScannerSeesAnUnwipedCopy) {
  ASSERT_TRUE(scan::installed());
  BnPtr k = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
  scan::reset();
  scan::Watch(k.get());
  BN_free(BN_dup(k.get()));  // not cleared: the scanner must notice
  EXPECT_GT(scan::hits(), 0);
  scan::reset();
  BN_clear(k.get());
}

TEST(EcurveWipe, MultiplicationsLeaveNoNumberOrProduct) {
  ASSERT_TRUE(scan::installed());
  const MulCase muls[] = {{"general", ECPOINT_mul}, {"generator", ECPOINT_mul_fbw}, {"signed binary", ec_mul_binary}};
  const bool had_adx = fp256::adx_enabled();
  for (bool adx : {true, false}) {
    fp256::set_adx_enabled(adx);
    for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
      for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
        for (const auto& m : muls) {
          SCOPED_TRACE(std::string(m.name) + (adx ? " adx" : " portable"));
          scan::reset();
          UniquePtr<ECURVE> c = Load(*def, kind);
          ASSERT_NE(c, nullptr);
          BnPtr k = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
          BnCtxPtr ctx(BN_CTX_new());
          BN_nnmod(k.get(), k.get(), c->q, ctx.get());
          // The product is known before the run, so its coordinates can be
          // watched while it is made.
          UniquePtr<ECPOINT> want(ECPOINT_dup(c->P));
          ASSERT_EQ(ec_mul_binary(want.get(), k.get()), 1);
          ASSERT_TRUE(ECPOINT_to_affine(want.get()));
          scan::Watch(k.get());
          scan::Watch(want->X);
          scan::Watch(want->Y);
          {
            UniquePtr<ECPOINT> p(ECPOINT_dup(c->P));
            ASSERT_EQ(m.fn(p.get(), k.get()), 1);
            EXPECT_EQ(ECPOINT_cmp(p.get(), want.get()), 0);
            // The table algorithm too, for the generator.
            if (c->P->fbw != nullptr) {
              UniquePtr<ECPOINT> t(ECPOINT_dup(c->P));
              ASSERT_EQ(ec_mul_window_table(t.get(), k.get(), c->P->fbw), 1);
            }
          }
          BN_clear(k.get());
          BN_clear(want->X);
          BN_clear(want->Y);
          EXPECT_EQ(scan::hits(), 0);
        }
      }
    }
  }
  fp256::set_adx_enabled(had_adx);
}

}  // namespace
}  // namespace qcrypto::ectest
