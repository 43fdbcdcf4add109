// Secrets never reach freed memory: every block released through OpenSSL's
// allocator or operator delete while an operation runs is searched for the
// private key and the nonce (big- and little-endian images; BIGNUM words are
// the little-endian image).
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <vector>

#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "r3410_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace qcrypto {
namespace {

using namespace qcrypto::testing;
namespace scan = test_support::freed_scan;

class R3410WipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scan::installed()) << "the allocator hook must be installed before OpenSSL's first allocation";
    scan::reset();
    scan::set_scanning(false);
    scan::scan_cxx_heap(true);
    RAND_set_rand_method(RAND_fixed_method());
  }
  void TearDown() override {
    scan::set_scanning(false);
    RAND_set_rand_method(nullptr);
  }
  // Both byte orders of a 256-bit secret, all of it.
  static void Watch(const BIGNUM* secret) { scan::Watch(secret, 32); }
  // Queues k without leaving a copy in a freed block.
  static void FeedNonce(const BIGNUM* k) {
    std::array<unsigned char, 32> be{};
    ASSERT_EQ(BN_bn2binpad(k, be.data(), 32), 32);
    RAND_fixed_set_bytes(be);
    OPENSSL_cleanse(be.data(), be.size());
  }
  static SecretBnPtr Secret(const char* hex) {
    BIGNUM* b = nullptr;
    BN_hex2bn(&b, hex);
    return SecretBnPtr(b);
  }
};

TEST_F(R3410WipeTest, ScannerSeesAnUnwipedCopy) {
  SecretBnPtr x = Secret("3036314538303830343630454235324435324234314132373832433138443046");
  Watch(x.get());
  BIGNUM* copy = BN_dup(x.get());
  scan::set_scanning(true);
  BN_free(copy);  // not cleared: the scanner must notice
  scan::set_scanning(false);
  EXPECT_GT(scan::hits(), 0);
}

TEST_F(R3410WipeTest, BuiltinParameterSigningAndKeyRelease) {
  KeyPtr key = MakeBuiltinKey();
  SecretBnPtr k = Secret("5A5A5A5A0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF01234567");
  Watch(key->x);
  Watch(k.get());
  std::array<unsigned char, 32> digest{};
  digest[3] = 7;
  std::array<unsigned char, 80> out{};
  unsigned int len = 0;
  for (int form : {1, 0}) {
    FeedNonce(k.get());
    scan::set_scanning(true);
    EXPECT_EQ(R3410_sign(form, key.get(), digest.data(), 32, out.data(), &len), 1);
    scan::set_scanning(false);
  }
  FeedNonce(k.get());
  scan::set_scanning(true);
  BIGNUM *kk = nullptr, *r = nullptr, *xr = nullptr;
  EXPECT_EQ(GOSTS_sign_setup(key.get(), &kk, &r, &xr), 1);
  BN_clear_free(kk);
  BN_free(r);
  BN_clear_free(xr);
  EXPECT_EQ(R3410_generate_pubkey(key.get()), 1);
  key.reset();  // the record's x is wiped on release
  scan::set_scanning(false);
  EXPECT_EQ(scan::hits(), 0);
}

TEST_F(R3410WipeTest, ExplicitParameterSigning) {
  VectorSection v = LoadVectors().at("example");
  SecretBnPtr x = Secret(v["x"].c_str());
  SecretBnPtr k = Secret(v["k"].c_str());
  KeyPtr key = MakeKey(Hex(v["p"]).get(), Hex(v["q"]).get(), Hex(v["a"]).get(), x.get());
  Watch(x.get());
  Watch(k.get());
  std::vector<unsigned char> digest = Bytes(Hex(v["H"]).get(), 32);
  FeedNonce(k.get());
  scan::set_scanning(true);
  SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
  const int verified = sig ? GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32) : -1;
  key.reset();
  scan::set_scanning(false);
  EXPECT_EQ(verified, 1);
  EXPECT_EQ(scan::hits(), 0);
}

TEST_F(R3410WipeTest, SecretBufferKeyAndDiffieHellmanBridge) {
  KeyPtr plain = MakeBuiltinKey();
  KeyPtr key = MakeKey(plain->p, plain->q, plain->a);
  key->y = BN_dup(plain->y);
  key->secret = static_cast<unsigned char*>(OPENSSL_malloc(32));
  ASSERT_EQ(BN_bn2binpad(plain->x, key->secret, 32), 32);
  SecretBnPtr k = Secret("1111111122222222333333334444444455555555666666667777777788888888");
  Watch(plain->x);
  Watch(k.get());
  std::array<unsigned char, 32> digest{};
  FeedNonce(k.get());
  scan::set_scanning(true);
  SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
  EVP_PKEY* dh = R3410_to_DH(plain.get());
  EVP_PKEY_free(dh);
  key.reset();
  plain.reset();
  scan::set_scanning(false);
  EXPECT_NE(sig, nullptr);
  EXPECT_NE(dh, nullptr);
  EXPECT_EQ(scan::hits(), 0);
}

}  // namespace
}  // namespace qcrypto
