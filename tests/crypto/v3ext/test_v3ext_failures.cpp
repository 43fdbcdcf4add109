// Every way a record conversion can fail, and the errors it leaves: null
// inputs and unconvertible fields of every record kind, and each allocation
// of every extension's conversion failing in turn. The error queues are held
// against golden/record_failures.txt byte for byte, so that the function
// codes and reasons callers see stay as they are. Under the sanitizers the
// same runs also show that nothing built before a failure is lost.
//
// Own process: the allocator hooks must be set before the first allocation.
// To regenerate the golden file after a deliberate change, run
//   DOSSAR_REGENERATE_GOLDEN=1 build-test/tests/crypto/v3ext/test_crypto_v3ext_failures
// and review the diff before committing it.
#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_owners.h"
#include "tests/crypto/v3ext/v3ext_test_util.h"

namespace {

// Allocations counted while armed; the one numbered g_fail_at fails.
bool g_armed = false;
int g_count = 0;
int g_fail_at = -1;

bool fails_now() { return g_armed && g_count++ == g_fail_at; }
void* HookMalloc(size_t n, const char*, int) { return fails_now() ? nullptr : std::malloc(n); }
void* HookRealloc(void* p, size_t n, const char*, int) { return fails_now() ? nullptr : std::realloc(p, n); }
void HookFree(void* p, const char*, int) { std::free(p); }

const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

void free_extensions(STACK_OF(X509_EXTENSION) * sk) { sk_X509_EXTENSION_pop_free(sk, X509_EXTENSION_free); }

}  // namespace

QCRYPTO_DECLARE_OWNER(STACK_OF(X509_EXTENSION), free_extensions)
QCRYPTO_DECLARE_OWNER(POLICY_MAPPING, POLICY_MAPPING_free)
QCRYPTO_DECLARE_OWNER(ACCESS_DESCRIPTION, ACCESS_DESCRIPTION_free)
QCRYPTO_DECLARE_OWNER(POLICYINFO, POLICYINFO_free)
QCRYPTO_DECLARE_OWNER(CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free)
QCRYPTO_DECLARE_OWNER(POLICYQUALINFO, POLICYQUALINFO_free)
QCRYPTO_DECLARE_OWNER(PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD_free)
QCRYPTO_DECLARE_OWNER(ISSUING_DIST_POINT, ISSUING_DIST_POINT_free)

namespace qcrypto {
namespace {

using namespace v3ext_test;

const char kConfig[] = R"(
[ext]
basicConstraints = critical,CA:TRUE,pathlen:2
keyUsage = critical,digitalSignature,keyCertSign
subjectKeyIdentifier = 01:02:03:04
extendedKeyUsage = clientAuth,1.2.643.2.2.34.6
subjectAltName = email:user@test.ru,DNS:host.test.ru,URI:http://test.ru/u,IP:192.168.1.1,RID:1.2.3.4,dirName:dir_sect
certificatePolicies = @pol_sect,1.2.3.4
crlDistributionPoints = URI:http://test.ru/ca.crl,dp_sect,dp_rdn_sect
freshestCRL = URI:http://test.ru/delta.crl
authorityInfoAccess = OCSP;URI:http://ocsp.test.ru
subjectInfoAccess = caRepository;URI:http://test.ru/repo
policyConstraints = requireExplicitPolicy:0,inhibitPolicyMapping:2
policyMappings = 1.2.643.100.113.1:1.2.643.100.113.2
inhibitAnyPolicy = 0
nsCertType = client,email
nsComment = test comment
issuingDistributionPoint = @idp_sect
[dir_sect]
CN = Directory name
[pol_sect]
policyIdentifier = 1.2.643.100.113.1
CPS.1 = "http://test.ru/cps"
userNotice.1 = @notice_sect
[notice_sect]
explicitText = "Explicit text"
organization = "Test org"
noticeNumbers = 1, 2
[dp_sect]
fullname = URI:http://test.ru/b.crl
reasons = keyCompromise
CRLissuer = email:crl@test.ru
[dp_rdn_sect]
relativename = rdn_sect
[rdn_sect]
CN = CRL part
[idp_sect]
fullname = URI:http://test.ru/ca.crl
onlysomereasons = keyCompromise
indirectCRL = TRUE
)";

struct Raw {
  const char* oid;
  Bytes der;
};

// The extensions the configuration cannot write.
std::vector<Raw> raw_extensions() {
  return {
      {"2.5.29.35", seq({tlv(0x80, {0x0A, 0x0B}), tlv(0xA1, tlv(0x81, text("ca@test.ru"))), tlv(0x82, {0x05})})},
      {"2.5.29.30", seq({tlv(0xA0, seq({tlv(0x82, text(".test.ru")), tlv(0x80, {1}), tlv(0x81, {3})})),
                         tlv(0xA1, seq({tlv(0x81, text("bad@test.ru"))}))})},
      {"2.5.29.9", seq({seq({oid("2.5.4.4"), tlv(0x31, tlv(0x13, text("Ivanov")))})})},
      {"2.5.29.16", seq({tlv(0x80, text("20240101000000Z")), tlv(0x81, text("20250630120000Z"))})},
      {"2.5.29.20", tlv(0x02, {0x01, 0x02})},
      {"2.5.29.27", tlv(0x02, {0x05})},
      {"2.5.29.21", tlv(0x0A, {0x01})},
      {"2.5.29.24", tlv(0x18, text("20240102030405Z"))},
      {"2.5.29.23", oid("1.2.840.10040.2.2")},
      {"2.5.29.29", seq({tlv(0x81, text("ca@test.ru"))})},
      {"2.5.29.18", seq({tlv(0x81, text("ca@test.ru"))})},
      {"2.16.840.1.113730.1.2", tlv(0x16, text("http://test.ru/"))},
      {"2.16.840.1.113730.1.3", tlv(0x16, text("http://test.ru/r"))},
      {"2.16.840.1.113730.1.4", tlv(0x16, text("http://test.ru/c"))},
      {"2.16.840.1.113730.1.7", tlv(0x16, text("http://test.ru/n"))},
      {"2.16.840.1.113730.1.8", tlv(0x16, text("http://test.ru/p"))},
      {"2.16.840.1.113730.1.12", tlv(0x16, text("host.test.ru"))},
      // Key identifiers under the objects table's own numbers (304, 306).
      {"1.3.6.1.4.1.3670.4.15", seq({tlv(0x80, {0x01}), tlv(0x82, {0x02})})},
      {"1.3.6.1.4.1.10244.4.6", seq({tlv(0xA1, tlv(0x82, text("ca.test.ru"))), tlv(0x82, {0x03})})},
  };
}

STACK_OF(X509_EXTENSION) * every_extension() {
  EXPECT_EQ(sysobj_register(), 1);
  UniquePtr<BIO> in(BIO_new_mem_buf(kConfig, -1));
  CONF* conf = NCONF_new(nullptr);
  STACK_OF(X509_EXTENSION)* sk = sk_X509_EXTENSION_new_null();
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, nullptr, nullptr, nullptr, nullptr, X509V3_CTX_TEST);
  X509V3_set_nconf(&ctx, conf);
  EXPECT_EQ(NCONF_load_bio(conf, in.get(), nullptr), 1);
  EXPECT_EQ(X509V3_EXT_add_nconf_sk(conf, &ctx, "ext", &sk), 1);
  NCONF_free(conf);
  for (const Raw& r : raw_extensions()) {
    UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(r.oid, 1));
    UniquePtr<ASN1_OCTET_STRING> data(ASN1_OCTET_STRING_new());
    EXPECT_EQ(ASN1_OCTET_STRING_set(data.get(), r.der.data(), static_cast<int>(r.der.size())), 1);
    sk_X509_EXTENSION_push(sk, X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), 0, data.get()));
  }
  return sk;
}

// The queue as "func/reason" pairs of library 66, others with their library.
std::string drain_errors() {
  std::string out;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    const int lib = ERR_GET_LIB_CODE(e);
    out += ' ';
    if (lib != ERRLIB_CADB) out += std::to_string(lib) + ':';
    out += std::to_string(ERR_GET_FUNC_CODE(e)) + '/' + std::to_string(ERR_GET_REASON_CODE(e));
  }
  return out;
}

// Runs `convert` once with the allocation numbered `fail_at` failing (-1:
// none); whether it gave a record, and how many allocations it made.
struct Run {
  bool made;
  int allocations;
  std::string errors;
};
Run run_failing(int fail_at, const std::function<bool()>& convert) {
  ERR_clear_error();
  g_count = 0;
  g_fail_at = fail_at;
  g_armed = true;
  const bool made = convert();
  g_armed = false;
  return {made, g_count, drain_errors()};
}

// One line per failing allocation until the conversion no longer fails.
void allocation_failures(const std::string& what, const std::function<bool()>& convert, std::string& out) {
  const Run clean = run_failing(-1, convert);
  ASSERT_TRUE(clean.made) << what;
  for (int n = 0; n < clean.allocations; ++n) {
    const Run r = run_failing(n, convert);
    out += what + " alloc " + std::to_string(n) + (r.made ? " made" : " null") + r.errors + '\n';
  }
}

void check_golden(const std::string& file, const std::string& actual) {
  const std::string path = std::string(DOSSAR_V3EXT_GOLDEN_DIR) + "/" + file;
  if (std::getenv("DOSSAR_REGENERATE_GOLDEN") != nullptr) {
    std::ofstream(path, std::ios::binary) << actual;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(expected.str(), actual) << "golden file " << path;
}

// Null, or with a field that cannot be converted: one line each.
std::string input_failures() {
  std::vector<std::pair<std::string, std::function<bool()>>> cases;
  auto add = [&cases](const std::string& what, auto parse, auto* input) {
    // None of these makes a record; one that did would show as a leak.
    cases.emplace_back(what, [parse, input] { return parse(input) != nullptr; });
  };
  add("oid null", CADB_OID_parse, static_cast<const ASN1_OBJECT*>(nullptr));
  add("general name null", CADB_GENERAL_NAME_parse, static_cast<const GENERAL_NAME*>(nullptr));
  add("authority keyid null", CADB_AUTHORITY_KEYID_parse, static_cast<const AUTHORITY_KEYID*>(nullptr));
  add("notice ref null", CADB_NOTICE_REF_parse, static_cast<const NOTICEREF*>(nullptr));
  add("user notice null", CADB_USER_NOTICE_parse, static_cast<const USERNOTICE*>(nullptr));
  add("policy qualifier null", CADB_POLICY_QUALIFIER_parse, static_cast<const POLICYQUALINFO*>(nullptr));
  add("policy info null", CADB_POLICY_INFO_parse, static_cast<const POLICYINFO*>(nullptr));
  add("policy mapping null", CADB_POLICY_MAPPING_parse, static_cast<const POLICY_MAPPING*>(nullptr));
  add("basic constraints null", CADB_BASIC_CONSTRAINTS_parse, static_cast<const BASIC_CONSTRAINTS*>(nullptr));
  add("usage period null", CADB_PKEY_USAGE_PERIOD_parse, static_cast<const PKEY_USAGE_PERIOD*>(nullptr));
  add("point name null", CADB_DIST_POINT_NAME_parse, static_cast<const DIST_POINT_NAME*>(nullptr));
  add("dist point null", CADB_CRL_DIST_POINT_parse, static_cast<const DIST_POINT*>(nullptr));
  add("issuing point null", CADB_ISSUING_DIST_POINT_parse, static_cast<const ISSUING_DIST_POINT*>(nullptr));
  add("access null", CADB_ACCESS_DESCRIPTION_parse, static_cast<const ACCESS_DESCRIPTION*>(nullptr));
  add("policy constraints null", CADB_POLICY_CONSTRAINTS_parse, static_cast<const POLICY_CONSTRAINTS*>(nullptr));
  add("subtree null", CADB_GENERAL_SUBTREE_parse, static_cast<const GENERAL_SUBTREE*>(nullptr));
  add("name constraints null", CADB_NAME_CONSTRAINTS_parse, static_cast<const NAME_CONSTRAINTS*>(nullptr));
  add("time null", ASN1_TIME_parse, static_cast<const ASN1_TIME*>(nullptr));
  add("names null", CADB_GENERAL_NAMES_parse, static_cast<const GENERAL_NAMES*>(nullptr));
  add("policies null", CADB_CERT_POLICIES_parse, static_cast<const CERTIFICATEPOLICIES*>(nullptr));
  add("qualifiers null", CADB_POLICY_QUALIFIERS_parse, static_cast<const STACK_OF(POLICYQUALINFO)*>(nullptr));
  add("mappings null", CADB_POLICY_MAPPINGS_parse, static_cast<const POLICY_MAPPINGS*>(nullptr));
  add("dist points null", CADB_CRL_DIST_POINTS_parse, static_cast<const CRL_DIST_POINTS*>(nullptr));
  add("access list null", CADB_ACCESS_DESCRIPTIONS_parse, static_cast<const AUTHORITY_INFO_ACCESS*>(nullptr));
  add("subtrees null", CADB_GENERAL_SUBTREES_parse, static_cast<const STACK_OF(GENERAL_SUBTREE)*>(nullptr));
  add("key usage null", CADB_EXT_KEY_USAGE_parse, static_cast<const EXTENDED_KEY_USAGE*>(nullptr));
  add("attributes null", CADB_ATTRIBUTES_parse, static_cast<const SUBJECT_DIRECTORY_ATTRIBUTES*>(nullptr));
  add("extension null", CADB_V3EXT_parse, static_cast<const V3EXT_DECODED*>(nullptr));

  // Structures whose required object is missing, whose object is too long
  // for the dotted form, or whose time or point name cannot be read.
  std::string long_dotted = "1.2";
  for (int i = 0; i < 100; ++i) long_dotted += ".1234";
  UniquePtr<POLICY_MAPPING> mapping(POLICY_MAPPING_new());
  UniquePtr<ACCESS_DESCRIPTION> access(ACCESS_DESCRIPTION_new());
  ASN1_OBJECT_free(access->method);
  access->method = nullptr;
  UniquePtr<POLICYINFO> info(POLICYINFO_new());
  info->policyid = OBJ_txt2obj(long_dotted.c_str(), 1);
  UniquePtr<CERTIFICATEPOLICIES> policies(sk_POLICYINFO_new_null());
  sk_POLICYINFO_push(policies.get(), POLICYINFO_new());
  UniquePtr<POLICYQUALINFO> qualifier(POLICYQUALINFO_new());
  UniquePtr<PKEY_USAGE_PERIOD> period(PKEY_USAGE_PERIOD_new());
  period->notAfter = ASN1_GENERALIZEDTIME_new();
  ASN1_STRING_set(period->notAfter, "2024133100000Z", -1);
  UniquePtr<DIST_POINT_NAME> point_name(DIST_POINT_NAME_new());
  point_name->type = 1;
  UniquePtr<DIST_POINT> point(DIST_POINT_new());
  point->distpoint = DIST_POINT_NAME_new();
  point->distpoint->type = 5;
  UniquePtr<CRL_DIST_POINTS> points(sk_DIST_POINT_new_null());
  sk_DIST_POINT_push(points.get(), DIST_POINT_new());
  sk_DIST_POINT_value(points.get(), 0)->distpoint = DIST_POINT_NAME_new();
  UniquePtr<ISSUING_DIST_POINT> idp(ISSUING_DIST_POINT_new());
  idp->distpoint = DIST_POINT_NAME_new();
  V3EXT_DECODED bad_time{NID_invalidity_date, 0, period->notAfter, 0};
  V3EXT_DECODED unsupported{NID_sxnet, 0, nullptr, 0};
  add("mapping without policies", CADB_POLICY_MAPPING_parse, mapping.get());
  add("access without method", CADB_ACCESS_DESCRIPTION_parse, access.get());
  add("policy with a long object", CADB_POLICY_INFO_parse, info.get());
  add("policy list with an empty policy", CADB_CERT_POLICIES_parse, policies.get());
  add("qualifier without object", CADB_POLICY_QUALIFIER_parse, qualifier.get());
  add("period with a bad end", CADB_PKEY_USAGE_PERIOD_parse, period.get());
  add("relative point name without names", CADB_DIST_POINT_NAME_parse, point_name.get());
  add("point of an unknown name kind", CADB_CRL_DIST_POINT_parse, point.get());
  add("point list with an empty name", CADB_CRL_DIST_POINTS_parse, points.get());
  add("issuing point with an empty name", CADB_ISSUING_DIST_POINT_parse, idp.get());
  add("invalidity date that cannot be read", CADB_V3EXT_parse, &bad_time);

  std::string out;
  for (const auto& [what, convert] : cases) {
    const Run r = run_failing(-1, convert);
    EXPECT_FALSE(r.made) << what;
    out += what + (r.made ? " made" : " null") + r.errors + '\n';
  }
  // An unknown number is not a failure: a record marked unsupported.
  UniquePtr<CADB_V3EXT> record(CADB_V3EXT_parse(&unsupported));
  EXPECT_TRUE(record && record->unsupported == 1 && record->parsed == 0);
  return out;
}

TEST(V3extRecordFailures, RaiseTheSameErrorsAndLoseNothing) {
  ASSERT_TRUE(g_hooked);
  UniquePtr<STACK_OF(X509_EXTENSION)> stack(every_extension());
  ASSERT_TRUE(stack);
  UniquePtr<V3EXT_DECODED_LIST> decoded(V3EXT_decode_extensions(stack.get()));
  ASSERT_TRUE(decoded);
  ASSERT_EQ(sk_V3EXT_DECODED_num(decoded.get()), sk_X509_EXTENSION_num(stack.get()));
  // Lazily made tables (objects, code pages, the error state) are made
  // before counting starts.
  UniquePtr<CADB_V3EXT_LIST> warm(CADB_V3EXT_parse_extensions(decoded.get()));
  ASSERT_TRUE(warm);
  QERR(ERRLIB_CADB, 1, 1);

  std::string out = input_failures();
  for (int i = 0; i < sk_V3EXT_DECODED_num(decoded.get()); ++i) {
    const V3EXT_DECODED* entry = sk_V3EXT_DECODED_value(decoded.get(), i);
    allocation_failures(
        "object " + std::to_string(entry->object),
        [entry] {
          UniquePtr<CADB_V3EXT> record(CADB_V3EXT_parse(entry));
          return static_cast<bool>(record);
        },
        out);
  }
  allocation_failures(
      "list",
      [&decoded] {
        UniquePtr<CADB_V3EXT_LIST> list(CADB_V3EXT_parse_extensions(decoded.get()));
        return static_cast<bool>(list);
      },
      out);
  check_golden("record_failures.txt", out);
}

}  // namespace
}  // namespace qcrypto
