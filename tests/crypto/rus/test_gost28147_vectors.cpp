// Published vectors of independent libraries, read from the vectors folder:
// ECB, gamma with feedback, gamma (counter) and MAC, under several S-boxes,
// each run through the portable and the dispatched multi-block code.
#include <gtest/gtest.h>

#include <string>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "tests/crypto/rus/gost28147_test_util.h"

namespace qcrypto {
namespace {

using gost_detail::Path;
using gost_test::Bytes;
using gost_test::hex;
using gost_test::to_hex;

// The object identifier named in a section header ("... S-box 1.2.643.2.2.31.1 ...").
std::string oid_in(const std::string& text) {
  const auto at = text.find("1.2.643.");
  if (at == std::string::npos) return {};
  const auto end = text.find_first_not_of("0123456789.", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

void check_ecb(const unsigned char* sbox, const Bytes& key, const Bytes& in, const Bytes& out) {
  GOSTE_CTX ctx{};
  Bytes buf(in.size());
  ASSERT_EQ(GOSTE_ss_init(&ctx, 1, key.data(), sbox), 1);
  ASSERT_EQ(GOSTE_ss_cipher(&ctx, in.data(), buf.data(), static_cast<int>(in.size())), static_cast<int>(in.size()));
  EXPECT_EQ(to_hex(buf), to_hex(out));
  ASSERT_EQ(GOSTE_ss_init(&ctx, 0, key.data(), sbox), 1);
  ASSERT_EQ(GOSTE_ss_cipher(&ctx, out.data(), buf.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
  EXPECT_EQ(to_hex(buf), to_hex(in));
  GOSTE_clear(&ctx);
}

void check_cfb(const unsigned char* sbox, const Bytes& key, const Bytes& iv, const Bytes& in, const Bytes& out) {
  GOSTE_CTX ctx{};
  Bytes buf(in.size());
  const int n = static_cast<int>(in.size());
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx, key.data(), iv.data(), sbox), 1);
  ASSERT_EQ(GOSTE_gamma_fbe_update(&ctx, in.data(), buf.data(), n), n);
  EXPECT_EQ(to_hex(buf), to_hex(out));
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx, key.data(), iv.data(), sbox), 1);
  ASSERT_EQ(GOSTE_gamma_fbd_update(&ctx, out.data(), buf.data(), n), n);
  EXPECT_EQ(to_hex(buf), to_hex(in));
  GOSTE_clear(&ctx);
}

void check_gamma(const unsigned char* sbox, const Bytes& key, const Bytes& iv, const Bytes& in, const Bytes& out) {
  GOSTE_CTX ctx{};
  Bytes buf(in.size());
  const int n = static_cast<int>(in.size());
  ASSERT_EQ(GOSTE_gamma_init(&ctx, key.data(), iv.data(), sbox), 1);
  ASSERT_EQ(GOSTE_gamma_update(&ctx, in.data(), buf.data(), n), n);
  EXPECT_EQ(to_hex(buf), to_hex(out));
  ASSERT_EQ(GOSTE_gamma_init(&ctx, key.data(), iv.data(), sbox), 1);
  ASSERT_EQ(GOSTE_gamma_update(&ctx, out.data(), buf.data(), n), n);
  EXPECT_EQ(to_hex(buf), to_hex(in));
  GOSTE_clear(&ctx);
}

void check_mac(const unsigned char* sbox, const Bytes& key, const Bytes& data, const Bytes& tag) {
  unsigned char mac[4];
  ASSERT_NE(GOSTE_mac(nullptr, data.data(), static_cast<int>(data.size()), key.data(), sbox, mac), nullptr);
  EXPECT_EQ(to_hex(mac, 4), to_hex(tag));
}

class Gost28147Vectors : public ::testing::TestWithParam<gost_test::Kernels> {
 protected:
  void SetUp() override {
    if (const char* why = gost_test::kernels_missing(GetParam())) GTEST_SKIP() << why;
    gost_test::select_kernels(GetParam());
  }
  void TearDown() override { gost_test::reset_kernels(); }
};

TEST_P(Gost28147Vectors, BouncyCastleSet) {
  const auto entries = gost_test::read_vectors(gost_test::vectors_dir() + "/gost28147_vectors_bc.txt");
  int ecb = 0, cfb = 0, ctr = 0, mac = 0;
  for (const auto& e : entries) {
    SCOPED_TRACE(e.section);
    const auto sbox = gost_test::sbox_by_oid(oid_in(e.section));
    const auto& f = e.fields;
    if (e.section.rfind("[ECB", 0) == 0) {
      check_ecb(sbox.data(), hex(f.at("Key")), hex(f.at("In")), hex(f.at("Out")));
      ++ecb;
    } else if (e.section.rfind("[CFB", 0) == 0) {
      check_cfb(sbox.data(), hex(f.at("Key")), hex(f.at("IV")), hex(f.at("In")), hex(f.at("Out")));
      ++cfb;
    } else if (e.section.rfind("[Counter", 0) == 0) {
      check_gamma(sbox.data(), hex(f.at("Key")), hex(f.at("IV")), hex(f.at("In")), hex(f.at("Out")));
      ++ctr;
    } else if (e.section.rfind("[MAC", 0) == 0) {
      check_mac(sbox.data(), hex(f.at("Key")), hex(f.at("Data")), hex(f.at("Tag")));
      ++mac;
    }
  }
  EXPECT_EQ(ecb, 1);
  EXPECT_EQ(cfb, 3);
  EXPECT_EQ(ctr, 1);
  EXPECT_EQ(mac, 1);
}

TEST_P(Gost28147Vectors, LibgcryptSet) {
  const auto entries = gost_test::read_vectors(gost_test::vectors_dir() + "/libgcrypt_gost28147.txt");
  int ecb = 0, cfb = 0, mac = 0;
  for (const auto& e : entries) {
    const auto& f = e.fields;
    SCOPED_TRACE(e.section + " " + (f.count("SboxOID") ? f.at("SboxOID") : ""));
    if (e.section.find("ECB") != std::string::npos) {
      const auto sbox = gost_test::sbox_by_oid(f.at("SboxOID"));
      check_ecb(sbox.data(), hex(f.at("Key")), hex(f.at("In")), hex(f.at("Out")));
      ++ecb;
    } else if (e.section.find("CFB") != std::string::npos) {
      // Key meshing changes the key after each 1024 bytes; the feedback mode
      // here has none, so only the bytes before the first meshing are compared.
      const auto sbox = gost_test::sbox_by_oid(f.at("SboxOID"));
      const Bytes pt = hex(f.at("Plaintext")), ct = hex(f.at("Ciphertext"));
      ASSERT_EQ(pt.size(), 1039u);
      check_cfb(sbox.data(), hex(f.at("Key")), hex(f.at("IV")), Bytes(pt.begin(), pt.begin() + 1024),
                Bytes(ct.begin(), ct.begin() + 1024));
      ++cfb;
    } else if (e.section.find("MAC") != std::string::npos) {
      // That library's MAC runs with the CryptoPro-A set by default.
      const auto sbox = gost_test::sbox_by_oid("1.2.643.2.2.31.1");
      check_mac(sbox.data(), hex(f.at("Key")), hex(f.at("Data")), hex(f.at("Tag")));
      ++mac;
    }
  }
  EXPECT_EQ(ecb, 8);
  EXPECT_EQ(cfb, 1);
  EXPECT_EQ(mac, 1);
}

TEST_P(Gost28147Vectors, BotanSet) {
  const auto entries = gost_test::read_vectors(gost_test::vectors_dir() + "/botan_gost_28147.vec");
  int n = 0;
  for (const auto& e : entries) {
    SCOPED_TRACE(e.section);
    const char* oid = e.section.find("TestParam") != std::string::npos ? "1.2.643.2.2.30.0" : "1.2.643.2.2.30.1";
    ASSERT_TRUE(e.section.find("TestParam") != std::string::npos || e.section.find("CryptoPro") != std::string::npos);
    const auto sbox = gost_test::sbox_by_oid(oid);
    check_ecb(sbox.data(), hex(e.fields.at("Key")), hex(e.fields.at("In")), hex(e.fields.at("Out")));
    ++n;
  }
  EXPECT_EQ(n, 28);
}

INSTANTIATE_TEST_SUITE_P(Paths, Gost28147Vectors,
                         ::testing::Values(gost_test::kTableOnly, gost_test::kVbmiRound, gost_test::kVbmiNarrowRound,
                                           gost_test::kShuffleRound, gost_test::kShuffleAvx2Round,
                                           gost_test::kDispatched),
                         gost_test::kernels_name);

}  // namespace
}  // namespace qcrypto
