// Secrets leave no copy in freed memory: every block released through
// OpenSSL's allocator is scanned for the private number, the nonce and the
// agreed value while signing, verifying and agreeing, on success and failure
// paths. (Own process: the allocator hooks must be set before any allocation.)
#include <gtest/gtest.h>

#include <vector>

#include "tests/crypto/ecgost/ecgost_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;
namespace scan = test_support::freed_scan;

TEST(EcgostWipe, HooksAreInstalled) { ASSERT_TRUE(scan::installed()); }

// The scanner itself: a private number freed without wiping is reported.
TEST(EcgostWipe, ScannerSeesAnUnwipedCopy) {
  ASSERT_TRUE(scan::installed());
  BnPtr d = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
  scan::reset();
  scan::Watch(d.get());
  BN_free(BN_dup(d.get()));  // not cleared: the scanner must notice
  EXPECT_GT(scan::hits(), 0);
  scan::reset();
  BN_clear(d.get());
}

TEST(EcgostWipe, SigningLeavesNoPrivateNumberOrNonce) {
  ASSERT_TRUE(scan::installed());
  scan::reset();
  for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    CurvePtr curve = LoadCurve(def, ECURVE_PROJECTIVE);
    BnPtr d = Hex("5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
    BnPtr k = Hex("3A2B1C0D9E8F7A6B5C4D3E2F1A0B9C8D7E6F5A4B3C2D1E0F9A8B7C6D5E4F3A2B");
    scan::Watch(d.get());
    scan::Watch(k.get());
    {
      KeyPtr key = MakeKey(curve.get(), d.get());
      ASSERT_NE(key, nullptr);
      unsigned char digest[32] = {1, 2, 3, 4};
      unsigned char out[72];
      unsigned int len = 0;
      auto kb = Fixed(k.get(), 32);
      {
        FixedRandom rand(kb);
        ASSERT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, out, &len), 1);
      }
      EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, out, static_cast<int>(len)), 1);
      // Failure paths: a dry source mid-draw, then a key whose d is out of range.
      {
        FixedRandom rand(std::vector<unsigned char>(kb.begin(), kb.begin() + 31));
        EXPECT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, out, &len), 0);
      }
      EcdhPtr ecdh(ECGOST_to_ECDH(key.get()));
      ASSERT_NE(ecdh, nullptr);
    }
    BN_clear(d.get());
    BN_clear(k.get());
  }
  EXPECT_EQ(scan::hits(), 0);
}

TEST(EcgostWipe, AgreementLeavesNoPrivateOrSharedValue) {
  ASSERT_TRUE(scan::installed());
  scan::reset();
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  BnPtr da = Hex("71E2D3C4B5A69788796A5B4C3D2E1F00112233445566778899AABBCCDDEEFF01");
  BnPtr db = Hex("0FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA98765431");
  scan::Watch(da.get());
  scan::Watch(db.get());
  {
    EcdhPtr a(ECDH_new(curve.get(), 0));
    EcdhPtr b(ECDH_new(curve.get(), 0));
    a->private_key = BN_dup(da.get());
    b->private_key = BN_dup(db.get());
    ASSERT_EQ(ECDH_generate_key(a.get()), 1);
    ASSERT_EQ(ECDH_generate_key(b.get()), 1);
    ASSERT_EQ(ECDH_compute_key(b->public_key, a.get()), 1);
    scan::Watch(a->shared);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    // A refused peer, then a second agreement that replaces the first value.
    PointPtr inf(ECPOINT_new(curve.get()));
    ECPOINT_set_infinity(inf.get());
    EXPECT_EQ(ECDH_compute_key(inf.get(), b.get()), 0);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    ASSERT_EQ(ECDH_compute_key(a->public_key, b.get()), 1);
    // A drawn private number.
    EcdhPtr c(ECDH_new(curve.get(), 0));
    {
      auto bytes = Fixed(da.get(), 32);
      bytes[31] ^= 0x5A;
      BnPtr dc(BN_bin2bn(bytes.data(), 32, nullptr));
      scan::Watch(dc.get());
      FixedRandom rand(bytes);
      ASSERT_EQ(ECDH_generate_key(c.get()), 1);
      ASSERT_EQ(ECDH_compute_key(a->public_key, c.get()), 1);
      BN_clear(dc.get());
    }
  }
  BN_clear(da.get());
  BN_clear(db.get());
  EXPECT_EQ(scan::hits(), 0);
}

}  // namespace
}  // namespace qcrypto
