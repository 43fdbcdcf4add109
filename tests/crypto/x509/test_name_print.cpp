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

struct Printed {
  std::string oneline;
  std::string print;
  std::string line;
};

Printed print_all(const X509_NAME* name) {
  Printed p;
  p.oneline = oneline(name);
  UniquePtr<BIO> a(BIO_new(BIO_s_mem()));
  UniquePtr<BIO> b(BIO_new(BIO_s_mem()));
  EXPECT_EQ(qcrypto::X509_NAME_print(a.get(), name, 0), 1);
  EXPECT_EQ(X509_NAME_print_line(b.get(), name, 0, 0), 1);
  p.print = bio_text(a.get());
  p.line = bio_text(b.get());
  return p;
}

// Names whose values hold the separators of the printed forms, each beside
// the name it would otherwise print like.
struct Lookalike {
  const char* what;
  std::vector<Rdn> rdns;
  Printed want;
};

const std::vector<Lookalike>& lookalikes() {
  static const std::vector<Lookalike> table = {
      {"slash and equals in a value",
       {{"CN", V_ASN1_UTF8STRING, "Ivan/O=Central Bank"}},
       {"/CN=Ivan\\/O\\=Central Bank", "CN=Ivan/O=Central Bank", "CN=Ivan/O=Central Bank"}},
      {"the name it imitates",
       {{"CN", V_ASN1_UTF8STRING, "Ivan"}, {"O", V_ASN1_UTF8STRING, "Central Bank"}},
       {"/CN=Ivan/O=Central Bank", "CN=Ivan, O=Central Bank", "CN=Ivan, O=Central Bank"}},
      {"comma in a value",
       {{"CN", V_ASN1_UTF8STRING, "Ivan, O=Central Bank"}},
       {"/CN=Ivan, O\\=Central Bank", "CN=Ivan\\, O=Central Bank", "CN=Ivan\\, O=Central Bank"}},
      {"backslash before the next entry",
       {{"CN", V_ASN1_UTF8STRING, "a\\"}, {"O", V_ASN1_UTF8STRING, "b"}},
       {"/CN=a\\\\/O=b", "CN=a\\\\, O=b", "CN=a\\\\, O=b"}},
      {"backslash and slash in one value",
       {{"CN", V_ASN1_UTF8STRING, "a\\/O=b"}},
       {"/CN=a\\\\\\/O\\=b", "CN=a\\\\/O=b", "CN=a\\\\/O=b"}},
      {"backslash and comma in one value",
       {{"CN", V_ASN1_UTF8STRING, "a\\, O=b"}},
       {"/CN=a\\\\, O\\=b", "CN=a\\\\\\, O=b", "CN=a\\\\\\, O=b"}},
      {"a bare value in quotes", {{"CN", V_ASN1_UTF8STRING, "\" x\""}}, {"/CN=\" x\"", "CN=\" x\"", "CN=\\\" x\""}},
      {"a value the line printer quotes", {{"CN", V_ASN1_UTF8STRING, " x"}}, {"/CN= x", "CN= x", "CN=\" x\""}},
      {"a byte escape written out", {{"CN", V_ASN1_UTF8STRING, "\\x01"}}, {"/CN=\\\\x01", "CN=\\\\x01", "CN=\\\\x01"}},
      {"the byte it spells", {{"CN", V_ASN1_UTF8STRING, "\x01"}}, {"/CN=\\x01", "CN=\\x01", "CN=\\x01"}},
  };
  return table;
}

TEST_F(Names, SeparatorsInsideValuesAreEscaped) {
  for (const auto& c : lookalikes()) {
    const NamePtr name = make_name(c.rdns);
    const Printed got = print_all(name.get());
    EXPECT_EQ(got.oneline, c.want.oneline) << c.what;
    EXPECT_EQ(got.print, c.want.print) << c.what;
    EXPECT_EQ(got.line, c.want.line) << c.what;
  }
}

TEST_F(Names, EveryPrintedFormTellsLookalikesApart) {
  const auto& table = lookalikes();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Printed a = print_all(make_name(table[i].rdns).get());
    for (std::size_t j = i + 1; j < table.size(); ++j) {
      const Printed b = print_all(make_name(table[j].rdns).get());
      const std::string pair = std::string(table[i].what) + " / " + table[j].what;
      EXPECT_NE(a.oneline, b.oneline) << pair;
      EXPECT_NE(a.print, b.print) << pair;
      EXPECT_NE(a.line, b.line) << pair;
    }
  }
}

TEST_F(Names, OneLineSplitsBackIntoTheEntries) {
  std::vector<std::vector<Rdn>> names;
  for (const auto& c : lookalikes()) names.push_back(c.rdns);
  names.push_back({{"C", V_ASN1_PRINTABLESTRING, "RU"},
                   {"O", V_ASN1_BMPSTRING, kIvanovBmp},
                   {"1.2.643.100.1", V_ASN1_NUMERICSTRING, "1027700132195"},
                   {"CN", V_ASN1_UTF8STRING, "x=/y\\//"},
                   {"OU", V_ASN1_UTF8STRING, ""},
                   {"L", V_ASN1_UTF8STRING, "/"}});
  for (const auto& rdns : names) {
    const NamePtr name = make_name(rdns);
    const std::string text = oneline(name.get());
    const OnelineText split = X509_NAME_oneline_split(text);
    EXPECT_EQ(split.prefix, "") << text;
    ASSERT_EQ(static_cast<int>(split.entries.size()), X509_NAME_entry_count(name.get())) << text;
    for (int i = 0; i < X509_NAME_entry_count(name.get()); ++i) {
      const X509_NAME_ENTRY* e = X509_NAME_get_entry(name.get(), i);
      const auto& got = split.entries[static_cast<std::size_t>(i)];
      EXPECT_EQ(got.key, X509_NAME_entry_short_name(X509_NAME_ENTRY_get_object(e))) << text;
      const std::string local = X509_NAME_value_local(X509_NAME_ENTRY_get_data(e));
      // Bytes the mode escapes stay escaped; none of these values has one
      // except the byte 0x01.
      const std::string want = local == "\x01" ? "\\x01" : local;
      EXPECT_EQ(X509_NAME_oneline_unescape(got.value), want) << text;
    }
    EXPECT_EQ(X509_NAME_oneline_matches(name.get(), text.c_str()), 1) << text;
  }
}

TEST_F(Names, OneLineMatchingGoesEntryByEntry) {
  const std::vector<std::vector<Rdn>> names = {
      /*0*/ {{"CN", V_ASN1_UTF8STRING, "Ivan/O=Central Bank"}},
      /*1*/ {{"CN", V_ASN1_UTF8STRING, "Ivan"}, {"O", V_ASN1_UTF8STRING, "Central Bank"}},
      /*2*/ {{"CN", V_ASN1_UTF8STRING, "A/B"}},
      /*3*/ {{"CN", V_ASN1_UTF8STRING, "\x01"}},
      /*4*/ {{"CN", V_ASN1_UTF8STRING, "\\x01"}},
      /*5*/ {{"O", V_ASN1_BMPSTRING, kIvanovBmp}, {"CN", V_ASN1_UTF8STRING, "a=b"}},
      /*6*/ {},
      /*7*/ {{"CN", V_ASN1_UTF8STRING, "C:\\dir"}},
  };
  const struct {
    std::string text;
    unsigned matches;  // bit per name
  } cases[] = {
      {"/CN=Ivan\\/O\\=Central Bank", 1u << 0},
      {"/CN=Ivan/O=Central Bank", 1u << 1},
      {"/CN=Ivan", 0},
      {"/CN=Ivan/O=Central Bank/C=RU", 0},
      {"/O=Central Bank/CN=Ivan", 0},
      {"/CN=ivan/O=Central Bank", 0},
      {"x/CN=Ivan/O=Central Bank", 0},
      // Texts written before separators were escaped, where they read one way.
      {"/CN=A/B", 1u << 2},
      {"/CN=A\\/B", 1u << 2},
      {"/O=" + kIvanov1251 + "/CN=a=b", 1u << 5},
      {"/O=" + kIvanov1251 + "/CN=a\\=b", 1u << 5},
      {"/CN=C:\\dir", 1u << 7},
      {"/CN=C:\\\\dir", 1u << 7},
      // The escape of a byte and the same characters written out.
      {"/CN=\\x01", 1u << 3},
      {"/CN=\\\\x01", 1u << 4},
      {"", 1u << 6},
  };
  for (const auto& c : cases) {
    unsigned got = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const NamePtr name = make_name(names[i]);
      if (X509_NAME_oneline_matches(name.get(), c.text.c_str()) == 1) got |= 1u << i;
    }
    EXPECT_EQ(got, c.matches) << c.text;
  }
  EXPECT_EQ(X509_NAME_oneline_matches(nullptr, ""), 0);
  EXPECT_EQ(X509_NAME_oneline_matches(make_name({}).get(), nullptr), 0);
}

TEST_F(Names, OrdinaryNamesPrintAsTheyAlwaysDid) {
  const struct {
    const char* what;
    std::vector<Rdn> rdns;
    Printed want;
  } cases[] = {
      {"organisation in quotes",
       {{"C", V_ASN1_PRINTABLESTRING, "RU"},
        {"O", V_ASN1_UTF8STRING, "\xD0\x9E\xD0\x9E\xD0\x9E \"\xD0\xA0\xD0\xBE\xD0\xB3\xD0\xB0\""},
        {"CN", V_ASN1_UTF8STRING, kIvanovUtf8}},
       {"/C=RU/O=\xCE\xCE\xCE \"\xD0\xEE\xE3\xE0\"/CN=" + kIvanov1251,
        "C=RU, O=\xCE\xCE\xCE \"\xD0\xEE\xE3\xE0\", CN=" + kIvanov1251,
        "C=RU, O=\xCE\xCE\xCE \"\xD0\xEE\xE3\xE0\", CN=" + kIvanov1251}},
      {"punctuation that separates nothing",
       {{"OU", V_ASN1_UTF8STRING, "Dept. #7 (IT); R&D - 1+1 <x> 'q' @ * ? ! ~"},
        {"emailAddress", V_ASN1_IA5STRING, "ivan.petrov+sig@bank.example.ru"}},
       {"/OU=Dept. #7 (IT); R&D - 1+1 <x> 'q' @ * ? ! ~/Email=ivan.petrov+sig@bank.example.ru",
        "OU=Dept. #7 (IT); R&D - 1+1 <x> 'q' @ * ? ! ~, Email=ivan.petrov+sig@bank.example.ru",
        "OU=Dept. #7 (IT); R&D - 1+1 <x> 'q' @ * ? ! ~, Email=ivan.petrov+sig@bank.example.ru"}},
      {"blanks the line printer quotes",
       {{"CN", V_ASN1_UTF8STRING, " two  blanks "}},
       {"/CN= two  blanks ", "CN= two  blanks ", "CN=\" two  blanks \""}},
      {"escaped bytes and numero",
       {{"CN", V_ASN1_T61STRING, "a\x01\x9A\xB9"}},
       {"/CN=a\\x01\\x9A\xB9", "CN=a\\x01\\x9A\xB9", "CN=a\\x01\x9A\xB9"}},
      {"taxpayer number and an object without a name",
       {{"INN", V_ASN1_NUMERICSTRING, "007702235133"}, {"1.2.643.999.1", V_ASN1_UTF8STRING, "x"}},
       {"/INN=007702235133/1.2.643.999.1=x", "INN=007702235133, 1.2.643.999.1=x", "INN=007702235133, 1.2.643.999.1=x"}},
      {"empty value",
       {{"CN", V_ASN1_UTF8STRING, ""}, {"C", V_ASN1_PRINTABLESTRING, "RU"}},
       {"/CN=/C=RU", "CN=, C=RU", "CN=, C=RU"}},
  };
  for (const auto& c : cases) {
    const Printed got = print_all(make_name(c.rdns).get());
    EXPECT_EQ(got.oneline, c.want.oneline) << c.what;
    EXPECT_EQ(got.print, c.want.print) << c.what;
    EXPECT_EQ(got.line, c.want.line) << c.what;
  }
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
