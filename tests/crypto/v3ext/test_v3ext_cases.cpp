// One extension at a time: the records' edge values, the printed texts of the
// corner cases, and the failures that must fail the split.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <string>

#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/v3ext/v3ext.h"
#include "tests/crypto/v3ext/v3ext_test_util.h"

namespace qcrypto {
namespace {

using v3ext_test::Bytes;
using v3ext_test::from_hex;

struct Split {
  STACK_OF(X509_EXTENSION) * extensions;
  STACK_OF(CADB_V3EXT) * records = nullptr;
  int result;
  Split(int nid, bool critical, const Bytes& der)
      : extensions(v3ext_test::one_extension(nid, critical, der)), result(CADB_V3EXT_split(extensions, &records)) {}
  ~Split() {
    CADB_V3EXT_list_free(records);
    v3ext_test::free_extensions(extensions);
  }
  Split(const Split&) = delete;
  Split& operator=(const Split&) = delete;
  const CADB_V3EXT* only() const {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(sk_CADB_V3EXT_num(records), 1);
    return sk_CADB_V3EXT_num(records) == 1 ? sk_CADB_V3EXT_value(records, 0) : nullptr;
  }
  std::string text() const { return v3ext_test::print_all(extensions); }
};

class V3ext : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(evp_provider_start(), 1); }
  void SetUp() override { ERR_clear_error(); }
};

TEST_F(V3ext, BitMasksAndNumbersKeepZero) {
  struct Case {
    const char* what;
    int nid;
    const char* der;
    long want;
  };
  const Case cases[] = {
      {"digitalSignature and keyCertSign", NID_key_usage, "03020084", 0x21},
      {"no bit set", NID_key_usage, "030100", 0},
      {"bits past the fourth byte ignored", NID_key_usage, "0306000000000080", 0},
      {"reason code unspecified", NID_crl_reason, "0A0100", 0},
      {"reason code superseded", NID_crl_reason, "0A0104", 4},
      {"inhibit any policy 0", NID_inhibit_any_policy, "020100", 0},
      {"inhibit any policy 5", NID_inhibit_any_policy, "020105", 5},
  };
  for (const auto& c : cases) {
    Split s(c.nid, false, from_hex(c.der));
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr) << c.what;
    EXPECT_EQ(r->parsed, 1) << c.what;
    EXPECT_EQ(r->number, c.want) << c.what;
    EXPECT_EQ(r->value, nullptr) << c.what;
  }
}

TEST_F(V3ext, UnknownAndUnsupportedExtensions) {
  // Strong Extranet ID is decoded but has no record: unsupported, no value.
  {
    SXNET* sx = nullptr;
    ASSERT_EQ(SXNET_add_id_ulong(&sx, 1, "zone", -1), 1);
    Split s(NID_sxnet, false, v3ext_test::der_of(sx, i2d_SXNET));
    SXNET_free(sx);
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->unsupported, 1);
    EXPECT_EQ(r->parsed, 0);
    EXPECT_EQ(r->value, nullptr);
  }
  // An object nothing here decodes: left out when not critical ...
  const int unknown = OBJ_create("1.3.6.1.4.1.99999.77", "testUnknownExt", "test unknown extension");
  ASSERT_NE(unknown, NID_undef);
  {
    Split s(unknown, false, from_hex("0500"));
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(sk_CADB_V3EXT_num(s.records), 0);
  }
  // ... and failing the split when critical, as an extension OpenSSL knows
  // but the database does not (TLS feature) does.
  for (const int nid : {unknown, static_cast<int>(NID_tlsfeature)}) {
    ERR_clear_error();
    Split s(nid, true, from_hex("3003020105"));
    EXPECT_EQ(s.result, 0) << nid;
    EXPECT_EQ(s.records, nullptr);
    const unsigned long e = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_X509V3);
    EXPECT_EQ(ERR_GET_FUNC_CODE(e), 156);
    EXPECT_EQ(ERR_GET_REASON_CODE(e), 11);
  }
}

TEST_F(V3ext, ValuesThatDoNotDecodeFailTheSplit) {
  struct Case {
    const char* what;
    int nid;
    const char* der;
    int func;  // a function code the queue must name
  };
  const Case cases[] = {
      {"truncated names", NID_subject_alt_name, "300582036162", 156},
      {"trailing byte", NID_crl_number, "02010100", 156},
      {"wrong type", NID_basic_constraints, "0500", 156},
      {"empty value", NID_policy_constraints, "", 156},
      {"dir attribute with two values", NID_subject_directory_attributes,
       // SEQUENCE { SEQUENCE { OID 2.5.4.6, SET { PrintableString RU, PrintableString UA } } }
       "3011300F060355040631081302525513025541", 294},
      {"dir attribute with a GeneralizedTime", NID_subject_directory_attributes,
       // SEQUENCE { SEQUENCE { OID 1.3.6.1.5.5.7.9.1, SET { GeneralizedTime } } }
       "301F301D06082B06010505070901311118"
       "0F31393730303130313030303030305A",
       294},
      {"dist point name with nothing inside", NID_crl_distribution_points, "30043002A000", 156},
      {"usage period with a bad time", NID_private_key_usage_period,
       "3011800F3230323431333031303030303030"
       "5A",
       282},
  };
  for (const auto& c : cases) {
    ERR_clear_error();
    Split s(c.nid, false, from_hex(c.der));
    EXPECT_EQ(s.result, 0) << c.what;
    EXPECT_EQ(s.records, nullptr) << c.what;
    bool named = false;
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) named |= ERR_GET_FUNC_CODE(e) == c.func;
    EXPECT_TRUE(named) << c.what;
  }
}

TEST_F(V3ext, DistPointNameWithNeitherFormNamesItsFunction) {
  DIST_POINT_NAME empty{};
  empty.type = 5;
  ERR_clear_error();
  EXPECT_EQ(CADB_DIST_POINT_NAME_parse(&empty), nullptr);
  const unsigned long e = ERR_peek_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_CADB);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), 308);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), 12);
}

TEST_F(V3ext, RecordDefaultsAndNames) {
  // General subtree without minimum and maximum; policy constraints with only
  // inhibitPolicyMapping.
  {
    // SEQUENCE { [0] { SEQUENCE { [2] "a.ru" } } }
    Split s(NID_name_constraints, true, from_hex("300AA0083006820461 2E7275"));
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr);
    const auto* nc = static_cast<CADB_NAME_CONSTRAINTS*>(r->value);
    ASSERT_EQ(sk_CADB_GENERAL_SUBTREE_num(nc->permitted), 1);
    EXPECT_EQ(sk_CADB_GENERAL_SUBTREE_value(nc->permitted, 0)->minimum, 0);
    EXPECT_EQ(sk_CADB_GENERAL_SUBTREE_value(nc->permitted, 0)->maximum, -1);
    EXPECT_EQ(nc->excluded, nullptr);
  }
  {
    Split s(NID_policy_constraints, false, from_hex("3003810102"));
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr);
    const auto* pc = static_cast<CADB_POLICY_CONSTRAINTS*>(r->value);
    EXPECT_EQ(pc->require_explicit_policy, -1);
    EXPECT_EQ(pc->inhibit_policy_mapping, 2);
    EXPECT_EQ(s.text(), "    X509v3 Policy Constraints: \n        Inhibit Policy Mapping:  2\n\n");
  }
  {
    Split s(NID_basic_constraints, false, from_hex("3000"));
    const auto* bc = static_cast<CADB_BASIC_CONSTRAINTS*>(s.only()->value);
    EXPECT_EQ(bc->ca, 0);
    EXPECT_EQ(bc->pathlen, -1);
  }
}

TEST_F(V3ext, IpAddressesInRecordsAndTexts) {
  struct Case {
    Bytes ip;
    const char* record;  // null: no value
    const char* printed;
  };
  const Case cases[] = {
      {{192, 168, 1, 1}, "192.168.1.1", "IP Address: 192.168.1.1"},
      {{0xC0, 0xA8, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x00},
       "192.168.1.0/255.255.255.0",
       "IP Address: 192.168.1.0/255.255.255.0"},
      {Bytes(16, 0x20), nullptr, "IP Address: <invalid>"},
      {{1, 2, 3}, nullptr, "IP Address: <invalid>"},
  };
  for (const auto& c : cases) {
    // Through the access-location printer, which uses our pair texts (the
    // alternative names keep OpenSSL's).
    AUTHORITY_INFO_ACCESS* aia = sk_ACCESS_DESCRIPTION_new_null();
    ACCESS_DESCRIPTION* d = ACCESS_DESCRIPTION_new();
    ASN1_OBJECT_free(d->method);
    d->method = OBJ_nid2obj(NID_ad_ca_issuers);
    GENERAL_NAME_free(d->location);
    d->location = v3ext_test::ip_name(c.ip);
    sk_ACCESS_DESCRIPTION_push(aia, d);
    Split s(NID_info_access, false, v3ext_test::der_of(aia, i2d_AUTHORITY_INFO_ACCESS));
    AUTHORITY_INFO_ACCESS_free(aia);
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr);
    const auto* list = static_cast<STACK_OF(CADB_ACCESS_DESCRIPTION)*>(r->value);
    const CADB_GENERAL_NAME* name = sk_CADB_ACCESS_DESCRIPTION_value(list, 0)->location;
    EXPECT_EQ(name->type, 0x87);
    if (c.record == nullptr) {
      EXPECT_EQ(name->value, nullptr) << c.printed;
    } else {
      const auto* b = static_cast<BUFFER*>(name->value);
      ASSERT_NE(b, nullptr);
      EXPECT_STREQ(reinterpret_cast<const char*>(b->data), c.record);
    }
    EXPECT_EQ(s.text(), std::string("    Authority Information Access: \n        Access Method: CA Issuers\n"
                                    "        Access Location:\n          ") +
                            c.printed + "\n\n");
  }
}

TEST_F(V3ext, NoticeNumbers) {
  struct Case {
    std::vector<long> numbers;
    const char* want;
  };
  const Case cases[] = {{{1, 2, 3}, "1,2,3"}, {{}, ""}, {{42}, "42"}};
  for (const auto& c : cases) {
    NOTICEREF* ref = NOTICEREF_new();
    ASN1_STRING_free(ref->organization);
    ref->organization = ASN1_STRING_type_new(V_ASN1_VISIBLESTRING);
    ASN1_STRING_set(ref->organization, "Org", -1);
    for (const long n : c.numbers) {
      ASN1_INTEGER* i = ASN1_INTEGER_new();
      ASN1_INTEGER_set(i, n);
      sk_ASN1_INTEGER_push(ref->noticenos, i);
    }
    CADB_NOTICE_REF* record = CADB_NOTICE_REF_parse(ref);
    NOTICEREF_free(ref);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(record->numbers->data), c.want);
    EXPECT_STREQ(record->organization->value, "Org");
    CADB_NOTICE_REF_free(record);
  }
}

TEST_F(V3ext, PrintedCorners) {
  ASN1_INTEGER* n = ASN1_INTEGER_new();
  ASN1_INTEGER_set(n, 0x0102);
  const Bytes number = v3ext_test::der_of(n, i2d_ASN1_INTEGER);
  ASN1_INTEGER_free(n);
  struct Case {
    const char* what;
    int nid;
    Bytes der;
    const char* want;
  };
  const Case cases[] = {
      {"CRL number", NID_crl_number, number, "    X509v3 CRL Number: \n        CRL Number: 01:02\n"},
      {"delta CRL", NID_delta_crl, number, "    X509v3 Delta CRL Indicator: \n        Base CRL Number: 01:02\n"},
      {"skip certs", NID_inhibit_any_policy, from_hex("020103"),
       "    X509v3 Inhibit Any Policy: \n        SkipCerts: 3\n"},
      {"single distribution point has no [1]", NID_crl_distribution_points,
       // SEQUENCE { SEQUENCE { [0] { [0] { [6] "http://a" } } } }
       from_hex("3010300EA00CA00A8608687474703A2F2F61"),
       "    X509v3 CRL Distribution Points: \n        Distribution Point:\n          Full Name:\n"
       "            URI: http://a\n\n"},
      {"issuing point with all flags false", NID_issuing_distribution_point, v3ext_test::issuing_dist_point_der(false),
       "    X509v3 Issuing Distribution Point: critical\n        Distribution Point:\n          Full Name:\n"
       "            URI: http://crl.example.ru/ca.crl\n\n"},
      {"directory attribute with an INTEGER", NID_subject_directory_attributes,
       // SEQUENCE { SEQUENCE { OID 2.5.4.6, SET { INTEGER 5 } } }
       from_hex("300C300A06035504063103020105"),
       "    X509v3 Subject Directory Attributes: \n"
       "        countryName: <Unsupported tag 2>\n\n"},
      {"empty directory attributes", NID_subject_directory_attributes, from_hex("3000"),
       "    X509v3 Subject Directory Attributes: \n        <Empty Attributes>\n\n"},
      {"hold instruction", NID_hold_instruction_code, from_hex("06072A8648CE380202"),
       "    Hold Instruction Code: \n        Hold Instruction Call Issuer\n"},
      {"policy mappings, one", NID_policy_mappings, from_hex("300C300A06022A0306042A030405"),
       "    X509v3 Policy Mappings: \n        Issuer Domain Policy:  1.2.3\n"
       "        Subject Domain Policy: 1.2.3.4.5\n\n"},
      {"URI with a line break", NID_freshest_crl, from_hex("300E300CA00AA0088606610A4576696C"),
       "    X509v3 Freshest CRL: \n        Distribution Point:\n          Full Name:\n"
       "            URI: a\\x0AEvil\n\n"},
  };
  for (const auto& c : cases) {
    const bool critical = c.nid == NID_issuing_distribution_point;
    Split s(c.nid, critical, c.der);
    EXPECT_EQ(s.result, c.nid == NID_subject_directory_attributes && c.der.size() > 2 ? 0 : 1) << c.what;
    EXPECT_EQ(s.text(), c.want) << c.what;
  }
}

TEST_F(V3ext, IssuingPointWithoutReasonBitsConverts) {
  ISSUING_DIST_POINT* idp = ISSUING_DIST_POINT_new();
  idp->onlysomereasons = ASN1_BIT_STRING_new();
  Split s(NID_issuing_distribution_point, true, v3ext_test::der_of(idp, i2d_ISSUING_DIST_POINT));
  ISSUING_DIST_POINT_free(idp);
  const CADB_V3EXT* r = s.only();
  ASSERT_NE(r, nullptr);
  const auto* rec = static_cast<CADB_ISSUING_DIST_POINT*>(r->value);
  EXPECT_EQ(rec->only_some_reasons, 0UL);
  EXPECT_EQ(rec->name, nullptr);
}

TEST_F(V3ext, IssuingPointWithTheFourFlagsWrittenFalseConverts) {
  // Older encoders write every flag, FALSE included; such CRLs must still
  // split (with the flags off) and print only what is set.
  Split s(NID_issuing_distribution_point, true, from_hex("300C810100820100840100850100"));
  const CADB_V3EXT* r = s.only();
  ASSERT_NE(r, nullptr);
  const auto* rec = static_cast<CADB_ISSUING_DIST_POINT*>(r->value);
  EXPECT_EQ(rec->only_user, 0);
  EXPECT_EQ(rec->only_ca, 0);
  EXPECT_EQ(rec->indirect_crl, 0);
  EXPECT_EQ(rec->only_attr, 0);
  EXPECT_EQ(s.text(), "    X509v3 Issuing Distribution Point: critical\n\n");
}

TEST_F(V3ext, OwnObjectsWithTheKeyIdSyntax) {
  const Bytes der = from_hex("30068004010203FF");
  for (const int number : {304, 306}) {
    const int nid = sysobj_nid(number);
    ASSERT_NE(nid, NID_undef) << number;
    Split s(nid, false, der);
    const CADB_V3EXT* r = s.only();
    ASSERT_NE(r, nullptr);
    const auto* akid = static_cast<CADB_AUTHORITY_KEYID*>(r->value);
    ASSERT_NE(akid, nullptr);
    EXPECT_EQ(Bytes(akid->keyid->data, akid->keyid->data + akid->keyid->length), (Bytes{1, 2, 3, 0xFF}));
  }
}

TEST_F(V3ext, DistPointsFromValuesAndNamePairs) {
  STACK_OF(CONF_VALUE)* values = nullptr;
  ASSERT_EQ(X509V3_add_value("URI", "http://a.example.ru/x.crl", &values), 1);
  ASSERT_EQ(X509V3_add_value("email", "crl@example.ru", &values), 1);
  UniquePtr<CRL_DIST_POINTS> points(V2I_CRLD(nullptr, values));
  ASSERT_NE(points, nullptr);
  ASSERT_EQ(sk_DIST_POINT_num(points.get()), 2);
  for (int i = 0; i < 2; ++i) {
    const DIST_POINT* p = sk_DIST_POINT_value(points.get(), i);
    ASSERT_NE(p->distpoint, nullptr);
    EXPECT_EQ(p->distpoint->type, 0);
    EXPECT_EQ(sk_GENERAL_NAME_num(p->distpoint->name.fullname), 1);
    EXPECT_EQ(p->reasons, nullptr);
    EXPECT_EQ(p->CRLissuer, nullptr);
  }
  // The printed pairs of the two names, through the list form.
  STACK_OF(CONF_VALUE)* pairs = nullptr;
  for (int i = 0; i < 2; ++i) {
    pairs = GENERAL_NAME_print_ext(
        sk_GENERAL_NAME_value(sk_DIST_POINT_value(points.get(), i)->distpoint->name.fullname, 0), pairs);
    ASSERT_NE(pairs, nullptr);
  }
  ASSERT_EQ(sk_CONF_VALUE_num(pairs), 2);
  EXPECT_STREQ(sk_CONF_VALUE_value(pairs, 0)->name, "URI");
  EXPECT_STREQ(sk_CONF_VALUE_value(pairs, 0)->value, "http://a.example.ru/x.crl");
  EXPECT_STREQ(sk_CONF_VALUE_value(pairs, 1)->name, "email");
  sk_CONF_VALUE_pop_free(pairs, X509V3_conf_free);
  // A value OpenSSL cannot turn into a name fails the whole list.
  ASSERT_EQ(X509V3_add_value("nonsense", "x", &values), 1);
  EXPECT_EQ(V2I_CRLD(nullptr, values), nullptr);
  sk_CONF_VALUE_pop_free(values, X509V3_conf_free);
}

TEST_F(V3ext, DecodedListLookups) {
  STACK_OF(X509_EXTENSION)* stack = v3ext_test::one_extension(NID_crl_number, false, from_hex("020107"));
  STACK_OF(X509_EXTENSION)* second = v3ext_test::one_extension(NID_key_usage, true, from_hex("03020780"));
  sk_X509_EXTENSION_push(stack, sk_X509_EXTENSION_pop(second));
  v3ext_test::free_extensions(second);
  STACK_OF(V3EXT_DECODED)* list = V3EXT_decode_all(stack);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(V3EXT_DECODED_find(list, NID_key_usage), 1);
  EXPECT_EQ(V3EXT_DECODED_find(list, NID_subject_alt_name), -1);
  ASSERT_NE(V3EXT_DECODED_get(list, NID_key_usage), nullptr);
  EXPECT_EQ(V3EXT_DECODED_get(list, NID_key_usage)->critical, 1);
  EXPECT_EQ(V3EXT_DECODED_get(list, NID_crl_reason), nullptr);
  V3EXT_DECODED_list_free(list);
  v3ext_test::free_extensions(stack);
  EXPECT_EQ(V3EXT_decode_all(nullptr), nullptr);
  EXPECT_EQ(CADB_V3EXT_parse_extensions(nullptr), nullptr);
  EXPECT_EQ(CADB_V3EXT_parse(nullptr), nullptr);
  EXPECT_EQ(CADB_GENERAL_NAMES_parse(nullptr), nullptr);
}

}  // namespace
}  // namespace qcrypto
