// Certificates and CRLs from the test PKI builder carrying every extension
// kind the database understands: each is split into records with every field
// checked, and the printed texts are compared with the golden files beside
// this test.
//
// To regenerate the golden files after a deliberate change of a printed text:
//   DOSSAR_REGENERATE_GOLDEN=1 build-test/tests/crypto/v3ext/test_crypto_v3ext_pki
// then review the diff under tests/crypto/v3ext/golden/ before committing.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <sys/random.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/x509/x509_owners.h"
#include "tests/crypto/v3ext/v3ext_test_util.h"
#include "tests/support/gost_pki.h"

namespace qcrypto {
namespace {

using test_support::ExtraExtension;
using v3ext_test::Bytes;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::string golden_path(const char* name) { return std::string(V3EXT_GOLDEN_DIR) + "/" + name; }

void check_golden(const char* name, const std::string& text) {
  const std::string path = golden_path(name);
  const char* regenerate = std::getenv("DOSSAR_REGENERATE_GOLDEN");
  if (regenerate != nullptr && std::strcmp(regenerate, "1") == 0) {
    std::ofstream(path, std::ios::binary) << text;
    GTEST_SKIP() << "regenerated " << path;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(text, want.str()) << name;
}

std::string text_of(const ATTRIBUTE* a) { return a != nullptr && a->value != nullptr ? a->value : "<none>"; }
std::string text_of(const BUFFER* b) {
  return b != nullptr && b->data != nullptr ? std::string(reinterpret_cast<const char*>(b->data)) : "<none>";
}
Bytes bytes_of(const BUFFER* b) { return b != nullptr ? Bytes(b->data, b->data + b->length) : Bytes{}; }

template <class T>
T* value_of(const STACK_OF(CADB_V3EXT) * list, int nid) {
  const CADB_V3EXT* record = CADB_V3EXT_find(list, nid);
  EXPECT_NE(record, nullptr) << OBJ_nid2sn(nid);
  if (record == nullptr) return nullptr;
  EXPECT_EQ(record->parsed, 1) << OBJ_nid2sn(nid);
  EXPECT_EQ(record->unsupported, 0) << OBJ_nid2sn(nid);
  return static_cast<T*>(record->value);
}

// The extensions printed for the golden files: all but the key identifiers,
// which follow from the freshly generated key.
std::string print_keyless(const STACK_OF(X509_EXTENSION) * extensions) {
  STACK_OF(X509_EXTENSION)* kept = sk_X509_EXTENSION_new_null();
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(extensions, i);
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(ext));
    if (nid != NID_subject_key_identifier && nid != NID_authority_key_identifier) sk_X509_EXTENSION_push(kept, ext);
  }
  std::string text = v3ext_test::print_all(kept);
  sk_X509_EXTENSION_free(kept);
  return text;
}

class V3extPki : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
    ca_key_.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    ASSERT_NE(ca_key_, nullptr);
    const test_support::CertSpec spec{"Test CA", 7, true, 30};
    std::vector<ExtraExtension> extra;
    auto add_der = [&extra](const char* name, const Bytes& der, bool critical = false) {
      extra.push_back(ExtraExtension{name, "", der, critical});
    };
    auto add_conf = [&extra](const char* name, const char* conf, bool critical = false) {
      extra.push_back(ExtraExtension{name, conf, {}, critical});
    };
    add_conf("authorityInfoAccess", "OCSP;URI:http://ocsp.example.ru/,caIssuers;URI:http://ca.example.ru/ca.crt");
    add_conf("subjectInfoAccess", "caRepository;URI:http://ca.example.ru/repo/");
    add_der("crlDistributionPoints", v3ext_test::crl_dist_points_der());
    add_conf("freshestCRL", "URI:http://crl.example.ru/delta.crl");
    add_der("subjectDirectoryAttributes", v3ext_test::directory_attributes_der());
    add_conf("nameConstraints", "permitted;DNS:.example.ru,permitted;IP:192.168.0.0/255.255.0.0,excluded;email:bad.ru",
             true);
    add_conf("policyConstraints", "requireExplicitPolicy:1,inhibitPolicyMapping:2", true);
    add_conf("policyMappings", "1.2.3.4:1.2.3.5,1.2.3.6:1.2.3.7");
    add_conf("inhibitAnyPolicy", "0", true);
    add_der("certificatePolicies", v3ext_test::certificate_policies_der());
    add_conf("extendedKeyUsage", "serverAuth,clientAuth,1.2.643.2.2.34.6");
    add_conf("subjectAltName",
             "email:ca@example.ru,DNS:ca.example.ru,URI:http://ca.example.ru/,IP:10.0.0.1,RID:1.2.3.4,"
             "otherName:1.2.3.4;UTF8:other");
    add_der("issuerAltName", v3ext_test::general_names_der(v3ext_test::dir_name_cyrillic()));
    add_der("privateKeyUsagePeriod", v3ext_test::usage_period_der());
    add_conf("nsCertType", "client,email,objsign");
    add_conf("nsComment", "Test comment");
    ca_.reset(test_support::gost_make_cert_ext(ca_key_.get(), spec, nullptr, ca_key_.get(), extra));
    if (ca_ == nullptr) ERR_print_errors_fp(stderr);
    ASSERT_NE(ca_, nullptr);

    ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
    ASN1_ENUMERATED_set(reason, 1);
    const Bytes reason_der = v3ext_test::der_of(reason, i2d_ASN1_ENUMERATED);
    ASN1_ENUMERATED_set(reason, 0);
    const Bytes unspecified_der = v3ext_test::der_of(reason, i2d_ASN1_ENUMERATED);
    ASN1_ENUMERATED_free(reason);
    ASN1_GENERALIZEDTIME* when = ASN1_GENERALIZEDTIME_new();
    ASN1_GENERALIZEDTIME_set_string(when, "20240301120000Z");
    const Bytes when_der = v3ext_test::der_of(when, i2d_ASN1_GENERALIZEDTIME);
    ASN1_GENERALIZEDTIME_free(when);
    const Bytes hold_der = v3ext_test::der_of(OBJ_nid2obj(NID_hold_instruction_reject), i2d_ASN1_OBJECT);
    ASN1_INTEGER* base = ASN1_INTEGER_new();
    ASN1_INTEGER_set(base, 0x0102);
    const Bytes base_der = v3ext_test::der_of(base, i2d_ASN1_INTEGER);
    ASN1_INTEGER_free(base);

    std::vector<test_support::RevokedEntry> revoked = {
        {11,
         {ExtraExtension{"CRLReason", "", reason_der, false}, ExtraExtension{"invalidityDate", "", when_der, false},
          ExtraExtension{"certificateIssuer", "",
                         v3ext_test::general_names_der(v3ext_test::uri_name("http://other.example.ru/")), true}}},
        {12,
         {ExtraExtension{"CRLReason", "", unspecified_der, false},
          ExtraExtension{"holdInstructionCode", "", hold_der, false}}},
    };
    std::vector<ExtraExtension> crl_extensions = {
        ExtraExtension{"deltaCRL", "", base_der, true},
        ExtraExtension{"issuingDistributionPoint", "", v3ext_test::issuing_dist_point_der(true), true},
        ExtraExtension{"authorityKeyIdentifier", "keyid:always", {}, false},
        ExtraExtension{"freshestCRL", "URI:http://crl.example.ru/delta.crl", {}, false},
    };
    crl_.reset(test_support::gost_make_crl_ext(ca_.get(), ca_key_.get(), revoked, crl_extensions, 0x0102));
    ASSERT_NE(crl_, nullptr);
  }
  static void TearDownTestSuite() {
    crl_.reset();
    ca_.reset();
    ca_key_.reset();
    RAND_set_rand_method(nullptr);
  }

  static UniquePtr<EVP_PKEY> ca_key_;
  static UniquePtr<X509> ca_;
  static UniquePtr<X509_CRL> crl_;
};

UniquePtr<EVP_PKEY> V3extPki::ca_key_;
UniquePtr<X509> V3extPki::ca_;
UniquePtr<X509_CRL> V3extPki::crl_;

struct ListOwner {
  STACK_OF(CADB_V3EXT) * list = nullptr;
  ~ListOwner() { CADB_V3EXT_list_free(list); }
};

TEST_F(V3extPki, CertificateExtensionsSplitIntoRecords) {
  ListOwner owner;
  ASSERT_EQ(CADB_V3EXT_split(X509_get0_extensions(ca_.get()), &owner.list), 1);
  const auto* list = owner.list;
  // The builder's four standard ones (no authority key identifier on a
  // self-signed certificate) and the sixteen added.
  EXPECT_EQ(sk_CADB_V3EXT_num(list), 3 + 16);

  const CADB_V3EXT* ku = CADB_V3EXT_find(list, NID_key_usage);
  ASSERT_NE(ku, nullptr);
  EXPECT_EQ(ku->critical, 1);
  EXPECT_EQ(ku->number, 0x20 | 0x40);  // keyCertSign, cRLSign
  const CADB_V3EXT* ns = CADB_V3EXT_find(list, NID_netscape_cert_type);
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(ns->number, 0x01 | 0x04 | 0x08);  // client, email, objsign
  EXPECT_EQ(text_of(value_of<ATTRIBUTE>(list, NID_netscape_comment)), "Test comment");
  EXPECT_EQ(bytes_of(value_of<BUFFER>(list, NID_subject_key_identifier)).size(), 20U);

  const auto* bc = value_of<CADB_BASIC_CONSTRAINTS>(list, NID_basic_constraints);
  ASSERT_NE(bc, nullptr);
  EXPECT_NE(bc->ca, 0);
  EXPECT_EQ(bc->pathlen, -1);

  const auto* aia = value_of<STACK_OF(CADB_ACCESS_DESCRIPTION)>(list, NID_info_access);
  ASSERT_EQ(sk_CADB_ACCESS_DESCRIPTION_num(aia), 2);
  EXPECT_EQ(sk_CADB_ACCESS_DESCRIPTION_value(aia, 0)->method->object, NID_ad_OCSP);
  EXPECT_EQ(text_of(sk_CADB_ACCESS_DESCRIPTION_value(aia, 0)->method->dotted), "1.3.6.1.5.5.7.48.1");
  EXPECT_STREQ(sk_CADB_ACCESS_DESCRIPTION_value(aia, 0)->method->short_name, "OCSP");
  EXPECT_EQ(sk_CADB_ACCESS_DESCRIPTION_value(aia, 1)->location->type, 0x86);
  EXPECT_EQ(text_of(static_cast<ATTRIBUTE*>(sk_CADB_ACCESS_DESCRIPTION_value(aia, 1)->location->value)),
            "http://ca.example.ru/ca.crt");
  const auto* sia = value_of<STACK_OF(CADB_ACCESS_DESCRIPTION)>(list, NID_sinfo_access);
  ASSERT_EQ(sk_CADB_ACCESS_DESCRIPTION_num(sia), 1);
  EXPECT_EQ(sk_CADB_ACCESS_DESCRIPTION_value(sia, 0)->method->object, NID_caRepository);

  const auto* cdp = value_of<STACK_OF(CADB_CRL_DIST_POINT)>(list, NID_crl_distribution_points);
  ASSERT_EQ(sk_CADB_CRL_DIST_POINT_num(cdp), 2);
  const CADB_CRL_DIST_POINT* first = sk_CADB_CRL_DIST_POINT_value(cdp, 0);
  ASSERT_NE(first->name, nullptr);
  EXPECT_EQ(first->name->kind, 0);
  const auto* full = static_cast<STACK_OF(CADB_GENERAL_NAME)*>(first->name->value);
  ASSERT_EQ(sk_CADB_GENERAL_NAME_num(full), 1);
  EXPECT_EQ(text_of(static_cast<ATTRIBUTE*>(sk_CADB_GENERAL_NAME_value(full, 0)->value)),
            "http://crl.example.ru/ca.crl");
  EXPECT_EQ(first->reasons, (1UL << 1) | (1UL << 2) | (1UL << 8));
  ASSERT_EQ(sk_CADB_GENERAL_NAME_num(first->crl_issuer), 1);
  const CADB_GENERAL_NAME* issuer = sk_CADB_GENERAL_NAME_value(first->crl_issuer, 0);
  EXPECT_EQ(issuer->type, 0x84);
  const auto* dn = static_cast<const ATTRIBUTE*>(issuer->value);
  ASSERT_NE(dn, nullptr);
  EXPECT_EQ(text_of(dn), "\xC8\xE2\xE0\xED\xEE\xE2");  // "Иванов" in Windows-1251
  EXPECT_EQ(dn->string_type, V_ASN1_UTF8STRING);
  ASSERT_NE(dn->next, nullptr);
  EXPECT_EQ(text_of(dn->next), "Example");
  const CADB_CRL_DIST_POINT* second = sk_CADB_CRL_DIST_POINT_value(cdp, 1);
  EXPECT_EQ(second->name->kind, 1);
  EXPECT_EQ(text_of(static_cast<ATTRIBUTE*>(second->name->value)), "CRL1");
  EXPECT_EQ(second->reasons, 0UL);
  EXPECT_EQ(second->crl_issuer, nullptr);
  EXPECT_EQ(sk_CADB_CRL_DIST_POINT_num(value_of<STACK_OF(CADB_CRL_DIST_POINT)>(list, NID_freshest_crl)), 1);

  const auto* attrs = value_of<STACK_OF(ATTRIBUTE)>(list, NID_subject_directory_attributes);
  ASSERT_EQ(sk_ATTRIBUTE_num(attrs), 2);
  EXPECT_EQ(text_of(sk_ATTRIBUTE_value(attrs, 0)), "RU");
  EXPECT_EQ(sk_ATTRIBUTE_value(attrs, 0)->string_type, V_ASN1_PRINTABLESTRING);
  EXPECT_EQ(text_of(sk_ATTRIBUTE_value(attrs, 1)), "\xCC\xEE\xF1\xEA\xE2\xE0");  // "Москва"

  const auto* nc = value_of<CADB_NAME_CONSTRAINTS>(list, NID_name_constraints);
  ASSERT_NE(nc, nullptr);
  ASSERT_EQ(sk_CADB_GENERAL_SUBTREE_num(nc->permitted), 2);
  ASSERT_EQ(sk_CADB_GENERAL_SUBTREE_num(nc->excluded), 1);
  const CADB_GENERAL_SUBTREE* ip = sk_CADB_GENERAL_SUBTREE_value(nc->permitted, 1);
  EXPECT_EQ(ip->base->type, 0x87);
  EXPECT_EQ(text_of(static_cast<BUFFER*>(ip->base->value)), "192.168.0.0/255.255.0.0");
  EXPECT_EQ(ip->minimum, 0);
  EXPECT_EQ(ip->maximum, -1);
  EXPECT_EQ(sk_CADB_GENERAL_SUBTREE_value(nc->excluded, 0)->base->type, 0x81);

  const auto* pc = value_of<CADB_POLICY_CONSTRAINTS>(list, NID_policy_constraints);
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->require_explicit_policy, 1);
  EXPECT_EQ(pc->inhibit_policy_mapping, 2);
  const auto* pm = value_of<STACK_OF(CADB_POLICY_MAPPING)>(list, NID_policy_mappings);
  ASSERT_EQ(sk_CADB_POLICY_MAPPING_num(pm), 2);
  EXPECT_EQ(text_of(sk_CADB_POLICY_MAPPING_value(pm, 1)->issuer_domain->dotted), "1.2.3.6");
  EXPECT_EQ(text_of(sk_CADB_POLICY_MAPPING_value(pm, 1)->subject_domain->dotted), "1.2.3.7");
  EXPECT_EQ(sk_CADB_POLICY_MAPPING_value(pm, 1)->subject_domain->object, 0);
  EXPECT_STREQ(sk_CADB_POLICY_MAPPING_value(pm, 1)->subject_domain->long_name, "");

  const CADB_V3EXT* inhibit = CADB_V3EXT_find(list, NID_inhibit_any_policy);
  ASSERT_NE(inhibit, nullptr);
  EXPECT_EQ(inhibit->parsed, 1);
  EXPECT_EQ(inhibit->number, 0);
  EXPECT_EQ(inhibit->critical, 1);

  const auto* policies = value_of<STACK_OF(CADB_POLICY_INFO)>(list, NID_certificate_policies);
  ASSERT_EQ(sk_CADB_POLICY_INFO_num(policies), 1);
  const CADB_POLICY_INFO* info = sk_CADB_POLICY_INFO_value(policies, 0);
  EXPECT_EQ(text_of(info->policy->dotted), "1.2.643.100.113.1");
  ASSERT_EQ(sk_CADB_POLICY_QUALIFIER_num(info->qualifiers), 2);
  const CADB_POLICY_QUALIFIER* cps = sk_CADB_POLICY_QUALIFIER_value(info->qualifiers, 0);
  EXPECT_EQ(cps->object, NID_id_qt_cps);
  EXPECT_EQ(text_of(static_cast<ATTRIBUTE*>(cps->value)), "http://ca.example.ru/cps");
  const CADB_POLICY_QUALIFIER* unotice = sk_CADB_POLICY_QUALIFIER_value(info->qualifiers, 1);
  EXPECT_EQ(unotice->object, NID_id_qt_unotice);
  const auto* notice = static_cast<CADB_USER_NOTICE*>(unotice->value);
  ASSERT_NE(notice, nullptr);
  ASSERT_NE(notice->reference, nullptr);
  EXPECT_EQ(text_of(notice->reference->organization), "\xCE\xCE\xCE");
  EXPECT_EQ(text_of(notice->reference->numbers), "1,2,3");
  EXPECT_EQ(text_of(notice->explicit_text), "Test notice");

  const auto* eku = value_of<STACK_OF(CADB_OID)>(list, NID_ext_key_usage);
  ASSERT_EQ(sk_CADB_OID_num(eku), 3);
  EXPECT_EQ(sk_CADB_OID_value(eku, 0)->object, NID_server_auth);
  EXPECT_EQ(text_of(sk_CADB_OID_value(eku, 2)->dotted), "1.2.643.2.2.34.6");

  const auto* san = value_of<STACK_OF(CADB_GENERAL_NAME)>(list, NID_subject_alt_name);
  ASSERT_EQ(sk_CADB_GENERAL_NAME_num(san), 6);
  const int want_types[] = {0x81, 0x82, 0x86, 0x87, 0x88, 0x80};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(sk_CADB_GENERAL_NAME_value(san, i)->type, want_types[i]) << i;
  EXPECT_EQ(text_of(static_cast<ATTRIBUTE*>(sk_CADB_GENERAL_NAME_value(san, 0)->value)), "ca@example.ru");
  EXPECT_EQ(text_of(static_cast<BUFFER*>(sk_CADB_GENERAL_NAME_value(san, 3)->value)), "10.0.0.1");
  EXPECT_EQ(text_of(static_cast<CADB_OID*>(sk_CADB_GENERAL_NAME_value(san, 4)->value)->dotted), "1.2.3.4");
  EXPECT_EQ(sk_CADB_GENERAL_NAME_value(san, 5)->value, nullptr);
  EXPECT_EQ(sk_CADB_GENERAL_NAME_num(value_of<STACK_OF(CADB_GENERAL_NAME)>(list, NID_issuer_alt_name)), 1);

  const auto* period = value_of<CADB_PKEY_USAGE_PERIOD>(list, NID_private_key_usage_period);
  ASSERT_NE(period, nullptr);
  ASSERT_NE(period->not_before, nullptr);
  ASSERT_NE(period->not_after, nullptr);
  EXPECT_EQ(period->not_before->tm_year, 124);
  EXPECT_EQ(period->not_after->tm_mon, 11);
  EXPECT_EQ(period->not_after->tm_mday, 31);
  EXPECT_EQ(period->not_after->tm_sec, 59);
}

TEST_F(V3extPki, CrlAndEntryExtensionsSplitIntoRecords) {
  ListOwner crl;
  ASSERT_EQ(CADB_V3EXT_split(X509_CRL_get0_extensions(crl_.get()), &crl.list), 1);
  EXPECT_EQ(sk_CADB_V3EXT_num(crl.list), 5);
  EXPECT_EQ(bytes_of(value_of<BUFFER>(crl.list, NID_crl_number)), (Bytes{0x01, 0x02}));
  EXPECT_EQ(bytes_of(value_of<BUFFER>(crl.list, NID_delta_crl)), (Bytes{0x01, 0x02}));
  const auto* akid = value_of<CADB_AUTHORITY_KEYID>(crl.list, NID_authority_key_identifier);
  ASSERT_NE(akid, nullptr);
  EXPECT_EQ(bytes_of(akid->keyid).size(), 20U);
  EXPECT_EQ(akid->issuer, nullptr);
  EXPECT_EQ(akid->serial, nullptr);
  const auto* idp = value_of<CADB_ISSUING_DIST_POINT>(crl.list, NID_issuing_distribution_point);
  ASSERT_NE(idp, nullptr);
  ASSERT_NE(idp->name, nullptr);
  EXPECT_EQ(idp->name->kind, 0);
  EXPECT_NE(idp->only_user, 0);
  EXPECT_NE(idp->only_ca, 0);
  EXPECT_EQ(idp->only_some_reasons, (1UL << 1) | (1UL << 3));
  EXPECT_NE(idp->indirect_crl, 0);
  EXPECT_NE(idp->only_attr, 0);

  const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl_.get());
  ASSERT_EQ(sk_X509_REVOKED_num(revoked), 2);
  ListOwner first;
  ASSERT_EQ(CADB_V3EXT_split(X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(revoked, 0)), &first.list), 1);
  const CADB_V3EXT* reason = CADB_V3EXT_find(first.list, NID_crl_reason);
  ASSERT_NE(reason, nullptr);
  EXPECT_EQ(reason->number, 1);
  const auto* when = value_of<struct tm>(first.list, NID_invalidity_date);
  ASSERT_NE(when, nullptr);
  EXPECT_EQ(when->tm_year, 124);
  EXPECT_EQ(when->tm_mon, 2);
  EXPECT_EQ(when->tm_hour, 12);
  const auto* cert_issuer = value_of<STACK_OF(CADB_GENERAL_NAME)>(first.list, NID_certificate_issuer);
  ASSERT_EQ(sk_CADB_GENERAL_NAME_num(cert_issuer), 1);
  EXPECT_EQ(CADB_V3EXT_find(first.list, NID_certificate_issuer)->critical, 1);

  ListOwner second;
  ASSERT_EQ(CADB_V3EXT_split(X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(revoked, 1)), &second.list), 1);
  const CADB_V3EXT* unspecified = CADB_V3EXT_find(second.list, NID_crl_reason);
  ASSERT_NE(unspecified, nullptr);
  EXPECT_EQ(unspecified->parsed, 1);
  EXPECT_EQ(unspecified->number, 0);
  const auto* hold = value_of<CADB_OID>(second.list, NID_hold_instruction_code);
  ASSERT_NE(hold, nullptr);
  EXPECT_EQ(hold->object, NID_hold_instruction_reject);
  EXPECT_EQ(text_of(hold->dotted), "1.2.840.10040.2.3");
}

TEST_F(V3extPki, CertificateTextMatchesGolden) {
  check_golden("cert_extensions.txt", print_keyless(X509_get0_extensions(ca_.get())));
}

TEST_F(V3extPki, CrlTextMatchesGolden) {
  std::string text = "CRL:\n" + print_keyless(X509_CRL_get0_extensions(crl_.get()));
  const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl_.get());
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i) {
    text += "Entry " + std::to_string(i + 1) + ":\n" +
            print_keyless(X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(revoked, i)));
  }
  check_golden("crl_extensions.txt", text);
}

}  // namespace
}  // namespace qcrypto
