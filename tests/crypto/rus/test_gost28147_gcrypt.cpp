// Randomised differential test against libgcrypt, an independent
// implementation: ECB, gamma with feedback (its 64-bit CFB), gamma (built
// from its ECB over the counter sequence, as it has no such mode) and the
// MAC, with the test set and CryptoPro-A among the S-boxes.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "tests/crypto/rus/gost28147_test_util.h"
#include "tests/support/gcrypt_owners.h"

namespace qcrypto {
namespace {

using gost_test::Bytes;
using gost_test::to_hex;

void init_gcrypt() {
  static const bool done = [] {
    if (!gcry_check_version(nullptr)) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  ASSERT_TRUE(done);
}

using Cipher = UniquePtr<gcry_cipher_handle>;

Cipher open_cipher(int mode, const std::string& oid, const Bytes& key, const Bytes* iv) {
  gcry_cipher_hd_t h = nullptr;
  EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0), 0u);
  Cipher c(h);
  EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
  EXPECT_EQ(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(oid.c_str()), 0), 0u) << oid;
  if (iv != nullptr) {
    EXPECT_EQ(gcry_cipher_setiv(h, iv->data(), iv->size()), 0u);
  }
  return c;
}

Bytes gc_crypt(int mode, bool encrypt, const std::string& oid, const Bytes& key, const Bytes* iv, const Bytes& in) {
  Cipher c = open_cipher(mode, oid, key, iv);
  Bytes out(in.size());
  const gcry_error_t e = encrypt ? gcry_cipher_encrypt(c.get(), out.data(), out.size(), in.data(), in.size())
                                 : gcry_cipher_decrypt(c.get(), out.data(), out.size(), in.data(), in.size());
  EXPECT_EQ(e, 0u);
  return out;
}

// Gamma from ECB: E(IV) starts the counter; each block steps it (N3 + C2
// modulo 2^32, N4 + C1 modulo 2^32 - 1) and encrypts it.
Bytes gc_gamma(const std::string& oid, const Bytes& key, const Bytes& iv, const Bytes& in) {
  const Bytes s = gc_crypt(GCRY_CIPHER_MODE_ECB, true, oid, key, nullptr, iv);
  uint32_t n3 = gost_detail::load_le32(&s[0]), n4 = gost_detail::load_le32(&s[4]);
  const size_t blocks = (in.size() + 7) / 8;
  Bytes ctr(blocks * 8);
  for (size_t i = 0; i < blocks; ++i) {
    n3 += 0x01010101u;
    uint64_t t = uint64_t{n4} + 0x01010104u;
    if (t >> 32) t = (t & 0xffffffffu) + 1;
    n4 = static_cast<uint32_t>(t);
    gost_detail::store_le32(&ctr[8 * i], n3);
    gost_detail::store_le32(&ctr[8 * i + 4], n4);
  }
  const Bytes gamma = gc_crypt(GCRY_CIPHER_MODE_ECB, true, oid, key, nullptr, ctr);
  Bytes out(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = in[i] ^ gamma[i];
  return out;
}

Bytes gc_mac(const std::string& oid, const Bytes& key, const Bytes& data) {
  gcry_mac_hd_t h = nullptr;
  EXPECT_EQ(gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, 0, nullptr), 0u);
  EXPECT_EQ(gcry_mac_setkey(h, key.data(), key.size()), 0u);
  EXPECT_EQ(gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(oid.c_str()), 0), 0u) << oid;
  EXPECT_EQ(gcry_mac_write(h, data.data(), data.size()), 0u);
  Bytes tag(4);
  size_t n = tag.size();
  EXPECT_EQ(gcry_mac_read(h, tag.data(), &n), 0u);
  EXPECT_EQ(n, 4u);
  gcry_mac_close(h);
  return tag;
}

class Gost28147Gcrypt : public ::testing::TestWithParam<gost_test::Kernels> {
 protected:
  void SetUp() override {
    init_gcrypt();
    if (const char* why = gost_test::kernels_missing(GetParam())) GTEST_SKIP() << why;
    gost_test::select_kernels(GetParam());
  }
  void TearDown() override { gost_test::reset_kernels(); }
};

const char* const kOids[] = {"1.2.643.2.2.30.0", "1.2.643.2.2.31.1", "1.2.643.2.2.31.0", "1.2.643.7.1.2.5.1.1"};

// Lengths from one byte to a few vector batches, with ragged tails.
size_t random_length(std::mt19937& rng, int iter) { return iter % 3 == 0 ? rng() % 24 + 1 : rng() % 1100 + 1; }

TEST_P(Gost28147Gcrypt, EcbAndFeedbackAndGamma) {
  std::mt19937 rng(31 + static_cast<int>(GetParam().path) + 4 * static_cast<int>(GetParam().round));
  for (const char* oid : kOids) {
    SCOPED_TRACE(oid);
    const auto sbox = gost_test::sbox_by_oid(oid);
    for (int iter = 0; iter < 24; ++iter) {
      Bytes key(32), iv(8);
      for (auto& b : key) b = static_cast<unsigned char>(rng());
      for (auto& b : iv) b = static_cast<unsigned char>(rng());
      const size_t len = random_length(rng, iter);
      Bytes in(len);
      for (auto& b : in) b = static_cast<unsigned char>(rng());
      const int n = static_cast<int>(len);
      GOSTE_CTX ctx{};
      Bytes out(len);

      const size_t whole = len / 8 * 8;
      if (whole > 0) {
        const Bytes blocks(in.begin(), in.begin() + static_cast<long>(whole));
        Bytes ecb(whole);
        ASSERT_EQ(GOSTE_ss_init(&ctx, 1, key.data(), sbox.data()), 1);
        GOSTE_ss_cipher(&ctx, blocks.data(), ecb.data(), static_cast<int>(whole));
        ASSERT_EQ(to_hex(ecb), to_hex(gc_crypt(GCRY_CIPHER_MODE_ECB, true, oid, key, nullptr, blocks)));
        ASSERT_EQ(GOSTE_ss_init(&ctx, 0, key.data(), sbox.data()), 1);
        GOSTE_ss_cipher(&ctx, blocks.data(), ecb.data(), static_cast<int>(whole));
        ASSERT_EQ(to_hex(ecb), to_hex(gc_crypt(GCRY_CIPHER_MODE_ECB, false, oid, key, nullptr, blocks)));
      }

      ASSERT_EQ(GOSTE_gamma_fb_init(&ctx, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_fbe_update(&ctx, in.data(), out.data(), n);
      ASSERT_EQ(to_hex(out), to_hex(gc_crypt(GCRY_CIPHER_MODE_CFB, true, oid, key, &iv, in))) << len;
      ASSERT_EQ(GOSTE_gamma_fb_init(&ctx, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_fbd_update(&ctx, in.data(), out.data(), n);
      ASSERT_EQ(to_hex(out), to_hex(gc_crypt(GCRY_CIPHER_MODE_CFB, false, oid, key, &iv, in))) << len;

      ASSERT_EQ(GOSTE_gamma_init(&ctx, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_update(&ctx, in.data(), out.data(), n);
      ASSERT_EQ(to_hex(out), to_hex(gc_gamma(oid, key, iv, in))) << len;
      GOSTE_clear(&ctx);
    }
  }
}

TEST_P(Gost28147Gcrypt, Mac) {
  std::mt19937 rng(41 + static_cast<int>(GetParam().path) + 4 * static_cast<int>(GetParam().round));
  for (const char* oid : kOids) {
    SCOPED_TRACE(oid);
    const auto sbox = gost_test::sbox_by_oid(oid);
    for (int iter = 0; iter < 30; ++iter) {
      Bytes key(32);
      for (auto& b : key) b = static_cast<unsigned char>(rng());
      // Lengths 1..16 each once (the padding and two-block rules), then longer ones.
      const size_t len = iter < 16 ? static_cast<size_t>(iter) + 1 : rng() % 700 + 1;
      Bytes data(len);
      for (auto& b : data) b = static_cast<unsigned char>(rng());
      unsigned char mac[4];
      ASSERT_NE(GOSTE_mac(nullptr, data.data(), static_cast<int>(len), key.data(), sbox.data(), mac), nullptr);
      ASSERT_EQ(to_hex(mac, 4), to_hex(gc_mac(oid, key, data))) << "length " << len;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Gost28147Gcrypt,
                         ::testing::Values(gost_test::kTableOnly, gost_test::kVbmiRound, gost_test::kVbmiNarrowRound,
                                           gost_test::kShuffleRound, gost_test::kShuffleAvx2Round,
                                           gost_test::kAvx2Batches, gost_test::kAvx2Shuffle),
                         gost_test::kernels_name);

}  // namespace
}  // namespace qcrypto
