// Differential test against libgcrypt on random messages of 1 to 5000 bytes,
// with both parameter sets libgcrypt offers. libgcrypt writes the digest least
// significant byte first, the reverse of this library's order.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <random>

#include "gosth_test_util.h"

namespace {

using namespace gosth_test;

class GosthGcrypt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(gcry_check_version(nullptr), nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
};

Digest gcrypt_digest(int algo, const Bytes& msg) {
  Digest d{};
  EXPECT_EQ(gcry_md_get_algo_dlen(algo), 32u);
  gcry_md_hash_buffer(algo, d.data(), msg.data(), msg.size());
  return d;
}

TEST_F(GosthGcrypt, RandomMessagesBothParameterSets) {
  struct Set {
    const char* name;
    int algo;
    const Sbox& sbox;
  };
  const Set sets[] = {{"test", GCRY_MD_GOSTR3411_94, test_paramset()},
                      {"CryptoPro", GCRY_MD_GOSTR3411_CP, cryptopro_paramset()}};
  std::mt19937 rng(20240611);
  for (const Set& set : sets) {
    for (int i = 0; i < 400; ++i) {
      Bytes msg(1 + rng() % 5000);
      for (auto& b : msg) b = static_cast<unsigned char>(rng());
      // Also fed in two pieces split at a random point.
      const size_t cut = rng() % msg.size();
      qcrypto::GOSTH_CTX ctx{};
      ASSERT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, set.sbox.data()), 1);
      if (cut > 0) {
        ASSERT_EQ(qcrypto::GOSTH_update(&ctx, msg.data(), static_cast<int>(cut)), static_cast<int>(cut));
      }
      const int rest = static_cast<int>(msg.size() - cut);
      ASSERT_EQ(qcrypto::GOSTH_update(&ctx, msg.data() + cut, rest), rest);
      Digest streamed{};
      ASSERT_EQ(qcrypto::GOSTH_final(&ctx, streamed.data()), 32);
      qcrypto::GOSTH_clear(&ctx);

      const std::string theirs = to_hex(gcrypt_digest(set.algo, msg));
      ASSERT_EQ(to_hex(reversed(digest(msg, set.sbox.data()))), theirs) << set.name << ", " << msg.size() << " bytes";
      ASSERT_EQ(to_hex(reversed(streamed)), theirs) << set.name << ", " << msg.size() << " bytes cut at " << cut;
    }
  }
}

// The one deliberate difference: the empty message.
TEST_F(GosthGcrypt, EmptyMessageDiffers) {
  EXPECT_NE(to_hex(reversed(digest({}, test_paramset().data()))), to_hex(gcrypt_digest(GCRY_MD_GOSTR3411_94, {})));
  EXPECT_NE(to_hex(reversed(digest({}, cryptopro_paramset().data()))), to_hex(gcrypt_digest(GCRY_MD_GOSTR3411_CP, {})));
}

}  // namespace
