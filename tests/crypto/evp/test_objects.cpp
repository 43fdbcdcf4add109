#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/evp/objects.h"

namespace qcrypto {
namespace {

TEST(SysObjects, RowsAreOrderedUniqueAndAboveOpenSslRange) {
  int previous = SYSOBJ_LAST_OPENSSL_NID;
  for (const auto& r : sysobj_rows()) {
    EXPECT_GT(r.number, previous) << r.oid;
    previous = r.number;
  }
  EXPECT_EQ(sysobj_rows().size(), 76u);
}

TEST(SysObjects, EveryOidParsesAndRoundTrips) {
  for (const auto& r : sysobj_rows()) {
    ASN1_OBJECT* obj = OBJ_txt2obj(r.oid, 1);
    ASSERT_NE(obj, nullptr) << r.oid;
    char back[128];
    OBJ_obj2txt(back, sizeof back, obj, 1);
    EXPECT_STREQ(back, r.oid);
    ASN1_OBJECT_free(obj);
  }
}

// Where OpenSSL knows an OID, its table names the object the row means: the
// expected NIDs come from OpenSSL's headers, not from our table. Every other
// row must be unknown to OpenSSL, so a mistyped OID that lands on some other
// registered object is caught as well.
TEST(SysObjects, OidsOpenSslKnowsAreTheObjectsMeant) {
  const std::map<int, int> expected = {
      {184, NID_SMIME},
      {185, NID_id_smime_alg_ESDH},
      {186, NID_id_smime_alg_CMS3DESwrap},
      {187, NID_id_smime_alg_CMSRC2wrap},
      {188, NID_dhpublicnumber},
      {189, NID_X9_62_prime_field},
      {190, NID_X9_62_characteristic_two_field},
      {191, NID_X9_62_prime256v1},
      {192, NID_X9_62_id_ecPublicKey},
      {193, NID_dhSinglePass_stdDH_sha1kdf_scheme},
      {194, NID_dhSinglePass_cofactorDH_sha1kdf_scheme},
      // The system calls this row "encryptedData"; the OID is S/MIME's
      // compressed-data content type.
      {261, NID_id_smime_ct_compressedData},
      {262, NID_zlib_compression},
      {263, NID_cryptopro},
      {271, NID_id_GostR3410_2001},
      {272, NID_id_GostR3410_94},
      {273, NID_id_GostR3411_94_with_GostR3410_2001},
      {274, NID_id_GostR3411_94_with_GostR3410_94},
      {275, NID_id_GostR3411_94_CryptoProParamSet},
      {276, NID_id_GostR3410_94_CryptoPro_A_ParamSet},
      {277, NID_id_GostR3410_94_CryptoPro_B_ParamSet},
      {278, NID_id_GostR3410_94_CryptoPro_C_ParamSet},
      {279, NID_id_GostR3410_94_CryptoPro_D_ParamSet},
      {280, NID_id_GostR3410_94_CryptoPro_XchA_ParamSet},
      {281, NID_id_GostR3410_94_CryptoPro_XchB_ParamSet},
      {282, NID_id_GostR3410_94_CryptoPro_XchC_ParamSet},
      {283, NID_id_GostR3410_2001_CryptoPro_A_ParamSet},
      {284, NID_id_GostR3410_2001_CryptoPro_B_ParamSet},
      {285, NID_id_GostR3410_2001_CryptoPro_C_ParamSet},
      {286, NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet},
      {287, NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet},
      {288, NID_id_GostR3411_94},
      {289, NID_id_Gost28147_89},
      {290, NID_id_Gost28147_89_MAC},
      {291, NID_id_Gost28147_89_CryptoPro_A_ParamSet},
      {292, NID_id_Gost28147_89_CryptoPro_B_ParamSet},
      {293, NID_id_Gost28147_89_CryptoPro_C_ParamSet},
      {294, NID_id_Gost28147_89_CryptoPro_D_ParamSet},
      {295, NID_id_Gost28147_89_CryptoPro_Oscar_1_0_ParamSet},
      {296, NID_id_Gost28147_89_CryptoPro_Oscar_1_0_ParamSet},
  };
  std::set<int> seen;
  for (const auto& r : sysobj_rows()) {
    const int nid = OBJ_txt2nid(r.oid);
    const auto it = expected.find(r.number);
    if (it == expected.end()) {
      EXPECT_EQ(nid, NID_undef) << r.number << " " << r.oid << " is OpenSSL's " << OBJ_nid2sn(nid);
      continue;
    }
    seen.insert(r.number);
    EXPECT_EQ(nid, it->second) << r.number << " " << r.oid;
    // A short name OpenSSL also uses must name the same object there.
    if (r.short_name != nullptr) {
      const int by_name = OBJ_sn2nid(r.short_name);
      EXPECT_TRUE(by_name == NID_undef || by_name == nid) << r.short_name;
    }
  }
  EXPECT_EQ(seen.size(), expected.size());
}

// Dotted OIDs of at least two arcs, no leading zeros, a valid first pair, and
// one row per OID except the published pair 295/296.
TEST(SysObjects, OidsAreWellFormedAndUnique) {
  // Arcs of digits without leading zeros, separated by single dots.
  auto dotted = [](std::string_view oid) {
    int arcs = 0;
    std::size_t at = 0;
    while (at <= oid.size()) {
      const std::size_t end = std::min(oid.find('.', at), oid.size());
      const std::string_view arc = oid.substr(at, end - at);
      if (arc.empty() || (arc.size() > 1 && arc[0] == '0')) return false;
      for (const char c : arc)
        if (c < '0' || c > '9') return false;
      ++arcs;
      at = end + 1;
    }
    return arcs >= 2;
  };
  std::map<std::string, std::vector<int>> by_oid;
  for (const auto& r : sysobj_rows()) {
    ASSERT_NE(r.oid, nullptr) << r.number;
    EXPECT_TRUE(dotted(r.oid)) << r.number << " " << r.oid;
    const long first = std::strtol(r.oid, nullptr, 10);
    const long second = std::strtol(std::strchr(r.oid, '.') + 1, nullptr, 10);
    EXPECT_LE(first, 2) << r.oid;
    if (first < 2) {
      EXPECT_LT(second, 40) << r.oid;
    }
    by_oid[r.oid].push_back(r.number);
  }
  for (const auto& [oid, numbers] : by_oid) {
    if (oid == "1.2.643.2.2.31.6") {
      EXPECT_EQ(numbers, (std::vector<int>{295, 296}));
    } else {
      EXPECT_EQ(numbers.size(), 1u) << oid;
    }
  }
}

// Lookup by number gives exactly the table's rows.
TEST(SysObjects, FindByNumberAgreesWithTheRows) {
  std::set<int> numbers;
  for (const auto& r : sysobj_rows()) {
    numbers.insert(r.number);
    const auto found = sysobj_find(r.number);
    ASSERT_TRUE(found) << r.number;
    EXPECT_EQ(found->oid, r.oid);
    EXPECT_EQ(found->short_name, r.short_name);
  }
  for (int n = 0; n < 400; ++n) {
    if (!numbers.count(n)) {
      EXPECT_FALSE(sysobj_find(n)) << n;
    }
  }
}

TEST(SysObjects, LookupByNameIgnoresCaseAndFindsOids) {
  EXPECT_EQ(sysobj_find_name("rus-gammar")->number, 174);
  EXPECT_EQ(sysobj_find_name("ECR3410WITHR3411")->number, 182);
  EXPECT_EQ(sysobj_find_name("1.3.6.1.4.1.6173.1.4.1")->number, 183);
  // Two rows share 1.2.643.2.2.31.6; the lower number answers.
  EXPECT_EQ(sysobj_find_name("1.2.643.2.2.31.6")->number, 295);
  EXPECT_FALSE(sysobj_find_name("no-such-object"));
  EXPECT_FALSE(sysobj_find_name(nullptr));
}

}  // namespace
}  // namespace qcrypto
