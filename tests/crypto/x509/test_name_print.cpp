#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <string>
#include <vector>

#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"
#include "platform/codepage/codepage.h"

namespace qcrypto {
namespace {

using NamePtr = UniquePtr<X509_NAME>;

struct Rdn {
  const char* field;  // short name or dotted number
  int type;           // ASN.1 string type; the bytes are stored as they are
  std::string bytes;
};

NamePtr make_name(const std::vector<Rdn>& rdns) {
  NamePtr name(X509_NAME_new());
  for (const auto& r : rdns) {
    ASN1_OBJECT* obj = OBJ_txt2obj(r.field, 0);
    EXPECT_NE(obj, nullptr) << r.field;
    UniquePtr<X509_NAME_ENTRY> e(X509_NAME_ENTRY_create_by_OBJ(nullptr, obj, r.type,
                                                               reinterpret_cast<const unsigned char*>(r.bytes.data()),
                                                               static_cast<int>(r.bytes.size())));
    ASN1_OBJECT_free(obj);
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(X509_NAME_add_entry(name.get(), e.get(), -1, 0), 1);
  }
  return name;
}

std::string oneline(const X509_NAME* name) {
  char* s = qcrypto::X509_NAME_oneline(name, nullptr, 0);
  EXPECT_NE(s, nullptr);
  std::string out = s ? s : "";
  OPENSSL_free(s);
  return out;
}

std::string bio_text(BIO* b) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(b, &data);
  return std::string(data, static_cast<std::size_t>(n));
}

class Names : public ::testing::Test {
 protected:
  void TearDown() override {
    X509_NAME_set_codepage_mode(NAME_MODE_LOCAL);
    platform::set_local_codepage(platform::CodePage::Windows1251);
  }
};

// "Иванов" in UTF-8, BMPString and Windows-1251.
const std::string kIvanovUtf8 = "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2";
const std::string kIvanovBmp("\x04\x18\x04\x32\x04\x30\x04\x3D\x04\x3E\x04\x32", 12);
const std::string kIvanov1251 = "\xC8\xE2\xE0\xED\xEE\xE2";

TEST_F(Names, OneLineValuesInTheLocalCodePage) {
  struct Case {
    const char* what;
    std::vector<Rdn> rdns;
    std::string want;
  };
  const Case cases[] = {
      {"BMP letters", {{"CN", V_ASN1_BMPSTRING, std::string("\x04\x10\x04\x11", 4)}}, "/CN=\xC0\xC1"},
      {"UTF-8 letters", {{"CN", V_ASN1_UTF8STRING, kIvanovUtf8}}, "/CN=" + kIvanov1251},
      {"8-bit letters", {{"O", V_ASN1_T61STRING, kIvanov1251}}, "/O=" + kIvanov1251},
      {"control and gap bytes escaped, numero passes",
       {{"CN", V_ASN1_T61STRING,
         "a\x01"
         "b\x9A"
         "c\xB9\xA8\xB8\x7F"}},
       "/CN=a\\x01b\\x9Ac\xB9\xA8\xB8\\x7F"},
      {"own short names",
       {{"ST", V_ASN1_UTF8STRING, "M"},
        {"title", V_ASN1_UTF8STRING, "Dr"},
        {"emailAddress", V_ASN1_IA5STRING, "a@b.ru"},
        {"C", V_ASN1_PRINTABLESTRING, "RU"}},
       "/SP=M/T=Dr/Email=a@b.ru/C=RU"},
      {"unknown object as dotted number", {{"1.2.3.4.5.6.7", V_ASN1_NUMERICSTRING, "7701"}}, "/1.2.3.4.5.6.7=7701"},
      {"character outside the code page", {{"CN", V_ASN1_UTF8STRING, "\xCE\xB1x"}}, "/CN=?x"},
      {"invalid UTF-8",
       {{"CN", V_ASN1_UTF8STRING,
         "a\xC0\xAF"
         "b"}},
       "/CN=a??b"},
      {"BMP unpaired surrogate", {{"CN", V_ASN1_BMPSTRING, std::string("\xD8\x00\x00\x41", 4)}}, "/CN=?A"},
      {"UniversalString letters",
       {{"CN", V_ASN1_UNIVERSALSTRING, std::string("\0\0\x04\x10\0\0\0\x41", 8)}},
       "/CN=\xC0"
       "A"},
      {"UniversalString Latin-1 is not Cyrillic",
       {{"CN", V_ASN1_UNIVERSALSTRING, std::string("\0\0\0\xC0", 4)}},
       "/CN=?"},
      {"empty name", {}, ""},
  };
  for (const auto& c : cases) {
    const NamePtr name = make_name(c.rdns);
    EXPECT_EQ(oneline(name.get()), c.want) << c.what;
  }
}

TEST_F(Names, AsciiNamesMatchOpenSslsOneLine) {
  const NamePtr name = make_name({{"C", V_ASN1_PRINTABLESTRING, "RU"},
                                  {"L", V_ASN1_UTF8STRING, "Moscow"},
                                  {"O", V_ASN1_UTF8STRING, "Test Org"},
                                  {"OU", V_ASN1_PRINTABLESTRING, "Unit 7"},
                                  {"CN", V_ASN1_UTF8STRING, "Test User"}});
  char ref[256];
  ASSERT_NE(::X509_NAME_oneline(name.get(), ref, sizeof ref), nullptr);
  EXPECT_EQ(oneline(name.get()), ref);
}

TEST_F(Names, OneLineIntoACallersBuffer) {
  const NamePtr name = make_name({{"CN", V_ASN1_UTF8STRING, "abc"}, {"O", V_ASN1_UTF8STRING, "defg"}});
  struct Case {
    int size;
    std::string want;
  };
  const Case cases[] = {
      {64, "/CN=abc/O=defg"}, {15, "/CN=abc/O=defg"}, {14, "/CN=abc"}, {8, "/CN=abc"}, {7, ""}, {1, ""}};
  for (const auto& c : cases) {
    std::vector<char> buf(static_cast<std::size_t>(c.size) + 4, '#');
    EXPECT_EQ(qcrypto::X509_NAME_oneline(name.get(), buf.data(), c.size), buf.data());
    EXPECT_EQ(std::string(buf.data()), c.want) << c.size;
    EXPECT_EQ(buf[static_cast<std::size_t>(c.size)], '#') << "wrote past the buffer, size " << c.size;
  }
  char small[5];
  EXPECT_STREQ(qcrypto::X509_NAME_oneline(nullptr, small, sizeof small), "NO X");
  EXPECT_EQ(oneline(nullptr), "NO X509_NAME");
  EXPECT_EQ(qcrypto::X509_NAME_oneline(name.get(), small, 0), nullptr);
}

TEST_F(Names, ModesChangeEscapingAndOutputCode) {
  const NamePtr name = make_name(
      {{"CN", V_ASN1_BMPSTRING, std::string("\x04\x10\x04\x11\x04\x01", 6)}, {"O", V_ASN1_T61STRING, "x\x01\xB9"}});
  struct Case {
    int mode;
    std::string want;
  };
  const Case cases[] = {
      {NAME_MODE_ASCII, "/CN=\\xC0\\xC1\\xA8/O=x\\x01\\xB9"},
      {NAME_MODE_LOCAL, "/CN=\xC0\xC1\xA8/O=x\\x01\xB9"},
      {NAME_MODE_KOI8R, "/CN=\xE1\xE2\xB3/O=x\\x01\xBF"},
      {NAME_MODE_CP866, "/CN=\x80\x81\xF0/O=x\\x01\xFC"},
      {NAME_MODE_UTF8, "/CN=\xD0\x90\xD0\x91\xD0\x81/O=x\\x01\xE2\x84\x96"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(X509_NAME_set_codepage_mode(c.mode), 1);
    EXPECT_EQ(X509_NAME_codepage_mode(), c.mode);
    EXPECT_EQ(oneline(name.get()), c.want) << c.mode;
  }
  EXPECT_EQ(X509_NAME_set_codepage_mode(4), 0);
  EXPECT_EQ(X509_NAME_codepage_mode(), NAME_MODE_UTF8);
  // A cut UTF-8 text never ends inside a character: the entry fits in seven
  // bytes before conversion, its UTF-8 form is cut back to whole letters.
  char buf[8];
  qcrypto::X509_NAME_oneline(name.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "/CN=\xD0\x90");
}

TEST_F(Names, OtherLocalCodePageKeepsItsLetters) {
  platform::set_local_codepage(platform::CodePage::Cp866);
  const NamePtr name = make_name({{"CN", V_ASN1_UTF8STRING, kIvanovUtf8}});
  EXPECT_EQ(oneline(name.get()), "/CN=\x88\xA2\xA0\xAD\xAE\xA2");
  X509_NAME_set_codepage_mode(NAME_MODE_UTF8);
  EXPECT_EQ(oneline(name.get()), "/CN=" + kIvanovUtf8);
}

// A certificate made with OpenSSL's own API (the names are what matters here;
// the key is a throw-away P-256 key).
struct Cert {
  UniquePtr<X509> x;
  UniquePtr<EVP_PKEY> key;
};

void make_cert(Cert& c, const X509_NAME* subject) {
  c.key.reset(EVP_EC_gen("P-256"));
  ASSERT_NE(c.key, nullptr);
  UniquePtr<X509> x(X509_new());
  ASSERT_EQ(X509_set_version(x.get(), 2), 1);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
  ASSERT_EQ(X509_set_subject_name(x.get(), subject), 1);
  ASSERT_EQ(X509_set_issuer_name(x.get(), subject), 1);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
  ASSERT_EQ(X509_set_pubkey(x.get(), c.key.get()), 1);
  ASSERT_GT(X509_sign(x.get(), c.key.get(), EVP_sha256()), 0);
  // Through DER and back, as a certificate read from a file would be.
  unsigned char* der = nullptr;
  const int n = i2d_X509(x.get(), &der);
  ASSERT_GT(n, 0);
  const unsigned char* p = der;
  c.x.reset(d2i_X509(nullptr, &p, n));
  OPENSSL_free(der);
  ASSERT_NE(c.x, nullptr);
}

TEST_F(Names, CertificateSubjectsPrintByteForByte) {
  const NamePtr subject = make_name({{"C", V_ASN1_PRINTABLESTRING, "RU"},
                                     {"ST", V_ASN1_UTF8STRING, "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"},
                                     {"O", V_ASN1_BMPSTRING, kIvanovBmp},
                                     {"CN", V_ASN1_UTF8STRING,
                                      kIvanovUtf8 + " \xE2\x84\x96"
                                                    "1"},
                                     {"emailAddress", V_ASN1_IA5STRING, "ivanov@example.ru"}});
  Cert c;
  make_cert(c, subject.get());
  const X509_NAME* got = X509_get_subject_name(c.x.get());
  const std::string moskva = "\xCC\xEE\xF1\xEA\xE2\xE0";
  EXPECT_EQ(oneline(got), "/C=RU/SP=" + moskva + "/O=" + kIvanov1251 + "/CN=" + kIvanov1251 +
                              " \xB9"
                              "1/Email=ivanov@example.ru");

  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(qcrypto::X509_NAME_print(mem.get(), got, 0), 1);
  EXPECT_EQ(bio_text(mem.get()), "C=RU, SP=" + moskva + ", O=" + kIvanov1251 + ", CN=" + kIvanov1251 +
                                     " \xB9"
                                     "1, Email=ivanov@example.ru");
}

TEST_F(Names, PrintKeepsValuesWhole) {
  // A value holding "/O=" is one value, not two entries.
  const NamePtr name = make_name({{"CN", V_ASN1_UTF8STRING, "a/O=b"}, {"L", V_ASN1_UTF8STRING, "c"}});
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(qcrypto::X509_NAME_print(mem.get(), name.get(), 4), 1);
  EXPECT_EQ(bio_text(mem.get()), "CN=a/O=b, L=c");
}

TEST_F(Names, LinePrinterQuotesBlanksAndEscapesControls) {
  struct Case {
    std::string value;
    std::string shown;
  };
  const Case cases[] = {
      {"plain", "plain"},         {" lead", "\" lead\""},
      {"trail ", "\"trail \""},   {"two  blanks", "\"two  blanks\""},
      {"one blank", "one blank"}, {"line\nbreak", "line\\x0Abreak"},
      {kIvanovUtf8, kIvanov1251}, {"", ""},
  };
  for (const auto& c : cases) {
    const NamePtr name = make_name({{"CN", V_ASN1_UTF8STRING, c.value}, {"C", V_ASN1_PRINTABLESTRING, "RU"}});
    UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
    ASSERT_EQ(X509_NAME_print_line(mem.get(), name.get(), 3, 0), 1);
    EXPECT_EQ(bio_text(mem.get()), "   CN=" + c.shown + ", C=RU") << c.value;
  }
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  EXPECT_EQ(X509_NAME_print_line(mem.get(), nullptr, 0, 0), 0);
}

TEST_F(Names, WriterConvertsByMode) {
  const std::string text = "A\xC0\xB9";
  struct Case {
    int mode;
    std::string want;
  };
  const Case cases[] = {{NAME_MODE_LOCAL, text},
                        {NAME_MODE_KOI8R, "A\xE1\xBF"},
                        {NAME_MODE_CP866, "A\x80\xFC"},
                        {NAME_MODE_UTF8, "A\xD0\x90\xE2\x84\x96"}};
  for (const auto& c : cases) {
    UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
    ASSERT_EQ(BIO_write_codepage(mem.get(), text.data(), static_cast<int>(text.size()), c.mode), 1);
    EXPECT_EQ(bio_text(mem.get()), c.want) << c.mode;
  }
}

TEST_F(Names, ConversionFunctions) {
  int n = -1;
  char* u = ANSI_to_UTF8(kIvanov1251.c_str(), 0, &n);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(std::string(u), kIvanovUtf8);
  EXPECT_EQ(n, static_cast<int>(kIvanovUtf8.size()));
  OPENSSL_free(u);
  char* a = UTF8_to_ANSI(kIvanovUtf8.c_str(), 4, &n);  // the first two letters only
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::string(a), "\xC8\xE2");
  EXPECT_EQ(n, 2);
  OPENSSL_free(a);
  EXPECT_EQ(ANSI_to_UTF8("", 0, &n), nullptr);
  EXPECT_EQ(UTF8_to_ANSI(nullptr, 0, &n), nullptr);
  char* b = BMP_to_ANSI(reinterpret_cast<const unsigned char*>("\x04\x10\x04\x11"), 4, &n);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string(b), "\xC0\xC1");
  EXPECT_EQ(n, 2);
  OPENSSL_free(b);
  char k[] = "\xC0\xE0\xA8z";
  ANSI_to_KOI8R(k, 0);
  EXPECT_STREQ(k, "\xE1\xC1\xB3z");
  char d[] = "\xC0\xE0\xF0\xFF";
  ANSI_to_CP866(d, 2);
  EXPECT_STREQ(d, "\x80\xA0\xF0\xFF");
}

TEST(PublicKeyDigest, IsTheDigestOfTheKeyBits) {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  ASSERT_NE(key, nullptr);
  UniquePtr<X509> x(X509_new());
  ASSERT_EQ(X509_set_pubkey(x.get(), key.get()), 1);
  unsigned char ours[EVP_MAX_MD_SIZE];
  unsigned char theirs[EVP_MAX_MD_SIZE];
  unsigned int n1 = 0;
  unsigned int n2 = 0;
  ASSERT_EQ(PUBKEY_digest(key.get(), EVP_sha1(), ours, &n1), 1);
  ASSERT_EQ(X509_pubkey_digest(x.get(), EVP_sha1(), theirs, &n2), 1);
  EXPECT_EQ(std::vector<unsigned char>(ours, ours + n1), std::vector<unsigned char>(theirs, theirs + n2));
  EXPECT_EQ(n1, 20u);
  EXPECT_EQ(PUBKEY_digest(nullptr, EVP_sha1(), ours, &n1), 0);
}

}  // namespace
}  // namespace qcrypto
