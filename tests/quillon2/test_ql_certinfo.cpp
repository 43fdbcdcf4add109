// Certificate information: every field of the record on certificates of the
// three key types (golden texts), the toolkit time form, serial texts,
// hostile bytes, and the matching rules of the look-up modes.
//
// The certificates are fixed files beside the test (golden/*.pem), so every
// text, keys and signatures included, is reproducible. To make new
// certificates and texts after a deliberate change:
//   DOSSAR_REGENERATE_GOLDEN=1 build-test/tests/quillon2/test_ql_certinfo
// then review the diff under tests/quillon2/golden/ before committing.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cadb/library.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/rand/rand.h"
#include "crypto/x509/x509_owners.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_last_error.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;

// Holds a library reference for one test.
struct LibraryRef {
  LibraryRef() { qcrypto::cadb_library_init(); }
  ~LibraryRef() { qcrypto::cadb_library_cleanup(); }
  LibraryRef(const LibraryRef&) = delete;
  LibraryRef& operator=(const LibraryRef&) = delete;
};

std::string golden_path(const std::string& name) { return std::string(QL_GOLDEN_DIR) + "/" + name; }

bool regenerating() {
  const char* flag = std::getenv("DOSSAR_REGENERATE_GOLDEN");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes der_of(X509* cert) { return test_support::to_der(cert); }

// ---------------------------------------------------------------------------
// The fixture certificates.

enum Fixture { kEcgost, kR3410, kRsa, kFixtures };
const char* const kFixtureNames[kFixtures] = {"ecr3410_leaf", "r3410_leaf", "rsa_self"};

// UTF-8 (up to three-byte sequences) as UTF-16BE, for BMPString values.
std::string utf16be(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    unsigned code = c;
    std::size_t n = 1;
    if (c >= 0xE0) {
      code = ((c & 0x0Fu) << 12) | ((utf8[i + 1] & 0x3Fu) << 6) | (utf8[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0) {
      code = ((c & 0x1Fu) << 6) | (utf8[i + 1] & 0x3Fu);
      n = 2;
    }
    out += static_cast<char>(code >> 8);
    out += static_cast<char>(code & 0xFF);
    i += n;
  }
  return out;
}

struct Entry {
  const char* field;
  int type;  // MBSTRING_ASC, MBSTRING_UTF8, or a string type with raw bytes
  std::string value;
};

X509_NAME* make_name(const std::vector<Entry>& entries) {
  X509_NAME* name = X509_NAME_new();
  for (const Entry& e : entries) {
    if (X509_NAME_add_entry_by_txt(name, e.field, e.type, reinterpret_cast<const unsigned char*>(e.value.data()),
                                   static_cast<int>(e.value.size()), -1, 0) != 1) {
      X509_NAME_free(name);
      return nullptr;
    }
  }
  return name;
}

bool set_time(X509* cert, bool start, int type, const char* text) {
  UniquePtr<ASN1_STRING> t(ASN1_STRING_type_new(type));
  if (!t || ASN1_STRING_set(t.get(), text, -1) != 1) return false;
  return (start ? X509_set1_notBefore(cert, t.get()) : X509_set1_notAfter(cert, t.get())) == 1;
}

bool add_conf_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool add_raw_extension(X509* cert, const char* oid, const std::string& der, bool critical) {
  UniquePtr<ASN1_OBJECT> object(OBJ_txt2obj(oid, 1));
  UniquePtr<ASN1_STRING> value(ASN1_OCTET_STRING_new());
  if (!object || !value ||
      ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(der.data()),
                            static_cast<int>(der.size())) != 1)
    return false;
  X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, object.get(), critical ? 1 : 0, value.get());
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

struct CertRecipe {
  EVP_PKEY* key;
  X509* issuer;  // null: self-signed
  EVP_PKEY* issuer_key;
  long version;
  const char* serial_hex;  // "-" first for a negative serial
  int start_type;
  const char* start;
  int end_type;
  const char* end;
  std::vector<Entry> subject;
};

X509* make_cert(const CertRecipe& r) {
  UniquePtr<X509> cert(X509_new());
  UniquePtr<X509_NAME> subject(make_name(r.subject));
  BIGNUM* raw = nullptr;
  const bool negative = r.serial_hex[0] == '-';
  if (!cert || !subject || BN_hex2bn(&raw, r.serial_hex + (negative ? 1 : 0)) == 0) return nullptr;
  UniquePtr<BIGNUM> serial(raw);
  BN_set_negative(serial.get(), negative ? 1 : 0);
  UniquePtr<ASN1_INTEGER> number(BN_to_ASN1_INTEGER(serial.get(), nullptr));
  const X509_NAME* issuer_name = r.issuer != nullptr ? X509_get_subject_name(r.issuer) : subject.get();
  EVP_PKEY* signer = r.issuer_key != nullptr ? r.issuer_key : r.key;
  const bool gost = !EVP_PKEY_is_a(signer, "RSA");
  bool ok = number && X509_set_version(cert.get(), r.version) == 1 &&
            X509_set_serialNumber(cert.get(), number.get()) == 1 &&
            X509_set_subject_name(cert.get(), subject.get()) == 1 &&
            X509_set_issuer_name(cert.get(), issuer_name) == 1 && set_time(cert.get(), true, r.start_type, r.start) &&
            set_time(cert.get(), false, r.end_type, r.end) && X509_set_pubkey(cert.get(), r.key) == 1;
  if (ok && r.version == 2) {
    X509* issuer = r.issuer != nullptr ? r.issuer : cert.get();
    ok = add_conf_extension(cert.get(), issuer, NID_basic_constraints,
                            r.issuer == nullptr ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
         add_conf_extension(
             cert.get(), issuer, NID_key_usage,
             r.issuer == nullptr ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment") &&
         add_conf_extension(cert.get(), issuer, NID_crl_distribution_points, "URI:http://ca.example.ru/ca.crl") &&
         add_conf_extension(cert.get(), issuer, NID_subject_alt_name, "email:ivanov@example.ru") &&
         // A known extension whose value does not decode, and one nobody knows.
         add_raw_extension(cert.get(), "1.3.6.1.5.5.7.1.1", std::string("\x30\x03\x02\x01\x05", 5), false) &&
         add_raw_extension(cert.get(), "1.3.6.1.4.1.99999.1", std::string("\x0C\x04Test", 6), false);
  }
  ok = ok && X509_sign(cert.get(), signer, gost ? nullptr : EVP_sha256()) > 0;
  if (!ok) ERR_print_errors_fp(stderr);
  return ok ? cert.release() : nullptr;
}

using test_support::kSystemRand;

void regenerate_fixtures() {
  using test_support::PkiKeyType;
  qcrypto::RAND_set_rand_method(&kSystemRand);  // new keys and signatures draw from the kernel
  UniquePtr<EVP_PKEY> ca_key(test_support::pki_new_key(PkiKeyType::kEcr3410));
  UniquePtr<EVP_PKEY> ecgost_key(test_support::pki_new_key(PkiKeyType::kEcr3410));
  UniquePtr<EVP_PKEY> r3410_key(test_support::pki_new_key(PkiKeyType::kR3410));
  UniquePtr<EVP_PKEY> rsa_key(test_support::pki_new_key(PkiKeyType::kRsa));
  ASSERT_TRUE(ca_key && ecgost_key && r3410_key && rsa_key);
  UniquePtr<X509> ca(make_cert({ca_key.get(),
                                nullptr,
                                nullptr,
                                2,
                                "7",
                                V_ASN1_UTCTIME,
                                "250101000000Z",
                                V_ASN1_GENERALIZEDTIME,
                                "20550101000000Z",
                                {{"C", MBSTRING_ASC, "RU"},
                                 {"O", MBSTRING_UTF8, "Удостоверяющий центр"},
                                 {"CN", MBSTRING_UTF8, "Тестовый УЦ"}}}));
  ASSERT_NE(ca, nullptr);
  X509* certs[kFixtures] = {
      make_cert({ecgost_key.get(),
                 ca.get(),
                 ca_key.get(),
                 2,
                 "0123456789ABCDEF0123456789ABCDEF01234567",
                 V_ASN1_UTCTIME,
                 "250101093000Z",
                 V_ASN1_GENERALIZEDTIME,
                 "20510630235959Z",
                 {{"C", MBSTRING_ASC, "RU"},
                  {"ST", V_ASN1_BMPSTRING, utf16be("Москва")},
                  {"L", V_ASN1_T61STRING, "\xCC\xEE\xF1\xEA\xE2\xE0"},
                  {"O", MBSTRING_UTF8, "ООО Ромашка"},
                  {"OU", MBSTRING_UTF8, "Отдел"},
                  {"title", MBSTRING_UTF8, "Инженер"},
                  {"CN", MBSTRING_UTF8, "Иванов Иван Иванович"},
                  {"emailAddress", MBSTRING_ASC, "ivanov@example.ru"}}}),
      make_cert({r3410_key.get(),
                 ca.get(),
                 ca_key.get(),
                 2,
                 "1F",
                 V_ASN1_UTCTIME,
                 "500101000000Z",
                 V_ASN1_UTCTIME,
                 "491231235959Z",
                 {{"C", MBSTRING_ASC, "RU"},
                  {"O", MBSTRING_ASC, "Org 94"},
                  {"CN", MBSTRING_UTF8, "Петров Пётр"},
                  {"emailAddress", MBSTRING_ASC, "petrov@example.ru"}}}),
      make_cert({rsa_key.get(),
                 nullptr,
                 nullptr,
                 0,
                 "-0A0B0C0D0E",
                 V_ASN1_UTCTIME,
                 "2406011200Z",
                 V_ASN1_UTCTIME,
                 "340601120000Z",
                 {{"C", MBSTRING_ASC, "RU"},
                  {"OU", V_ASN1_BMPSTRING, utf16be("Бухгалтерия")},
                  {"CN", MBSTRING_ASC, "RSA Test"}}}),
  };
  for (int i = 0; i < kFixtures; ++i) {
    ASSERT_NE(certs[i], nullptr) << kFixtureNames[i];
    std::ofstream(golden_path(std::string(kFixtureNames[i]) + ".pem"), std::ios::binary)
        << test_support::to_pem(certs[i]);
    X509_free(certs[i]);
  }
}

std::string show(const char* text) { return text != nullptr ? text : "(null)"; }

// Every field of the record, for the golden files.
std::string record_text(const QL_CERT_INFO& info) {
  std::string out = "version: " + show(info.version) + "\nserial: " + show(info.serial) +
                    "\nnot_before: " + show(info.not_before) + "\nnot_after: " + show(info.not_after) + "\n";
  const struct {
    const char* label;
    const QL_DN* dn;
  } names[] = {{"issuer", &info.issuer}, {"subject", &info.subject}};
  for (const auto& n : names) {
    for (int i = 0; i < QL_DN_FIELDS; ++i) {
      out += std::string(n.label) + "." + QL_DN_KEYS[i] + ": " + show(QL_DN_fields(n.dn)[i]) + "\n";
    }
  }
  out += "public_key:\n" + show(info.public_key) + "extensions:\n" + show(info.extensions) + "\nsignature:\n" +
         show(info.signature) + "print:\n" + show(info.print);
  return out;
}

class QlCertInfo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (regenerating()) {
      LibraryRef library;
      regenerate_fixtures();
    }
    for (int i = 0; i < kFixtures; ++i) {
      pem_[i] = bytes_of(read_file(golden_path(std::string(kFixtureNames[i]) + ".pem")));
    }
  }

  void SetUp() override {
    for (int i = 0; i < kFixtures; ++i) {
      ASSERT_FALSE(pem_[i].empty()) << kFixtureNames[i];
      certs_[i].reset(QL_read_certificate(pem_[i].data(), static_cast<long>(pem_[i].size())));
      ASSERT_NE(certs_[i], nullptr) << kFixtureNames[i];
    }
  }

  LibraryRef library_;
  UniquePtr<X509> certs_[kFixtures];
  static Bytes pem_[kFixtures];
};
Bytes QlCertInfo::pem_[kFixtures];

// Runs first: the test suite's other tests take their references per test.
TEST_F(QlCertInfo, GetCertInfoWorksWithoutInitAndTakesNoLastingReference) {
  qcrypto::cadb_library_cleanup();  // give back the fixture's reference for this test
  ASSERT_EQ(qcrypto::cadb_library_references(), 0);
  QL_CERT_INFO info;
  const Bytes der = der_of(certs_[kEcgost].get());
  EXPECT_EQ(QL_get_cert_info(der.data(), static_cast<long>(der.size()), &info), QL_OK);
  EXPECT_EQ(qcrypto::cadb_library_references(), 0);
  EXPECT_NE(info.print, nullptr);
  QL_CERT_INFO_clear(&info);
  qcrypto::cadb_library_init();
}

TEST_F(QlCertInfo, GoldenRecords) {
  for (int i = 0; i < kFixtures; ++i) {
    SCOPED_TRACE(kFixtureNames[i]);
    for (const bool pem : {false, true}) {
      const Bytes bytes = pem ? pem_[i] : der_of(certs_[i].get());
      QL_CERT_INFO info;
      ASSERT_EQ(QL_get_cert_info(bytes.data(), static_cast<long>(bytes.size()), &info), QL_OK);
      const std::string text = record_text(info);
      QL_CERT_INFO_clear(&info);
      EXPECT_EQ(info.print, nullptr);
      const std::string path = golden_path(std::string(kFixtureNames[i]) + ".txt");
      if (regenerating()) {
        std::ofstream(path, std::ios::binary) << text;
        continue;
      }
      EXPECT_EQ(text, read_file(path)) << (pem ? "PEM" : "DER");
    }
  }
}

// What the golden files hold, spelled out where the Part fixes the text.
TEST_F(QlCertInfo, FieldTexts) {
  QL_CERT_INFO info[kFixtures];
  for (int i = 0; i < kFixtures; ++i) ASSERT_EQ(QL_CERT_INFO_fill(certs_[i].get(), &info[i]), QL_OK);
  const QL_CERT_INFO& e = info[kEcgost];
  const QL_CERT_INFO& r = info[kR3410];
  const QL_CERT_INFO& rsa = info[kRsa];
  EXPECT_STREQ(e.version, "3");
  EXPECT_STREQ(rsa.version, "1");
  EXPECT_STREQ(e.serial, "0123456789ABCDEF0123456789ABCDEF01234567");
  EXPECT_STREQ(r.serial, "1F");
  EXPECT_STREQ(rsa.serial, "-0A0B0C0D0E");
  EXPECT_STREQ(e.not_before, "01.01.2025 09:30:00");
  EXPECT_STREQ(e.not_after, "30.06.2051 23:59:59");
  EXPECT_STREQ(r.not_before, "01.01.1950 00:00:00");
  EXPECT_STREQ(r.not_after, "31.12.2049 23:59:59");
  EXPECT_STREQ(rsa.not_before, "01.06.2024 12:00:00");  // a UTCTime without seconds
  // Names in Windows-1251 whatever their string type: BMPString, an 8-bit
  // string already in the code page, UTF8String.
  EXPECT_STREQ(e.subject.C, "RU");
  EXPECT_STREQ(e.subject.SP, "\xCC\xEE\xF1\xEA\xE2\xE0");
  EXPECT_STREQ(e.subject.L, "\xCC\xEE\xF1\xEA\xE2\xE0");
  EXPECT_STREQ(e.subject.O, "\xCE\xCE\xCE \xD0\xEE\xEC\xE0\xF8\xEA\xE0");
  EXPECT_STREQ(e.subject.OU, "\xCE\xF2\xE4\xE5\xEB");
  EXPECT_STREQ(e.subject.T, "\xC8\xED\xE6\xE5\xED\xE5\xF0");
  EXPECT_STREQ(e.subject.CN, "\xC8\xE2\xE0\xED\xEE\xE2 \xC8\xE2\xE0\xED \xC8\xE2\xE0\xED\xEE\xE2\xE8\xF7");
  EXPECT_STREQ(e.subject.Email, "ivanov@example.ru");
  EXPECT_STREQ(e.issuer.CN, "\xD2\xE5\xF1\xF2\xEE\xE2\xFB\xE9 \xD3\xD6");
  EXPECT_EQ(e.issuer.SP, nullptr);
  EXPECT_STREQ(r.subject.CN, "\xCF\xE5\xF2\xF0\xEE\xE2 \xCF\xB8\xF2\xF0");  // ё is 0xB8
  EXPECT_STREQ(rsa.subject.OU, "\xC1\xF3\xF5\xE3\xE0\xEB\xF2\xE5\xF0\xE8\xFF");
  EXPECT_STREQ(rsa.issuer.CN, "RSA Test");
  // Key forms by type.
  EXPECT_NE(std::strstr(e.public_key, "            ECGOST Public Key:\n                pub: \n"), nullptr);
  EXPECT_NE(std::strstr(r.public_key, "            R3410 Public Key:\n                pub: \n"), nullptr);
  EXPECT_NE(std::strstr(rsa.public_key, "            RSA Public Key: (1024 bit)\n                Modulus (1024 bit):"),
            nullptr);
  EXPECT_NE(std::strstr(rsa.public_key, "                Exponent: 65537 (0x10001)\n"), nullptr);
  EXPECT_EQ(std::strncmp(rsa.public_key, "            Public Key Algorithm: rsaEncryption\n", 48), 0);
  // Extensions: the system's printer, the raw value of one that does not
  // decode, none at all.
  EXPECT_EQ(
      std::strncmp(e.extensions, "        X509v3 extensions:\n            X509v3 Basic Constraints: critical\n", 74),
      0);
  EXPECT_NE(std::strstr(e.extensions, "            Authority Information Access: \n                0....\n"), nullptr);
  EXPECT_EQ(rsa.extensions, nullptr);
  // Signature lines: 18 bytes each after eight blanks.
  EXPECT_EQ(std::strncmp(rsa.signature, "    Signature Algorithm: sha256WithRSAEncryption\n        ", 57), 0);
  const char* second_line = std::strchr(std::strchr(rsa.signature, '\n') + 1, '\n');
  ASSERT_NE(second_line, nullptr);
  EXPECT_EQ(second_line - std::strchr(rsa.signature, '\n'), 8 + 18 * 3 + 1);
  // The full print names the parts with the system's short names.
  EXPECT_NE(std::strstr(e.print, "SP=\xCC\xEE\xF1\xEA\xE2\xE0"), nullptr);
  EXPECT_NE(std::strstr(e.print, "T=\xC8\xED\xE6\xE5\xED\xE5\xF0"), nullptr);
  EXPECT_NE(std::strstr(e.print, "Email=ivanov@example.ru"), nullptr);
  EXPECT_NE(std::strstr(rsa.print, "        Serial Number:\n             (Negative)0a:0b:0c:0d:0e\n"), nullptr);
  EXPECT_NE(std::strstr(r.print, "        Serial Number: 31 (0x1f)\n"), nullptr);
  for (QL_CERT_INFO& i : info) QL_CERT_INFO_clear(&i);
}

TEST_F(QlCertInfo, SingleTextsSetTheLastResult) {
  QL_set_last_error(77);
  char* text = QL_cert_not_after_text(certs_[kEcgost].get(), QL_TIME_FORM_OPENSSL);
  EXPECT_STREQ(text, "Jun 30 23:59:59 2051 GMT");
  EXPECT_EQ(QL_get_last_error(), QL_OK);
  QL_free(text);
  using TextFn = char* (*)(X509*);
  for (TextFn fn : {QL_cert_version_text, QL_cert_serial_text, QL_cert_subject_text, QL_cert_issuer_text,
                    QL_cert_pubkey_text, QL_cert_extensions_text, QL_cert_signature_text, QL_cert_print_text}) {
    QL_set_last_error(QL_OK);
    EXPECT_EQ(fn(nullptr), nullptr);
    EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  }
  EXPECT_EQ(QL_cert_not_before_text(nullptr, QL_TIME_FORM_TOOLKIT), nullptr);
  EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_CERT_INFO_fill(nullptr, nullptr), QL_ERR_ARGUMENT);
}

// A validity time that cannot be printed stops the filling with 13 or 14;
// what was filled stays for the clear.
TEST_F(QlCertInfo, UnprintableValidityStopsFilling) {
  for (const bool start : {true, false}) {
    UniquePtr<X509> cert(X509_dup(certs_[kR3410].get()));
    ASSERT_TRUE(cert && set_time(cert.get(), start, V_ASN1_UTCTIME, "491331235959Z"));
    QL_CERT_INFO info;
    EXPECT_EQ(QL_CERT_INFO_fill(cert.get(), &info), start ? 13 : 14);
    EXPECT_STREQ(info.serial, "1F");
    EXPECT_EQ(info.not_before == nullptr, start);
    EXPECT_EQ(info.not_after, nullptr);
    EXPECT_EQ(info.subject.CN, nullptr);
    EXPECT_EQ(info.print, nullptr);
    QL_CERT_INFO_clear(&info);
    QL_set_last_error(QL_OK);
    char* text = QL_cert_not_before_text(cert.get(), QL_TIME_FORM_OPENSSL);
    EXPECT_EQ(text == nullptr, start);
    QL_free(text);
    if (start) {
      EXPECT_EQ(QL_get_last_error(), 13);
    }
  }
}

// A value that does not decode is shown raw, with no byte able to start a
// line of its own in the print.
TEST_F(QlCertInfo, RawExtensionValuesCannotBreakLines) {
  UniquePtr<X509> cert(X509_dup(certs_[kR3410].get()));
  ASSERT_TRUE(cert && add_raw_extension(cert.get(), "2.5.29.36", std::string("\x04\x0C\nFAKE:\r line", 14), true));
  char* text = QL_cert_extensions_text(cert.get());
  ASSERT_NE(text, nullptr);
  EXPECT_NE(std::strstr(text, "            X509v3 Policy Constraints: critical\n                ...FAKE:. line\n"),
            nullptr)
      << text;
  EXPECT_EQ(std::strstr(text, "\nFAKE"), nullptr);
  QL_free(text);
}

// A key that does not decode is shown as such; the record is still made.
TEST_F(QlCertInfo, UndecodableKeyIsShownNotFailed) {
  Bytes der = der_of(certs_[kEcgost].get());
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certs_[kEcgost].get());
  const unsigned char* key = ASN1_STRING_get0_data(bits);
  const auto at = std::search(der.begin(), der.end(), key, key + ASN1_STRING_length(bits));
  ASSERT_NE(at, der.end());
  *(at + ASN1_STRING_length(bits) - 1) ^= 0x01;  // the point leaves the curve
  QL_CERT_INFO info;
  ASSERT_EQ(QL_get_cert_info(der.data(), static_cast<long>(der.size()), &info), QL_OK);
  EXPECT_NE(std::strstr(info.public_key, "            Unable to load Public Key\n"), nullptr) << info.public_key;
  EXPECT_EQ(std::strstr(info.public_key, "ECGOST Public Key"), nullptr);
  EXPECT_NE(std::strstr(info.print, "Unable to load Public Key"), nullptr);
  QL_CERT_INFO_clear(&info);
}

struct HostileCase {
  const char* what;
  Bytes bytes;
  long length;  // -1: the bytes' size
  bool null_bytes;
  int want;
};

TEST_F(QlCertInfo, HostileBytes) {
  const Bytes der = der_of(certs_[kRsa].get());
  std::string pem(pem_[kRsa].begin(), pem_[kRsa].end());
  pem[pem.size() / 2] = '*';
  const Bytes crl_like = {0x30, 0x03, 0x02, 0x01, 0x01};
  const HostileCase cases[] = {
      {"null bytes", {}, 10, true, QL_ERR_ARGUMENT},
      {"negative length", der, -5, false, QL_ERR_ARGUMENT},
      {"empty", der, 0, false, QL_ERR_CERT_DECODE},
      {"text", bytes_of("hello, world"), -1, false, QL_ERR_CERT_DECODE},
      {"half the DER", Bytes(der.begin(), der.begin() + static_cast<long>(der.size() / 2)), -1, false,
       QL_ERR_CERT_DECODE},
      {"DER one byte short", der, static_cast<long>(der.size()) - 1, false, QL_ERR_CERT_DECODE},
      {"damaged PEM", bytes_of(pem), -1, false, QL_ERR_CERT_DECODE},
      {"another structure", crl_like, -1, false, QL_ERR_CERT_DECODE},
      {"over the bound", der, QL_CERT_MAX_BYTES + 1, false, QL_ERR_CERT_DECODE},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    const long length = c.length == -1 ? static_cast<long>(c.bytes.size()) : c.length;
    const unsigned char* bytes = c.null_bytes ? nullptr : c.bytes.data();
    QL_CERT_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(QL_get_cert_info(bytes, length, &info), c.want);
    const QL_CERT_INFO zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    EXPECT_EQ(QL_read_certificate(bytes, length), nullptr);
    EXPECT_EQ(QL_get_last_error(), c.want);
  }
  // A null record is left alone.
  EXPECT_EQ(QL_get_cert_info(der.data(), static_cast<long>(der.size()), nullptr), QL_ERR_ARGUMENT);
  // The caller's queued errors survive a failed decoding.
  ERR_raise(ERR_LIB_USER, 42);
  const unsigned long mine = ERR_peek_last_error();
  EXPECT_EQ(QL_read_certificate(crl_like.data(), static_cast<long>(crl_like.size())), nullptr);
  EXPECT_EQ(ERR_peek_last_error(), mine);
  ERR_clear_error();
}

TEST_F(QlCertInfo, SerialTexts) {
  struct Case {
    std::string hex;
    bool negative;
    std::string want;
  };
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "A5";
  const Case cases[] = {
      {"01", false, "01"},
      {"7F", false, "7F"},
      {"80", false, "80"},  // the magnitude, not the DER sign byte
      {"ABCDEF", true, "-ABCDEF"},
      {hundred.substr(0, 126), false, hundred.substr(0, 126)},
      {hundred.substr(0, 128), false, hundred.substr(0, 126)},
      {hundred, false, hundred.substr(0, 126)},
      {hundred, true, "-" + hundred.substr(0, 126)},
  };
  for (const Case& c : cases) {
    UniquePtr<X509> cert(X509_new());
    BIGNUM* raw = nullptr;
    ASSERT_NE(BN_hex2bn(&raw, c.hex.c_str()), 0);
    UniquePtr<BIGNUM> n(raw);
    BN_set_negative(n.get(), c.negative ? 1 : 0);
    UniquePtr<ASN1_INTEGER> serial(BN_to_ASN1_INTEGER(n.get(), nullptr));
    ASSERT_EQ(X509_set_serialNumber(cert.get(), serial.get()), 1);
    char* text = QL_cert_serial_text(cert.get());
    EXPECT_EQ(show(text), c.want) << c.hex;
    QL_free(text);
  }
}

struct TimeCase {
  int type;
  const char* text;
  const char* want;
  int result;
};

TEST(QlTime, PrintTable) {
  const TimeCase cases[] = {
      {V_ASN1_UTCTIME, "491231235959Z", "31.12.2049 23:59:59", 1},
      {V_ASN1_UTCTIME, "500101000000Z", "01.01.1950 00:00:00", 1},
      {V_ASN1_UTCTIME, "0001010000Z", "01.01.2000 00:00:00", 1},
      {V_ASN1_UTCTIME, "2406011200Z", "01.06.2024 12:00:00", 1},      // no seconds
      {V_ASN1_UTCTIME, "24060112005Z", "01.06.2024 12:00:00", 1},     // one seconds digit
      {V_ASN1_UTCTIME, "240601120059", "01.06.2024 12:00:59", 1},     // no zone: not checked here
      {V_ASN1_UTCTIME, "2406011200+0300", "01.06.2024 12:00:00", 1},  // offsets are not applied
      {V_ASN1_UTCTIME, "240699999999Z", "99.06.2024 99:99:99", 1},    // only the month is checked
      {V_ASN1_UTCTIME, "241301120000Z", "Bad time value", 0},
      {V_ASN1_UTCTIME, "240001120000Z", "Bad time value", 0},
      {V_ASN1_UTCTIME, "240601120", "Bad time value", 0},
      {V_ASN1_UTCTIME, "24060112a0Z", "Bad time value", 0},
      {V_ASN1_UTCTIME, "", "Bad time value", 0},
      {V_ASN1_GENERALIZEDTIME, "20510630235959Z", "30.06.2051 23:59:59", 1},
      {V_ASN1_GENERALIZEDTIME, "19000101000000Z", "01.01.1900 00:00:00", 1},
      {V_ASN1_GENERALIZEDTIME, "205106302359Z", "30.06.2051 23:59:00", 1},
      {V_ASN1_GENERALIZEDTIME, "2051063023Z", "Bad time value", 0},
      {V_ASN1_GENERALIZEDTIME, "20511330235959Z", "Bad time value", 0},
      {V_ASN1_OCTET_STRING, "240601120000Z", "Bad time value", 0},
  };
  for (const TimeCase& c : cases) {
    UniquePtr<ASN1_STRING> time(ASN1_STRING_type_new(c.type));
    ASSERT_EQ(ASN1_STRING_set(time.get(), c.text, -1), 1);
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    EXPECT_EQ(QL_print_time(out.get(), time.get()), c.result) << c.text;
    char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    EXPECT_EQ(std::string(data, static_cast<std::size_t>(n)), c.want) << c.text;
  }
}

TEST(QlTime, PrintersByFunctionAndFormat) {
  UniquePtr<ASN1_STRING> utc(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  ASSERT_EQ(ASN1_STRING_set(utc.get(), "20510630235959Z", -1), 1);
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  // The function decides how the text is read, not the type it carries.
  EXPECT_EQ(QL_print_gentime(out.get(), utc.get()), 1);
  EXPECT_EQ(QL_print_utctime(out.get(), nullptr), 0);
  EXPECT_EQ(QL_print_time(out.get(), nullptr), 0);
  EXPECT_EQ(QL_format_time(out.get(), 5, 1, 2, 3, 4, 5), 1);
  char* data = nullptr;
  const long n = BIO_get_mem_data(out.get(), &data);
  EXPECT_EQ(std::string(data, static_cast<std::size_t>(n)),
            "30.06.2051 23:59:59Bad time valueBad time value02.01.5 03:04:05");
}

struct LookupCase {
  const char* what;
  int mode;
  std::string key;
  std::string second;
  bool key_null;
  bool second_null;
  unsigned matches;  // bit per fixture
};

TEST_F(QlCertInfo, LookupRules) {
  const std::string ca =
      "/C=RU/O=\xD3\xE4\xEE\xF1\xF2\xEE\xE2\xE5\xF0\xFF\xFE\xF9\xE8\xE9 \xF6\xE5\xED\xF2\xF0/CN="
      "\xD2\xE5\xF1\xF2\xEE\xE2\xFB\xE9 \xD3\xD6";
  const std::string r3410 = "/C=RU/O=Org 94/CN=\xCF\xE5\xF2\xF0\xEE\xE2 \xCF\xB8\xF2\xF0/Email=petrov@example.ru";
  const std::string rsa = "/C=RU/OU=\xC1\xF3\xF5\xE3\xE0\xEB\xF2\xE5\xF0\xE8\xFF/CN=RSA Test";
  const unsigned kE = 1u << kEcgost, kR = 1u << kR3410, kS = 1u << kRsa;
  const LookupCase cases[] = {
      {"subject and issuer", QL_LOOKUP_SUBJECT, r3410, ca, false, false, kR},
      {"subject only", QL_LOOKUP_SUBJECT, rsa, "", false, true, kS},
      {"issuer only", QL_LOOKUP_SUBJECT, "", ca, true, false, kE | kR},
      {"self-issued", QL_LOOKUP_SUBJECT, rsa, rsa, false, false, kS},
      {"subject of one, issuer of another", QL_LOOKUP_SUBJECT, rsa, ca, false, false, 0},
      {"a prefix is not the name", QL_LOOKUP_SUBJECT, "/C=RU/O=Org 94", "", false, true, 0},
      {"no criterion", QL_LOOKUP_SUBJECT, "", "", true, true, 0},
      {"serial", QL_LOOKUP_SERIAL, "1F", "", false, true, kR},
      {"serial in lower case", QL_LOOKUP_SERIAL, "1f", "", false, true, 0},
      {"negative serial", QL_LOOKUP_SERIAL, "-0A0B0C0D0E", rsa, false, false, kS},
      {"serial with another issuer", QL_LOOKUP_SERIAL, "1F", rsa, false, false, 0},
      {"long serial and issuer", QL_LOOKUP_SERIAL, "0123456789ABCDEF0123456789ABCDEF01234567", ca, false, false, kE},
      {"name mode without a name", QL_LOOKUP_NAME, "", "", true, true, 0},
      {"file mode", QL_LOOKUP_FILE, rsa, "", false, true, 0},
      {"bytes mode", QL_LOOKUP_BYTES, rsa, "", false, true, 0},
      {"unknown mode", 9, rsa, rsa, false, false, 0},
  };
  for (const LookupCase& c : cases) {
    unsigned got = 0;
    for (int i = 0; i < kFixtures; ++i) {
      const int m = QL_cert_matches_lookup(certs_[i].get(), c.mode, c.key_null ? nullptr : c.key.c_str(),
                                           c.second_null ? nullptr : c.second.c_str(), nullptr);
      if (m == 1) got |= 1u << i;
    }
    EXPECT_EQ(got, c.matches) << c.what;
  }
  // Mode 3 with a record: the subject parsed into one, matched by QL_DN_match.
  const struct {
    const char* name;
    unsigned matches;
  } names[] = {
      {"/CN=RSA Test", kS},
      {"/C=RU", kE | kR | kS},
      // A part the certificate lacks does not count against it.
      {"/Email=ivanov@example.ru", kE | kS},
      {"/O=Org 94", kR | kS},
      {"/O=Org 94/CN=RSA Test", kS},
      {"/CN=rsa test", 0},
  };
  for (const auto& n : names) {
    UniquePtr<QL_DN> wanted(QL_DN_from_text(n.name));
    unsigned got = 0;
    for (int i = 0; i < kFixtures; ++i) {
      if (QL_cert_matches_lookup(certs_[i].get(), QL_LOOKUP_NAME, nullptr, nullptr, wanted.get()) == 1) got |= 1u << i;
    }
    EXPECT_EQ(got, n.matches) << n.name;
  }
}

// A certificate that only has to carry names and a serial.
X509* named_cert(const std::vector<Entry>& subject, const std::vector<Entry>& issuer, long serial) {
  UniquePtr<X509> cert(X509_new());
  UniquePtr<X509_NAME> s(make_name(subject));
  UniquePtr<X509_NAME> i(make_name(issuer));
  if (!cert || !s || !i || X509_set_subject_name(cert.get(), s.get()) != 1 ||
      X509_set_issuer_name(cert.get(), i.get()) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) != 1)
    return nullptr;
  return cert.release();
}

TEST(QlNames, LookupsTellAValueHoldingSeparatorsFromTheNameItImitates) {
  const std::vector<Entry> spoof = {{"CN", MBSTRING_UTF8, "Ivan/O=Central Bank"}};
  const std::vector<Entry> real = {{"CN", MBSTRING_UTF8, "Ivan"}, {"O", MBSTRING_UTF8, "Central Bank"}};
  const std::vector<Entry> ca = {{"CN", MBSTRING_UTF8, "CA"}};
  const std::vector<Entry> spoof_ca = {{"CN", MBSTRING_UTF8, "CA/O=x"}};
  const std::vector<Entry> real_ca = {{"CN", MBSTRING_UTF8, "CA"}, {"O", MBSTRING_UTF8, "x"}};
  UniquePtr<X509> certs[] = {UniquePtr<X509>(named_cert(spoof, ca, 5)), UniquePtr<X509>(named_cert(real, ca, 5)),
                             UniquePtr<X509>(named_cert(real, spoof_ca, 5)),
                             UniquePtr<X509>(named_cert(real, real_ca, 5))};
  for (const auto& c : certs) ASSERT_NE(c, nullptr);
  const struct {
    const char* what;
    int mode;
    const char* key;
    const char* second;
    unsigned matches;  // bit per certificate
  } cases[] = {
      {"spoofed subject as printed", QL_LOOKUP_SUBJECT, "/CN=Ivan\\/O\\=Central Bank", nullptr, 1u << 0},
      {"real subject", QL_LOOKUP_SUBJECT, "/CN=Ivan/O=Central Bank", nullptr, 0b1110},
      {"real subject, spoofed issuer", QL_LOOKUP_SUBJECT, "/CN=Ivan/O=Central Bank", "/CN=CA\\/O\\=x", 1u << 2},
      {"real subject, real issuer", QL_LOOKUP_SUBJECT, "/CN=Ivan/O=Central Bank", "/CN=CA/O=x", 1u << 3},
      {"serial under the real issuer", QL_LOOKUP_SERIAL, "05", "/CN=CA/O=x", 1u << 3},
      {"serial under the spoofed issuer", QL_LOOKUP_SERIAL, "05", "/CN=CA\\/O\\=x", 1u << 2},
  };
  for (const auto& c : cases) {
    unsigned got = 0;
    for (std::size_t i = 0; i < std::size(certs); ++i) {
      if (QL_cert_matches_lookup(certs[i].get(), c.mode, c.key, c.second, nullptr) == 1) got |= 1u << i;
    }
    EXPECT_EQ(got, c.matches) << c.what;
  }
  // Each certificate is found by its own printed names, and only it.
  for (std::size_t i = 0; i < std::size(certs); ++i) {
    char* subject = QL_cert_subject_text(certs[i].get());
    char* issuer = QL_cert_issuer_text(certs[i].get());
    ASSERT_TRUE(subject != nullptr && issuer != nullptr);
    for (std::size_t j = 0; j < std::size(certs); ++j) {
      EXPECT_EQ(QL_cert_matches_texts(certs[j].get(), subject, issuer, "05"), i == j ? 1 : 0) << subject << issuer;
    }
    QL_free(subject);
    QL_free(issuer);
  }
}

TEST(QlNames, PrintedNamesParseBackIntoTheirParts) {
  const struct {
    std::vector<Entry> subject;
    const char* cn;
    const char* o;
  } cases[] = {
      {{{"CN", MBSTRING_UTF8, "Ivan/O=Central Bank"}}, "Ivan/O=Central Bank", nullptr},
      {{{"CN", MBSTRING_UTF8, "Ivan"}, {"O", MBSTRING_UTF8, "Central Bank"}}, "Ivan", "Central Bank"},
      {{{"CN", MBSTRING_UTF8, "a\\"}, {"O", MBSTRING_UTF8, "b=c"}}, "a\\", "b=c"},
      {{{"O", MBSTRING_UTF8, "x/CN=y"}, {"CN", MBSTRING_UTF8, "z"}}, "z", "x/CN=y"},
  };
  for (const auto& c : cases) {
    UniquePtr<X509> cert(named_cert(c.subject, c.subject, 1));
    ASSERT_NE(cert, nullptr);
    char* text = QL_cert_subject_text(cert.get());
    ASSERT_NE(text, nullptr);
    QL_DN dn{};
    EXPECT_EQ(QL_DN_parse(text, &dn), QL_OK) << text;
    EXPECT_STREQ(dn.CN, c.cn) << text;
    EXPECT_STREQ(dn.O, c.o) << text;
    QL_DN_clear(&dn);
    QL_free(text);
  }
}

}  // namespace
}  // namespace quillon2
