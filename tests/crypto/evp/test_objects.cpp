#include "crypto/evp/objects.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>
#include <set>
#include <string>

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

TEST(SysObjects, KnownRows) {
  struct Case {
    int number;
    const char* sn;
    const char* ln;
    const char* oid;
  };
  const Case cases[] = {
      {SYSOBJ_Veltrana, "Veltrana", "Veltrana, JSC", "1.3.6.1.4.1.6173"},
      {SYSOBJ_RUS_CHANGE, "RUS-CHANGE", "rus-change", "1.3.6.1.4.1.6173.1.1.1"},
      {SYSOBJ_RUS_HASH, "RUS-HASH", "rus-hash", "1.3.6.1.4.1.6173.1.2.1"},
      {SYSOBJ_R3410, "R3410", "r3410", "1.3.6.1.4.1.6173.1.1.5"},
      {SYSOBJ_ECR3410_R3411, "ECR3410-R3411", "ecr3410WithR3411", "1.3.6.1.4.1.6173.1.3.2"},
      {SYSOBJ_pbeWithR3411AndGOST, "pbeWithR3411AndGOST", "pbeWithR3411AndGOST", "1.3.6.1.4.1.6173.1.5.1"},
      {SYSOBJ_id_ecPublicKey, "id-ecPublicKey", "id-ecPublicKey", "1.2.840.10045.2.1"},
      {SYSOBJ_CryptoPro, "CryptoPro", "CryptoPro", "1.2.643.2.2"},
      {SYSOBJ_CryptoPro_GostR3410_2001_XchB_ParamSet, "CryptoPro-GostR3410-2001-XchB-ParamSet",
       "CryptoPro-GostR3410-2001-XchB-ParamSet", "1.2.643.2.2.36.1"},
      {SYSOBJ_CryptoPro_Gost28147_89_Simple_D_ParamSet, "CryptoPro-Gost28147-89-Simple-D-ParamSet",
       "CryptoPro-Gost28147-89-Simple-D-ParamSet", "1.2.643.2.2.31.9"},
      {SYSOBJ_Elliptic_Curve_Diffie_Hellman, "Elliptic Curve Diffie-Hellman", "Elliptic Curve Diffie-Hellman",
       "1.3.6.1.4.1.6173.1.8.5"},
  };
  for (const auto& c : cases) {
    auto row = sysobj_find(c.number);
    ASSERT_TRUE(row) << c.number;
    EXPECT_STREQ(row->short_name, c.sn);
    EXPECT_STREQ(row->long_name, c.ln);
    EXPECT_STREQ(row->oid, c.oid);
  }
  EXPECT_FALSE(sysobj_find(170));
  EXPECT_FALSE(sysobj_find(200));  // extension rows come with the certificate code
  auto unnamed = sysobj_find(191);
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->short_name, nullptr);
  EXPECT_STREQ(unnamed->oid, "1.2.840.10045.3.1.7");
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
