// The SDK's own MD5 and DES-EDE against OpenSSL's, and the PIN key against
// vectors made with the stock openssl command (vectors/make_pin_keys.sh).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/card_core.h"
#include "vxsdk/des.h"
#include "vxsdk/md5.h"
#include "vxsdk/pin_key.h"

namespace {

std::vector<uint8_t> Hex(const std::string& s) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    v.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  }
  return v;
}

std::vector<uint8_t> EvpDigest(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(16);
  unsigned n = 0;
  EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &n, EVP_md5(), nullptr), 1);
  return out;
}

std::vector<uint8_t> OurDigest(const std::vector<uint8_t>& in, size_t split) {
  vxsdk::Md5 md;
  md.Update(in.data(), std::min(split, in.size()));
  if (split < in.size()) {
    md.Update(in.data() + split, in.size() - split);
  }
  std::vector<uint8_t> out(16);
  md.Final(out.data());
  return out;
}

TEST(VxsdkMd5, MatchesOpensslOnRandomInputsAndSplits) {
  std::mt19937 rng(20261211);
  for (size_t len : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
    for (int round = 0; round < 8; ++round) {
      std::vector<uint8_t> in(len);
      for (auto& b : in) {
        b = static_cast<uint8_t>(rng());
      }
      const size_t split = len == 0 ? 0 : rng() % (len + 1);
      EXPECT_EQ(OurDigest(in, split), EvpDigest(in)) << "len " << len << " split " << split;
    }
  }
}

TEST(VxsdkMd5, Rfc1321Examples) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, hex] : cases) {
    EXPECT_EQ(OurDigest({text.begin(), text.end()}, text.size()), Hex(hex)) << text;
  }
}

TEST(VxsdkDes, EdeMatchesOpensslOnRandomKeysAndBlocks) {
  std::mt19937 rng(37);
  for (int round = 0; round < 200; ++round) {
    uint8_t key[24];
    uint8_t in[8];
    for (auto& b : key) {
      b = static_cast<uint8_t>(rng());
    }
    for (auto& b : in) {
      b = static_cast<uint8_t>(rng());
    }
    uint8_t ours[8];
    vxsdk::DesEde3EncryptBlock(key, in, ours);
    uint8_t theirs[16];
    int n = 0;
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_EncryptInit_ex(c, EVP_des_ede3_ecb(), nullptr, key, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(c, 0);
    ASSERT_EQ(EVP_EncryptUpdate(c, theirs, &n, in, 8), 1);
    EVP_CIPHER_CTX_free(c);
    ASSERT_EQ(n, 8);
    ASSERT_EQ(0, memcmp(ours, theirs, 8)) << "round " << round;
  }
}

TEST(VxsdkDes, DecryptInvertsEncrypt) {
  const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const uint8_t plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  // The worked example of the standard's textbooks.
  const uint8_t expect[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  const vxsdk::Des des(key);
  uint8_t c[8];
  uint8_t p[8];
  des.Encrypt(plain, c);
  des.Decrypt(c, p);
  EXPECT_EQ(0, memcmp(c, expect, 8));
  EXPECT_EQ(0, memcmp(p, plain, 8));
}

TEST(VxsdkPinKey, KnownAnswersFromOpensslCommand) {
  std::ifstream f(VXSDK_VECTORS "/pin_keys.txt");
  ASSERT_TRUE(f) << "vectors missing";
  std::string line;
  int checked = 0;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream ws(line);
    std::string pinHex, keyHex;
    ws >> pinHex >> keyHex;
    const auto pin = Hex(pinHex);
    vxsdk::PinKey key;
    vxsdk::DerivePinKey(pin.data(), pin.size(), &key);
    EXPECT_EQ(std::vector<uint8_t>(key.data(), key.data() + 24), Hex(keyHex)) << pinHex;
    vxsdk::PinKey again;
    vxsdk::DerivePinKey(pin.data(), pin.size(), &again);
    EXPECT_EQ(0, memcmp(key.data(), again.data(), 24));
    for (size_t i = 0; i < 24; ++i) {
      EXPECT_EQ(key[i] & 0x80, 0) << "byte " << i;
    }
    // The emulator's key (OpenSSL's MD5, its own bit spreading) agrees.
    const auto emu = test_support::EmulatorPinKey(std::string(pin.begin(), pin.end()));
    EXPECT_EQ(0, memcmp(emu.data(), key.data(), 24));
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

}  // namespace
