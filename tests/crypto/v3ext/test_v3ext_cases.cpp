// Single extensions written by hand: the printed texts and records of their
// edge cases, the decoding rules (unknown, critical, malformed), the value
// list to distribution points, and the CRMF certificate identifier.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/v3ext/crmf_certid.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_codes.h"
#include "crypto/v3ext/v3ext_owners.h"
#include "crypto/x509/name_print.h"
#include "tests/crypto/v3ext/v3ext_test_util.h"

namespace qcrypto {
namespace {

using namespace v3ext_test;

UniquePtr<X509_EXTENSION> make_ext(const char* dotted, bool critical, const Bytes& der) {
  UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(dotted, 1));
  UniquePtr<ASN1_OCTET_STRING> data(ASN1_OCTET_STRING_new());
  EXPECT_TRUE(obj && data && ASN1_OCTET_STRING_set(data.get(), der.data(), static_cast<int>(der.size())) == 1);
  return UniquePtr<X509_EXTENSION>(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), critical ? 1 : 0, data.get()));
}

std::string print_one(const char* dotted, const Bytes& der, int* result = nullptr) {
  UniquePtr<X509_EXTENSION> ext = make_ext(dotted, false, der);
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  const int r = V3EXT_print(mem.get(), ext.get(), 2);
  if (result != nullptr) *result = r;
  char* data = nullptr;
  const long n = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

struct ExtStack {
  STACK_OF(X509_EXTENSION) * sk = sk_X509_EXTENSION_new_null();
  ~ExtStack() { sk_X509_EXTENSION_pop_free(sk, X509_EXTENSION_free); }
  ExtStack& add(const char* dotted, bool critical, const Bytes& der) {
    sk_X509_EXTENSION_push(sk, make_ext(dotted, critical, der).release());
    return *this;
  }
};

bool queue_has(int lib, int func, int reason) {
  bool found = false;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    found = found || e == ERR_PACK_CODE(lib, func, reason);
  }
  return found;
}

const Bytes kOcsp = oid("1.3.6.1.5.5.7.48.1");

// --- printed texts ----------------------------------------------------------

struct PrintCase {
  const char* what;
  const char* oid;
  Bytes der;
  std::string text;
};

TEST(V3extPrint, EdgeCasesPrintTheSystemsTexts) {
  const Bytes dp_uri = tlv(0xA0, tlv(0xA0, tlv(0x86, text("http://a/c.crl"))));
  const Bytes rid = oid("1.2.3.9");  // its contents go under the [8] tag
  const Bytes attr_int = seq({seq({oid("2.5.4.12"), tlv(0x31, tlv(0x02, {0x07}))})});
  const std::vector<PrintCase> cases = {
      {"16-byte IP address", "1.3.6.1.5.5.7.1.1", seq({seq({kOcsp, tlv(0x87, Bytes(16, 1))})}),
       "  Access Method: OCSP\n  Access Location:\n    IP Address: <invalid>\n"},
      {"8-byte IP address", "1.3.6.1.5.5.7.1.11", seq({seq({kOcsp, tlv(0x87, {192, 168, 1, 0, 255, 255, 255, 0})})}),
       "  Access Method: OCSP\n  Access Location:\n    IP Address: 192.168.1.0/255.255.255.0\n"},
      {"other choices", "1.3.6.1.5.5.7.1.1",
       seq({seq({kOcsp, tlv(0xA0, cat({oid("1.2.3"), tlv(0xA0, tlv(0x0C, text("x")))}))}),
            seq({oid("1.2.3.4.5"), tlv(0x88, Bytes(rid.begin() + 2, rid.end()))})}),
       "  Access Method: OCSP\n  Access Location:\n    otherName: <unsupported>\n"
       "  Access Method: 1.2.3.4.5\n  Access Location:\n    Registered ID: 1.2.3.9\n"},
      {"CRL number 0x0102", "2.5.29.20", tlv(0x02, {0x01, 0x02}), "  CRL Number: 01:02"},
      {"delta CRL: the magnitude, no sign byte", "2.5.29.27", tlv(0x02, {0x00, 0x80}), "  Base CRL Number: 80"},
      {"one distribution point", "2.5.29.31", seq({seq({dp_uri})}),
       "  Distribution Point:\n    Full Name:\n      URI: http://a/c.crl\n"},
      {"issuing point, every flag false", "2.5.29.28",
       seq({dp_uri, tlv(0x81, {0x00}), tlv(0x82, {0x00}), tlv(0x84, {0x00}), tlv(0x85, {0x00})}),
       "  Distribution Point:\n    Full Name:\n      URI: http://a/c.crl\n"},
      {"issuing point, CA and attribute flags", "2.5.29.28", seq({tlv(0x82, {0xFF}), tlv(0x85, {0xFF})}),
       "  onlyContainsCACerts\n  onlyContainsAttributeCerts\n"},
      {"directory attribute with an INTEGER", "2.5.29.9", attr_int, "  title: <Unsupported tag 2>\n"},
      {"directory attribute without values", "2.5.29.9", seq({seq({oid("1.2.3.4"), tlv(0x31, {})})}),
       "  1.2.3.4: <No Values>\n"},
      {"directory attribute with two values", "2.5.29.9",
       seq({seq({oid("2.5.4.4"), tlv(0x31, cat({tlv(0x13, text("A")), tlv(0x16, text("B"))}))})}),
       "  surname: A\n  surname: B\n"},
      {"no directory attributes", "2.5.29.9", seq({}), "  <Empty Attributes>\n"},
      {"policy constraints, inhibit only", "2.5.29.36", seq({tlv(0x81, {0x02})}), "  Inhibit Policy Mapping:  2\n"},
      {"one policy mapping", "2.5.29.33", seq({seq({oid("1.2.3.4"), oid("1.2.3.5")})}),
       "  Issuer Domain Policy:  1.2.3.4\n  Subject Domain Policy: 1.2.3.5\n"},
      {"inhibit any policy", "2.5.29.54", tlv(0x02, {0x03}), "  SkipCerts: 3"},
      {"hold instruction", "2.5.29.23", oid("1.2.840.10040.2.3"), "  Hold Instruction Reject"},
      {"invalidity date", "2.5.29.24", tlv(0x18, text("20240229235959Z")), "  Feb 29 23:59:59 2024 GMT"},
      {"name constraints, excluded only", "2.5.29.30", seq({tlv(0xA1, seq({tlv(0x82, text("x.ru"))}))}),
       "  Excluded Subtrees:\n    DNS: x.ru\n"},
  };
  for (const PrintCase& c : cases) {
    int r = 0;
    EXPECT_EQ(print_one(c.oid, c.der, &r), c.text) << c.what;
    EXPECT_EQ(r, 1) << c.what;
  }
}

TEST(V3extPrint, LeavesOtherExtensionsAndBadValuesToTheCaller) {
  int r = -2;
  EXPECT_EQ(print_one("2.5.29.15", tlv(0x03, {0x07, 0x80}), &r), "");  // key usage: OpenSSL's printer
  EXPECT_EQ(r, 0);
  EXPECT_EQ(print_one("2.5.29.20", tlv(0x04, {0x01}), &r), "");  // not an INTEGER
  EXPECT_EQ(r, 0);
}

// --- records ------------------------------------------------------------------

struct RecordCase {
  const char* what;
  const char* oid;
  Bytes der;
  std::string records;
};

TEST(V3extRecords, EdgeCasesConvert) {
  const std::vector<RecordCase> cases = {
      {"key usage without bits", "2.5.29.15", tlv(0x03, {0x00}),
       "object 83 critical 0 parsed 1 unsupported 0 extension (none)\n  mask 0x0\n"},
      {"key usage beyond four bytes", "2.5.29.15", tlv(0x03, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
       "object 83 critical 0 parsed 1 unsupported 0 extension (none)\n  mask 0xFFFFFFFF\n"},
      {"IP addresses of 8 and 16 bytes", "2.5.29.17",
       seq({tlv(0x87, {0xC0, 0xA8, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x00}), tlv(0x87, Bytes(16, 0))}),
       "object 85 critical 0 parsed 1 unsupported 0 extension (none)\n  names [2]\n"
       "    name 0x87 \"192.168.1.0/255.255.255.0\"\n    name 0x87 (none)\n"},
      {"subtree without minimum and maximum", "2.5.29.30", seq({tlv(0xA0, seq({tlv(0x82, text("a.ru"))}))}),
       "object 204 critical 0 parsed 1 unsupported 0 extension (none)\n  permitted [1]\n"
       "    minimum 0 maximum -1\n    name 0x82 {0 \"a.ru\" type 22}\n  excluded (none)\n"},
      {"policy constraints, inhibit only", "2.5.29.36", seq({tlv(0x81, {0x02})}),
       "object 203 critical 0 parsed 1 unsupported 0 extension (none)\n  require explicit -1 inhibit mapping 2\n"},
      {"issuing point with an empty reason set", "2.5.29.28", seq({tlv(0x83, {0x00})}),
       "object 213 critical 0 parsed 1 unsupported 0 extension (none)\n"
       "  user 0 ca 0 reasons 0x0 indirect 0 attribute 0\n  point name (none)\n"},
      {"reason code 0", "2.5.29.21", tlv(0x0A, {0x00}),
       "object 141 critical 0 parsed 1 unsupported 0 extension (none)\n  number 0\n"},
      {"basic constraints of a CA with a path length", "2.5.29.19", seq({tlv(0x01, {0xFF}), tlv(0x02, {0x02})}),
       "object 87 critical 0 parsed 1 unsupported 0 extension (none)\n  ca 255 path length 2\n"},  // TRUE as DER has it
      {"text with a zero byte", "2.16.840.1.113730.1.13", tlv(0x16, {'a', 0x00, 'b'}),
       "object 78 critical 0 parsed 1 unsupported 0 extension (none)\n  text {0 \"a\\x00b\" type 22}\n"},
      {"unknown extension, not critical", "1.2.3.4.5.6", tlv(0x05, {}), ""},
  };
  for (const RecordCase& c : cases) {
    ExtStack sk;
    sk.add(c.oid, false, c.der);
    UniquePtr<CADB_V3EXT_LIST> list(CADB_V3EXT_split(sk.sk));
    ASSERT_TRUE(list) << c.what;
    EXPECT_EQ(render(list.get()), c.records) << c.what;
  }
}

TEST(V3extRecords, TextValuesFollowTheCodePageMode) {
  // "Инженер" in UTF-8 as a directory attribute.
  const std::string utf8 = "\xD0\x98\xD0\xBD\xD0\xB6\xD0\xB5\xD0\xBD\xD0\xB5\xD1\x80";
  const struct {
    int mode;
    std::string text;
  } cases[] = {
      {NAME_MODE_LOCAL, "\xC8\xED\xE6\xE5\xED\xE5\xF0"},
      {NAME_MODE_KOI8R, "\xE9\xCE\xD6\xC5\xCE\xC5\xD2"},
      {NAME_MODE_CP866, "\x88\xAD\xA6\xA5\xAD\xA5\xE0"},
      {NAME_MODE_UTF8, utf8},
  };
  const int saved = X509_NAME_codepage_mode();
  for (const auto& c : cases) {
    ASSERT_EQ(X509_NAME_set_codepage_mode(c.mode), 1);
    ExtStack sk;
    sk.add("2.5.29.9", false, seq({seq({oid("2.5.4.12"), tlv(0x31, tlv(0x0C, text(utf8)))})}));
    UniquePtr<CADB_V3EXT_LIST> list(CADB_V3EXT_split(sk.sk));
    ASSERT_TRUE(list) << c.mode;
    const CADB_V3EXT* e = sk_CADB_V3EXT_value(list.get(), 0);
    ASSERT_EQ(sk_ATTRIBUTE_num(e->value.attributes), 1);
    EXPECT_EQ(std::string(sk_ATTRIBUTE_value(e->value.attributes, 0)->value), c.text) << c.mode;
  }
  X509_NAME_set_codepage_mode(saved);
}

TEST(V3extRecords, NoticeNumbersAreJoinedByCommas) {
  for (const auto& [numbers, expected] :
       std::vector<std::pair<std::vector<long>, std::string>>{{{}, ""}, {{7}, "7"}, {{1, 2, 3}, "1,2,3"}}) {
    UniquePtr<NOTICEREF> ref(NOTICEREF_new());
    ASSERT_TRUE(ref);
    if (ref->noticenos == nullptr) ref->noticenos = sk_ASN1_INTEGER_new_null();
    for (long n : numbers) {
      ASN1_INTEGER* i = ASN1_INTEGER_new();
      ASN1_INTEGER_set(i, n);
      sk_ASN1_INTEGER_push(ref->noticenos, i);
    }
    ASN1_STRING_set(ref->organization, "Org", 3);
    ref->organization->type = V_ASN1_VISIBLESTRING;
    CADB_NOTICE_REF* record = CADB_NOTICE_REF_parse(ref.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record->numbers->data), record->numbers->length), expected);
    ASSERT_NE(record->organization, nullptr);
    EXPECT_STREQ(record->organization->value, "Org");
    CADB_NOTICE_REF_free(record);
  }
}

TEST(V3extRecords, FailuresFailTheWholeSplit) {
  struct Case {
    const char* what;
    const char* oid;
    bool critical;
    Bytes der;
  };
  const std::vector<Case> cases = {
      {"directory attribute with two values", "2.5.29.9", false,
       seq({seq({oid("2.5.4.4"), tlv(0x31, cat({tlv(0x13, text("A")), tlv(0x13, text("B"))}))})})},
      {"directory attribute with a time", "2.5.29.9", false,
       seq({seq({oid("1.3.6.1.5.5.7.9.1"), tlv(0x31, tlv(0x18, text("19700101000000Z")))})})},
      {"unknown critical extension", "1.2.3.4.5.6", true, tlv(0x05, {})},
      {"value that does not decode", "2.5.29.19", false, tlv(0x04, {0x00})},
      {"bytes after the value", "2.5.29.15", false, cat({tlv(0x03, {0x00}), Bytes{0x00}})},
      {"usage period with a bad time", "2.5.29.16", false, seq({tlv(0x80, text("2024130100000Z"))})},
  };
  for (const Case& c : cases) {
    ExtStack sk;
    sk.add("2.5.29.15", false, tlv(0x03, {0x07, 0x80})).add(c.oid, c.critical, c.der);
    ERR_clear_error();
    EXPECT_EQ(CADB_V3EXT_split(sk.sk), nullptr) << c.what;
    EXPECT_NE(ERR_peek_error(), 0UL) << c.what;
  }
  ExtStack critical;
  critical.add("1.2.3.4.5.6", true, tlv(0x05, {}));
  ERR_clear_error();
  EXPECT_EQ(V3EXT_decode_extensions(critical.sk), nullptr);
  EXPECT_TRUE(queue_has(ERRLIB_X509V3, X509V3_F_X509V3_DECODE_ALL, ERR_R_INTERNAL));
}

TEST(V3extRecords, AbsentEmptyAndNullInputs) {
  EXPECT_EQ(CADB_V3EXT_split(nullptr), nullptr);
  ExtStack empty;
  UniquePtr<CADB_V3EXT_LIST> list(CADB_V3EXT_split(empty.sk));
  ASSERT_TRUE(list);
  EXPECT_EQ(sk_CADB_V3EXT_num(list.get()), 0);

  ERR_clear_error();
  EXPECT_EQ(CADB_GENERAL_NAMES_parse(nullptr), nullptr);
  EXPECT_TRUE(queue_has(ERRLIB_CADB, CADB_F_CADB_GENERAL_NAME_PARSE, CADB_R_CALLED_PART));
  EXPECT_EQ(CADB_V3EXT_parse(nullptr), nullptr);
  EXPECT_TRUE(queue_has(ERRLIB_CADB, CADB_F_CADB_V3EXT_PARSE, ERR_R_INTERNAL));

  UniquePtr<DIST_POINT_NAME> neither(DIST_POINT_NAME_new());
  ASSERT_TRUE(neither);
  neither->type = 0;  // a full name without names
  EXPECT_EQ(CADB_DIST_POINT_NAME_parse(neither.get()), nullptr);
  EXPECT_TRUE(queue_has(ERRLIB_CADB, CADB_F_CADB_DIST_POINT_NAME_PARSE, ERR_R_INTERNAL));
}

TEST(V3extDecode, FindsEntriesByNumber) {
  ExtStack sk;
  sk.add("2.5.29.15", false, tlv(0x03, {0x00}))
      .add("1.2.3.9", false, tlv(0x05, {}))
      .add("2.5.29.54", true, tlv(0x02, {0x01}));
  UniquePtr<V3EXT_DECODED_LIST> list(V3EXT_decode_extensions(sk.sk));
  ASSERT_TRUE(list);
  ASSERT_EQ(sk_V3EXT_DECODED_num(list.get()), 2);  // the unknown one is left out
  EXPECT_EQ(V3EXT_DECODED_find(list.get(), V3OBJ_INHIBIT_ANY_POLICY), 1);
  EXPECT_EQ(V3EXT_DECODED_find(list.get(), NID_basic_constraints), -1);
  const V3EXT_DECODED* e = V3EXT_DECODED_get(list.get(), V3OBJ_INHIBIT_ANY_POLICY);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->critical, 1);
  EXPECT_EQ(e->reserved, 0);
  EXPECT_EQ(ASN1_INTEGER_get(static_cast<ASN1_INTEGER*>(e->value)), 1);
}

TEST(V3extValueList, EveryValueBecomesOneFullNamePoint) {
  STACK_OF(CONF_VALUE)* values = nullptr;
  ASSERT_EQ(X509V3_add_value("URI", "http://a/1.crl", &values), 1);
  ASSERT_EQ(X509V3_add_value("email", "b@c.ru", &values), 1);
  UniquePtr<CRL_DIST_POINTS> points(V2I_CRLD(nullptr, values));
  ASSERT_TRUE(points);
  ASSERT_EQ(sk_DIST_POINT_num(points.get()), 2);
  for (int i = 0; i < 2; ++i) {
    const DIST_POINT* p = sk_DIST_POINT_value(points.get(), i);
    EXPECT_EQ(p->reasons, nullptr);
    EXPECT_EQ(p->CRLissuer, nullptr);
    ASSERT_EQ(p->distpoint->type, 0);
    EXPECT_EQ(sk_GENERAL_NAME_num(p->distpoint->name.fullname), 1);
  }
  EXPECT_EQ(sk_GENERAL_NAME_value(sk_DIST_POINT_value(points.get(), 1)->distpoint->name.fullname, 0)->type, GEN_EMAIL);
  ASSERT_EQ(X509V3_add_value("nonsense", "x", &values), 1);
  EXPECT_EQ(V2I_CRLD(nullptr, values), nullptr);
  sk_CONF_VALUE_pop_free(values, X509V3_conf_free);
}

// --- CRMF certificate identifier ------------------------------------------------

Bytes encode(const CRMF_CERTID* id) {
  const int n = i2d_CRMF_CERTID(id, nullptr);
  Bytes out(n > 0 ? static_cast<std::size_t>(n) : 0U);
  unsigned char* p = out.data();
  EXPECT_EQ(i2d_CRMF_CERTID(id, &p), n);
  EXPECT_EQ(p, out.data() + out.size());
  return out;
}

TEST(CrmfCertId, RoundTripKeepsIssuerAndSerial) {
  UniquePtr<CRMF_CERTID> id(CRMF_CERTID_new());
  ASSERT_TRUE(id);
  ASSERT_NE(id->issuer, nullptr);
  ASSERT_NE(id->serialNumber, nullptr);
  ASN1_IA5STRING* email = ASN1_IA5STRING_new();
  ASN1_STRING_set(email, "ca@test.ru", -1);
  GENERAL_NAME_set0_value(id->issuer, GEN_EMAIL, email);
  ASN1_INTEGER_set(id->serialNumber, 1);
  const Bytes der = encode(id.get());
  EXPECT_EQ(der, seq({tlv(0x81, text("ca@test.ru")), tlv(0x02, {0x01})}));

  const unsigned char* p = der.data();
  CRMF_CERTID* into = nullptr;
  UniquePtr<CRMF_CERTID> back(d2i_CRMF_CERTID(&into, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back.get(), into);
  EXPECT_EQ(p, der.data() + der.size());
  EXPECT_EQ(GENERAL_NAME_cmp(back->issuer, id->issuer), 0);
  EXPECT_EQ(ASN1_INTEGER_cmp(back->serialNumber, id->serialNumber), 0);
  EXPECT_EQ(CRMF_CERTID_method()->d2i, &d2i_CRMF_CERTID);
  EXPECT_EQ(CRMF_CERTID_method()->i2d, &i2d_CRMF_CERTID);
}

TEST(CrmfCertId, HostileInputsFailAndLeaveTheCallersRecord) {
  const Bytes good = seq({tlv(0x81, text("a@b")), tlv(0x02, {0x01})});
  std::vector<std::pair<const char*, Bytes>> cases = {
      {"third element", seq({tlv(0x81, text("a@b")), tlv(0x02, {0x01}), tlv(0x05, {})})},
      {"serial missing", seq({tlv(0x81, text("a@b"))})},
      {"serial as OCTET STRING", seq({tlv(0x81, text("a@b")), tlv(0x04, {0x01})})},
      {"issuer not a GeneralName", seq({tlv(0x02, {0x01}), tlv(0x02, {0x01})})},
      {"SET instead of SEQUENCE", tlv(0x31, cat({tlv(0x81, text("a@b")), tlv(0x02, {0x01})}))},
      {"length beyond the input", Bytes{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}},
      {"empty", Bytes{}},
  };
  for (std::size_t cut = 1; cut < good.size(); ++cut) {
    cases.emplace_back("truncated", Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
  }
  for (const auto& [what, der] : cases) {
    UniquePtr<CRMF_CERTID> kept(CRMF_CERTID_new());
    CRMF_CERTID* slot = kept.get();
    const unsigned char* p = der.data();
    ERR_clear_error();
    EXPECT_EQ(d2i_CRMF_CERTID(&slot, &p, static_cast<long>(der.size())), nullptr) << what;
    EXPECT_EQ(slot, kept.get()) << what;
    EXPECT_EQ(p, der.data()) << what;
    EXPECT_TRUE(queue_has(ERRLIB_ASN1, ASN1_F_D2I_CRMF_CERTID, ASN1_R_NESTED_ERROR)) << what;
  }
}

}  // namespace
}  // namespace qcrypto
