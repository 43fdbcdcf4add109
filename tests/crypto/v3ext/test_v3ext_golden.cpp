// Certificates and CRLs of the test PKI builder carrying every extension the
// system reads: their printed extensions and their extension records against
// the golden files beside this test, byte for byte.
//
// Every extension value is fixed (no key identifier is derived from a key),
// so the texts do not depend on the keys or signatures. To regenerate the
// golden files after a deliberate change, run
//   DOSSAR_REGENERATE_GOLDEN=1 build-test/tests/crypto/v3ext/test_crypto_v3ext_golden
// and review the diff before committing it.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/cadb/cert_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/v3ext/v3ext.h"
#include "tests/crypto/v3ext/v3ext_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto {
namespace {

using namespace v3ext_test;
using test_support::RawExtension;

using test_support::kSystemRand;

// "Инженер" and "Тест" as UTF-8 and as UTF-16BE.
const std::string kEngineerUtf8 = "\xD0\x98\xD0\xBD\xD0\xB6\xD0\xB5\xD0\xBD\xD0\xB5\xD1\x80";
const Bytes kTestBmp = {0x04, 0x22, 0x04, 0x35, 0x04, 0x41, 0x04, 0x42};

const char kCertConfig[] = R"(
[ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyCertSign
subjectKeyIdentifier = 01:02:03:04:05:06:07:08
extendedKeyUsage = clientAuth,emailProtection,1.2.643.2.2.34.6
subjectAltName = email:user@test.ru,DNS:host.test.ru,URI:http://test.ru/u,IP:192.168.1.1,RID:1.2.3.4,dirName:dir_sect
issuerAltName = email:ca@test.ru
certificatePolicies = @pol_sect,1.2.3.4
crlDistributionPoints = URI:http://test.ru/ca.crl,dp_sect,dp_rdn_sect
freshestCRL = URI:http://test.ru/delta.crl
authorityInfoAccess = OCSP;URI:http://ocsp.test.ru,caIssuers;URI:http://test.ru/ca.cer
subjectInfoAccess = caRepository;URI:http://test.ru/repo
policyConstraints = requireExplicitPolicy:0,inhibitPolicyMapping:2
policyMappings = 1.2.643.100.113.1:1.2.643.100.113.2,1.2.3.4:1.2.3.5
inhibitAnyPolicy = 0
nsCertType = client,email
nsComment = test comment
nsBaseUrl = http://test.ru/
[dir_sect]
C = RU
CN = Directory name
[pol_sect]
policyIdentifier = 1.2.643.100.113.1
CPS.1 = "http://test.ru/cps"
userNotice.1 = @notice_sect
[notice_sect]
explicitText = "Explicit text"
organization = "Test org"
noticeNumbers = 1, 2, 3
[dp_sect]
fullname = URI:http://test.ru/b.crl
reasons = keyCompromise,CACompromise,AACompromise
CRLissuer = email:crl@test.ru
[dp_rdn_sect]
relativename = rdn_sect
[rdn_sect]
CN = CRL part
)";

const char kCrlConfig[] = R"(
[ext]
issuingDistributionPoint = @idp_sect
freshestCRL = URI:http://test.ru/delta.crl
[idp_sect]
fullname = URI:http://test.ru/ca.crl
onlyuser = TRUE
onlysomereasons = keyCompromise,superseded
indirectCRL = TRUE
)";

// authorityKeyIdentifier with a key id, an e-mail issuer and serial 5.
Bytes authority_key_id() {
  return seq({tlv(0x80, {0x0A, 0x0B, 0x0C, 0x0D}), tlv(0xA1, tlv(0x81, text("ca@test.ru"))), tlv(0x82, {0x05})});
}

std::vector<RawExtension> cert_raw() {
  // Name constraints with a subtree that has minimum 1 and maximum 3.
  const Bytes name_constraints =
      seq({tlv(0xA0, cat({seq({tlv(0x82, text(".test.ru"))}),
                          seq({tlv(0x87, {192, 168, 0, 0, 255, 255, 0, 0}), tlv(0x80, {1}), tlv(0x81, {3})})})),
           tlv(0xA1, seq({tlv(0x81, text("bad@test.ru"))}))});
  const Bytes directory_attributes = seq({seq({oid("2.5.4.12"), tlv(0x31, tlv(0x0C, text(kEngineerUtf8)))}),
                                          seq({oid("2.5.4.4"), tlv(0x31, tlv(0x13, text("Ivanov")))}),
                                          seq({oid("1.2.3.4.5"), tlv(0x31, tlv(0x1E, kTestBmp))})});
  const Bytes usage_period = seq({tlv(0x80, text("20240101000000Z")), tlv(0x81, text("20250630120000Z"))});
  return {
      {"2.5.29.35", false, authority_key_id()},
      {"2.5.29.30", true, name_constraints},
      {"2.5.29.9", false, directory_attributes},
      {"2.5.29.16", false, usage_period},
      // Strong Extranet ID: decoded, kept as an unsupported record.
      {"1.3.101.1.4.1", false, seq({tlv(0x02, {0}), seq({seq({tlv(0x02, {1}), tlv(0x04, text("id"))})})})},
  };
}

std::vector<RawExtension> crl_raw() {
  return {{"2.5.29.20", false, tlv(0x02, {0x01, 0x02})},
          {"2.5.29.27", true, tlv(0x02, {0x05})},
          {"2.5.29.35", false, authority_key_id()}};
}

std::vector<RawExtension> revoked_raw(bool first) {
  if (!first) return {{"2.5.29.21", false, tlv(0x0A, {0x01})}};
  return {{"2.5.29.21", false, tlv(0x0A, {0x00})},
          {"2.5.29.24", false, tlv(0x18, text("20240102030405Z"))},
          {"2.5.29.23", false, oid("1.2.840.10040.2.2")},
          {"2.5.29.29", true, seq({tlv(0x81, text("ca@test.ru"))})}};
}

std::string printed(const STACK_OF(X509_EXTENSION) * exts, int indent) {
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  EXPECT_EQ(V3EXT_print_all(mem.get(), exts, indent), 1);
  char* data = nullptr;
  const long n = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

void check_golden(const std::string& file, const std::string& actual) {
  const std::string path = std::string(DOSSAR_V3EXT_GOLDEN_DIR) + "/" + file;
  if (std::getenv("DOSSAR_REGENERATE_GOLDEN") != nullptr) {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(expected.str(), actual) << "golden file " << path;
}

// In regeneration mode the extension lists also become seeds of the
// extension-split fuzz target.
void write_seed(const std::string& name, const STACK_OF(X509_EXTENSION) * exts) {
  if (std::getenv("DOSSAR_REGENERATE_GOLDEN") == nullptr) return;
  unsigned char* der = nullptr;
  const int n = i2d_X509_EXTENSIONS(exts, &der);
  ASSERT_GT(n, 0);
  std::ofstream(std::string(DOSSAR_V3EXT_FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(der), n);
  OPENSSL_free(der);
}

class GoldenPki : public ::testing::Test {
 protected:
  void SetUp() override {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
    ca_key_.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    ASSERT_TRUE(ca_key_);
    ca_.reset(test_support::gost_make_cert(ca_key_.get(), {"Test CA", 1, true, 30}, nullptr, ca_key_.get()));
    ASSERT_TRUE(ca_);
  }
  void TearDown() override {
    RAND_set_rand_method(nullptr);
    ERR_clear_error();
  }
  UniquePtr<X509> leaf() {
    UniquePtr<X509> cert(test_support::gost_make_cert(ca_key_.get(), {"Leaf", 7, false, 30}, ca_.get(), ca_key_.get()));
    EXPECT_TRUE(cert && test_support::gost_add_extensions(cert.get(), ca_.get(), ca_key_.get(), kCertConfig, "ext",
                                                          cert_raw()));
    return cert;
  }
  UniquePtr<X509_CRL> crl() {
    UniquePtr<X509_CRL> c(test_support::gost_make_crl(ca_.get(), ca_key_.get(), {3, 4}));
    EXPECT_TRUE(
        c && test_support::gost_add_crl_extensions(c.get(), ca_.get(), ca_key_.get(), kCrlConfig, "ext", crl_raw()) &&
        test_support::gost_add_revoked_extensions(c.get(), 0, ca_key_.get(), revoked_raw(true)) &&
        test_support::gost_add_revoked_extensions(c.get(), 1, ca_key_.get(), revoked_raw(false)));
    return c;
  }
  UniquePtr<EVP_PKEY> ca_key_;
  UniquePtr<X509> ca_;
};

TEST_F(GoldenPki, CertificateExtensionsPrintAndSplitAsRecorded) {
  UniquePtr<X509> cert = leaf();
  ASSERT_TRUE(cert);
  // Through DER, as a certificate read from a file would be.
  const Bytes der = test_support::to_der(cert.get());
  const unsigned char* p = der.data();
  UniquePtr<X509> read(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(read);
  check_golden("cert_print.txt", printed(X509_get0_extensions(read.get()), 4));
  write_seed("certificate", X509_get0_extensions(read.get()));
  UniquePtr<CADB_V3EXT_LIST> records(CADB_V3EXT_split_cert(read.get()));
  ASSERT_TRUE(records) << "split failed";
  check_golden("cert_records.txt", render(records.get()));
}

TEST_F(GoldenPki, CrlAndRevokedEntryExtensionsPrintAndSplitAsRecorded) {
  UniquePtr<X509_CRL> c = crl();
  ASSERT_TRUE(c);
  const Bytes der = test_support::to_der(c.get());
  const unsigned char* p = der.data();
  UniquePtr<X509_CRL> read(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(read);
  std::string print = "CRL:\n" + printed(X509_CRL_get0_extensions(read.get()), 4);
  write_seed("crl", X509_CRL_get0_extensions(read.get()));
  UniquePtr<CADB_V3EXT_LIST> records(CADB_V3EXT_split_crl(read.get()));
  ASSERT_TRUE(records);
  std::string split = "CRL:\n" + render(records.get());
  STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(read.get());
  ASSERT_EQ(sk_X509_REVOKED_num(revoked), 2);
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i) {
    const X509_REVOKED* entry = sk_X509_REVOKED_value(revoked, i);
    const std::string label =
        "Revoked " + std::to_string(ASN1_INTEGER_get(X509_REVOKED_get0_serialNumber(entry))) + ":\n";
    print += label + printed(X509_REVOKED_get0_extensions(entry), 4);
    write_seed("revoked" + std::to_string(i), X509_REVOKED_get0_extensions(entry));
    UniquePtr<CADB_V3EXT_LIST> entry_records(CADB_V3EXT_split_revoked(entry));
    ASSERT_TRUE(entry_records);
    split += label + render(entry_records.get());
  }
  check_golden("crl_print.txt", print);
  check_golden("crl_records.txt", split);
}

// The database's certificate and CRL records go through the same split: a
// critical extension nobody can read fails them, a non-critical one is
// left out of their lists.
TEST_F(GoldenPki, UnreadableCriticalExtensionFailsTheDatabaseRecord) {
  for (const bool critical : {false, true}) {
    UniquePtr<X509> cert = leaf();
    ASSERT_TRUE(cert);
    ASSERT_TRUE(test_support::gost_add_extensions(cert.get(), ca_.get(), ca_key_.get(), "", "",
                                                  {{"1.2.643.3.999.1", critical, tlv(0x05, {})}}));
    UniquePtr<CERT> record(CERT_split(cert.get()));
    if (critical) {
      EXPECT_FALSE(record);
      continue;
    }
    ASSERT_TRUE(record);
    ASSERT_NE(record->extensions, nullptr);
    EXPECT_EQ(sk_CADB_V3EXT_num(record->extensions), X509_get_ext_count(cert.get()) - 1);
  }
  UniquePtr<X509_CRL> c = crl();
  ASSERT_TRUE(c);
  ASSERT_TRUE(UniquePtr<CRL>(CRL_split(c.get())));
  ASSERT_TRUE(
      test_support::gost_add_revoked_extensions(c.get(), 1, ca_key_.get(), {{"1.2.643.3.999.2", true, tlv(0x05, {})}}));
  EXPECT_FALSE(UniquePtr<CRL>(CRL_split(c.get())));
}

}  // namespace
}  // namespace qcrypto
