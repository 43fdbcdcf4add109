#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <array>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/wrap/keywrap.h"
#include "wrap_test_util.h"

namespace {

using wrap_test::Bytes;
using wrap_test::hex;

class X942Kdf : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(qcrypto::evp_provider_start(), 1); }
  void SetUp() override { qcrypto::ERR_clear_error(); }
};

qcrypto::UniquePtr<ASN1_OCTET_STRING> octets(const Bytes& b) {
  qcrypto::UniquePtr<ASN1_OCTET_STRING> s(ASN1_OCTET_STRING_new());
  EXPECT_EQ(ASN1_OCTET_STRING_set(s.get(), b.data(), static_cast<int>(b.size())), 1);
  return s;
}

// RFC 2631, section 2.1.6: both examples.
TEST_F(X942Kdf, ReproducesRfcExamples) {
  struct Case {
    int nid;
    int keklen;
    const char* party_a;
    const char* kek;
  };
  const Case cases[] = {
      {NID_id_smime_alg_CMS3DESwrap, 24, nullptr, "a09661392376f7044d9052a397883246b67f5f1ef63eb5fb"},
      {NID_id_smime_alg_CMSRC2wrap, 16,
       "0123456789abcdeffedcba98765432010123456789abcdeffedcba9876543201"
       "0123456789abcdeffedcba98765432010123456789abcdeffedcba9876543201",
       "48950c46e0530075403cce72889604e0"},
  };
  const Bytes zz = hex("000102030405060708090a0b0c0d0e0f10111213");
  qcrypto::UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", "provider=default"));
  ASSERT_TRUE(sha1);
  for (const Case& c : cases) {
    qcrypto::UniquePtr<ASN1_OCTET_STRING> party;
    if (c.party_a != nullptr) party = octets(hex(c.party_a));
    Bytes out(static_cast<size_t>(c.keklen));
    EXPECT_EQ(qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), static_cast<int>(zz.size()), c.nid, out.data(),
                                         c.keklen, party.get()),
              c.keklen);
    EXPECT_EQ(out, hex(c.kek)) << c.nid;
  }
}

// With the GOST hash one round gives 32 bytes: the digest of ZZ followed by a
// hand-encoded OtherInfo (counter 1, 256 bits, the 3DES-wrap OID).
TEST_F(X942Kdf, GostHashRoundOverHandEncodedOtherInfo) {
  const Bytes zz = hex("a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
  const Bytes party = hex("0102030405");
  // SEQUENCE { SEQUENCE { OID 1.2.840.113549.1.9.16.3.6, OCTET STRING 00000001 },
  //            [0] { OCTET STRING 0102030405 }, [2] { OCTET STRING 00000100 } }
  const Bytes der =
      hex("3026"
          "3013060b2a864886f70d0109100306040400000001"
          "a0070405"
          "0102030405"
          "a20604040000"
          "0100");
  Bytes input = zz;
  input.insert(input.end(), der.begin(), der.end());
  std::array<unsigned char, EVP_MAX_MD_SIZE> want{};
  unsigned int wantlen = 0;
  ASSERT_EQ(EVP_Digest(input.data(), input.size(), want.data(), &wantlen, qcrypto::EVP_rus_hash(), nullptr), 1);
  ASSERT_EQ(wantlen, 32U);

  auto party_a = octets(party);
  Bytes out(32);
  ASSERT_EQ(qcrypto::X942_KEK_GENERATE(qcrypto::EVP_rus_hash(), zz.data(), 32, NID_id_smime_alg_CMS3DESwrap, out.data(),
                                       32, party_a.get()),
            32);
  EXPECT_EQ(out, Bytes(want.begin(), want.begin() + 32));
}

// SHA-1 with a 32-byte KEK: the second round's digest differs from the first
// (the counter is in the hashed data), and the first 20 bytes are the
// first round's digest of a 256-bit OtherInfo.
TEST_F(X942Kdf, TwoShaRoundsForA32ByteKek) {
  const Bytes zz = hex("000102030405060708090a0b0c0d0e0f10111213");
  qcrypto::UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", "provider=default"));
  Bytes out(32);
  ASSERT_EQ(
      qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), 20, NID_id_smime_alg_CMS3DESwrap, out.data(), 32, nullptr), 32);
  auto round = [&](const char* counter) {
    Bytes input = zz;
    const Bytes der = hex(std::string("301d3013060b2a864886f70d01091003060404") + counter + "a20604040000" + "0100");
    input.insert(input.end(), der.begin(), der.end());
    std::array<unsigned char, 20> d{};
    EXPECT_EQ(EVP_Digest(input.data(), input.size(), d.data(), nullptr, sha1.get(), nullptr), 1);
    return Bytes(d.begin(), d.end());
  };
  Bytes want = round("00000001");
  const Bytes second = round("00000002");
  want.insert(want.end(), second.begin(), second.begin() + 12);
  EXPECT_EQ(out, want);
}

TEST_F(X942Kdf, RefusesBadArguments) {
  const Bytes zz(20, 7);
  qcrypto::UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", "provider=default"));
  Bytes out(8, 0xaa);
  EXPECT_EQ(qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), 20, NID_id_smime_alg_CMS3DESwrap, out.data(), 0, nullptr),
            0);
  EXPECT_EQ(
      qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), 20, NID_id_smime_alg_CMS3DESwrap, out.data(), -4, nullptr), 0);
  EXPECT_EQ(qcrypto::X942_KEK_GENERATE(nullptr, zz.data(), 20, NID_id_smime_alg_CMS3DESwrap, out.data(), 8, nullptr),
            0);
  // An unknown wrap object: failure with the output wiped.
  EXPECT_EQ(qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), 20, 999999, out.data(), 8, nullptr), 0);
  EXPECT_EQ(out, Bytes(8, 0));
  bool saw = false;
  while (unsigned long e = qcrypto::ERR_get_error()) {
    saw = saw || e == qcrypto::ERR_PACK_CODE(qcrypto::ERRLIB_PKCS7, qcrypto::PKCS7_F_X942_KEK_GENERATE,
                                             qcrypto::ERR_R_MEMORY_ALLOC);
  }
  EXPECT_TRUE(saw);
}

TEST_F(X942Kdf, StructuresStartWithTheirOctetStrings) {
  qcrypto::UniquePtr<qcrypto::X942_OTHER_INFO> info(qcrypto::X942_OTHER_INFO_new());
  ASSERT_TRUE(info);
  ASSERT_NE(info->keyInfo, nullptr);
  EXPECT_EQ(ASN1_STRING_length(info->keyInfo->counter), 4);
  EXPECT_EQ(ASN1_STRING_length(info->suppPubInfo), 4);
  EXPECT_EQ(info->partyAInfo, nullptr);
  info->keyInfo->algorithm = OBJ_nid2obj(NID_id_smime_alg_CMS3DESwrap);
  unsigned char* der = nullptr;
  const int len = qcrypto::i2d_X942_KEY_SPECIFIC_INFO(info->keyInfo, &der);
  ASSERT_GT(len, 0);
  EXPECT_EQ(Bytes(der, der + len), hex("3013060b2a864886f70d01091003060404"
                                       "00000000"));
  OPENSSL_free(der);
}

}  // namespace
