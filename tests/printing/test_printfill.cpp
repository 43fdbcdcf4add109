// Template filling: the order of kinds and passes, the line ends, the code
// pages and hostile lists and templates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/fill.h"

namespace {

using vtpagina::collect_items;
using vtpagina::decode_template;
using vtpagina::fill;
using vtpagina::job_text;
using vtpagina::PrintItems;
using vtpagina::to_crlf;

// A list built on the stack the way a caller builds it.
struct List {
  std::vector<PrintListItem> nodes;
  void add(int32_t kind, const void* value) { nodes.push_back({value, kind, nullptr}); }
  const PrintListItem* head() {
    for (std::size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i].next = &nodes[i + 1];
    return nodes.empty() ? nullptr : nodes.data();
  }
};

std::string filled(const PrintItems& items, const std::string& tmpl) {
  return job_text(std::optional<std::string>(decode_template(tmpl)), items);
}

PrintCertificateInfo sample_certificate() {
  PrintCertificateInfo c{};
  c.version = "3";
  c.serial_number = "0A1B";
  c.not_before = "01.01.2026";
  c.not_after = "01.01.2027";
  c.issuer.cn = "Test CA";
  c.issuer.o = "CA Org";
  c.subject.cn = "Иванов";
  c.subject.email = "iv@example.org";
  c.public_key = "PK";
  c.text = "FULL";
  return c;
}

TEST(PrintFill, TextWinsOverCertificateWithoutTemplate) {
  PrintCertificateInfo cert = sample_certificate();
  List l;
  l.add(PRINT_ITEM_CERTIFICATE, &cert);
  l.add(PRINT_ITEM_TEXT, "line one\nline two");
  const PrintItems items = collect_items(l.head());
  EXPECT_EQ(items.type, 0);
  EXPECT_EQ(job_text(std::nullopt, items), "line one\r\nline two");
}

TEST(PrintFill, TypeIsLastOfTheTypedKindsInApplicationOrder) {
  PrintCertificateInfo cert = sample_certificate();
  PrintRequestInfo req{};
  PrintProtocol proto{};
  PrintSignatureList sl{"f", "s", 1};
  struct Case {
    std::vector<int> kinds;  // in list order
    int type;
  } cases[] = {
      {{1}, 1},    {{2}, 2},    {{2, 1}, 2}, {{0, 2}, 0}, {{5, 0}, 5}, {{6, 5, 0, 2, 1}, 6},
      {{3, 4}, 0}, {{1, 5}, 5}, {{6, 1}, 6},
  };
  for (const Case& c : cases) {
    List l;
    for (int k : c.kinds) {
      const void* v = k == 1   ? static_cast<const void*>(&cert)
                      : k == 2 ? static_cast<const void*>(&req)
                      : k == 5 ? static_cast<const void*>(&proto)
                      : k == 6 ? static_cast<const void*>(&sl)
                               : static_cast<const void*>("x");
      l.add(k, v);
    }
    EXPECT_EQ(collect_items(l.head()).type, c.type) << "kinds " << testing::PrintToString(c.kinds);
  }
}

TEST(PrintFill, PlaceholderTable) {
  PrintCertificateInfo cert = sample_certificate();
  PrintRequestInfo req{};
  req.version = "1";
  req.subject.cn = "Req CN";
  req.text = "REQ";
  PrintProtocolEntry e1{"a.sgn", "OK1;"};
  PrintProtocolEntry e2{"b.sgn", "OK2;"};
  PrintProtocolNode n2{nullptr, nullptr, &e2};
  PrintProtocolNode n1{&n2, nullptr, &e1};
  PrintProtocol proto{"doc.txt", "ca.cer", "", "user.cer", {7, 7}, &n1, 2};
  PrintProtocol empty_proto{"", "", "", "", {0, 0}, nullptr, 0};
  PrintSignatureList sl{"report.pdf", "\r\n1. Иванов", 1};
  PrintSignatureList empty_sl{"report.pdf", "", 0};

  struct Case {
    const char* name;
    int kind;
    const void* value;
    std::string tmpl;
    std::string expected;
  } cases[] = {
      {"certificate fields", 1, &cert, "[!VERSION!]|[!SERIALNUM!]|[!NOTBEFORE!]|[!NOTAFTER!]|[!TEXT!]",
       "3|0A1B|01.01.2026|01.01.2027|FULL\r\n"},
      {"null certificate field emptied", 1, &cert, "<[!EXTENSIONS!]><[!SIGN!]>", "<><>\r\n"},
      {"subject and issuer names", 1, &cert, "[!SUB_DN_CN!]/[!SUB_DN_EMAIL!]/[!ISS_DN_CN!]/[!ISS_DN_O!]",
       "Иванов/iv@example.org/Test CA/CA Org\r\n"},
      {"absent name attribute emptied", 1, &cert, "<[!SUB_DN_OU!]><[!ISS_DN_T!]>", "<><>\r\n"},
      {"issuer placeholders stay for a request", 2, &req, "[!SUB_DN_CN!] [!ISS_DN_CN!] [!SUB_DN_O!]",
       "Req CN [!ISS_DN_CN!] \r\n"},
      {"request fields", 2, &req, "[!VERSION!] [!TEXT!] [!SERIALNUM!]", "1 REQ \r\n"},
      {"name placeholders stay for a signature list", 6, &sl, "[!SUB_DN_CN!][!ISS_DN_CN!]",
       "[!SUB_DN_CN!][!ISS_DN_CN!]\r\n"},
      {"protocol", 5, &proto, "[!FILE_NAME_DOC!]|[!VALIDATION!]|[!FILE_NAME_CA!]|[!FILE_NAME_USER!]|[!NUMBER_SIGN!]",
       "doc.txt|OK1;OK2;|ca.cer|user.cer|2\r\n"},
      {"protocol signature files each end a line", 5, &proto, "[!FILE_NAME_SGN!]", "a.sgn\r\nb.sgn\r\n\r\n"},
      {"empty protocol name becomes one blank", 5, &proto, "<[!FILE_NAME_CRL!]>", "< >\r\n"},
      {"protocol without signatures: one blank", 5, &empty_proto, "<[!FILE_NAME_SGN!]><[!VALIDATION!]>[!NUMBER_SIGN!]",
       "< >< >0\r\n"},
      {"empty document name stays", 5, &empty_proto, "[!FILE_NAME_DOC!]", "[!FILE_NAME_DOC!]\r\n"},
      {"signature list", 6, &sl, "Файл: [!FILE_NAME!]\nПодписей: [!NUMBER_SIGN!][!SIGNATURES!]",
       "Файл: report.pdf\r\nПодписей: 1\r\n1. Иванов\r\n"},
      {"empty signature list", 6, &empty_sl, "<[!SIGNATURES!]>", "<>\r\n"},
      {"unknown names and broken fields stay literal", 6, &sl, "[!NOPE!] [! [!FILE_NAME [!FILE_NAME!",
       "[!NOPE!] [! [!FILE_NAME [!FILE_NAME!\r\n"},
      {"nested placeholder", 6, &sl, "[![!BODY!]!]", "[!!]\r\n"},
      {"CRLF line gives one CRLF", 6, &sl, "a\r\nb\r\n", "a\r\nb\r\n"},
      {"lone CR removed", 6, &sl, "a\rb", "ab\r\n"},
      {"empty template", 6, &sl, "", ""},
  };
  for (const Case& c : cases) {
    List l;
    l.add(PRINT_ITEM_TEMPLATE_PATH, "t.txt");
    l.add(c.kind, c.value);
    EXPECT_EQ(filled(collect_items(l.head()), c.tmpl), c.expected) << c.name;
  }
}

// Values holding placeholder text are seen by the passes after their own:
// type fields, then the names, then the emptied certificate placeholders,
// then the body.
TEST(PrintFill, LaterPassesSeeEarlierValues) {
  PrintCertificateInfo cert{};
  cert.text = "[!SUB_DN_CN!]";       // filled by the subject pass that follows
  cert.subject.cn = "[!ISS_DN_O!]";  // filled by the issuer pass that follows
  cert.issuer.o = "[!BODY!]";        // filled by the body pass at the end
  cert.version = "[!TEXT!]";         // TEXT comes after VERSION in the same pass
  PrintSignatureList sl{"[!SERIALNUM!]", "[!FILE_NAME!]", 0};
  List l;
  l.add(PRINT_ITEM_TEMPLATE_PATH, "t");
  l.add(PRINT_ITEM_CERTIFICATE, &cert);
  l.add(PRINT_ITEM_BODY, "BODY-TEXT");
  EXPECT_EQ(filled(collect_items(l.head()), "[!TEXT!]|[!VERSION!]"), "BODY-TEXT|BODY-TEXT\r\n");

  // FILE_NAME is replaced before SIGNATURES, so a signatures text naming it
  // stays; the serial placeholder in the file name is emptied afterwards.
  List m;
  m.add(PRINT_ITEM_TEMPLATE_PATH, "t");
  m.add(PRINT_ITEM_SIGNATURE_LIST, &sl);
  EXPECT_EQ(filled(collect_items(m.head()), "<[!FILE_NAME!]><[!SIGNATURES!]>"), "<><[!FILE_NAME!]>\r\n");
}

TEST(PrintFill, Cp1251AndUtf8TemplatesGiveTheSameText) {
  const std::string utf8 = "Штамп: [!FILE_NAME!] — №[!NUMBER_SIGN!]\n";
  // The same text in Windows-1251.
  const std::string cp1251 = "\xD8\xF2\xE0\xEC\xEF: [!FILE_NAME!] \x97 \xB9[!NUMBER_SIGN!]\n";
  PrintSignatureList sl{"файл.pdf", "", 3};
  List l;
  l.add(PRINT_ITEM_TEMPLATE_PATH, "t");
  l.add(PRINT_ITEM_SIGNATURE_LIST, &sl);
  const PrintItems items = collect_items(l.head());
  EXPECT_EQ(filled(items, cp1251), filled(items, utf8));
  EXPECT_EQ(filled(items, utf8), "Штамп: файл.pdf — №3\r\n");
  // A byte-order mark is not text; NUL bytes are dropped.
  EXPECT_EQ(filled(items, "\xEF\xBB\xBF" + utf8), filled(items, utf8));
  EXPECT_EQ(filled(items, std::string("A\0B\n", 4)), "AB\r\n");
}

TEST(PrintFill, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {{"abc", true},
               {"Ж", true},
               {"\xC0\xAF", false},
               {"\xED\xA0\x80", false},
               {"\xF4\x90\x80\x80", false},
               {"\xE2\x82", false},
               {"\xF0\x9F\x98\x80", true},
               {"\xCF\xF0", false}};
  for (const Case& c : cases) EXPECT_EQ(vtpagina::is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(PrintFill, HostileLists) {
  // A cycle: the walk stops after the bound instead of hanging.
  PrintListItem a{nullptr, PRINT_ITEM_BODY, nullptr};
  PrintListItem b{"looped", PRINT_ITEM_TEXT, &a};
  a.next = &b;
  PrintItems items = collect_items(&a);
  EXPECT_EQ(items.text.value_or("?"), "looped");
  EXPECT_FALSE(items.body.has_value());  // a null value is absent

  // The first node of a kind wins; a later one of the same kind is ignored;
  // an unknown kind is skipped.
  List l;
  l.add(PRINT_ITEM_TEXT, nullptr);
  l.add(99, "junk");
  l.add(-1, "junk");
  l.add(PRINT_ITEM_TEXT, "first");
  l.add(PRINT_ITEM_TEXT, "second");
  items = collect_items(l.head());
  EXPECT_EQ(items.text.value_or("?"), "first");
  EXPECT_EQ(items.type, 0);

  // A node beyond the bound is not read.
  std::vector<PrintListItem> longer(vtpagina::kMaxListNodes + 1, PrintListItem{nullptr, PRINT_ITEM_BODY, nullptr});
  for (std::size_t i = 0; i + 1 < longer.size(); ++i) longer[i].next = &longer[i + 1];
  longer.back().value = "too far";
  longer.back().kind = PRINT_ITEM_TEXT;
  EXPECT_FALSE(collect_items(longer.data()).text.has_value());
  longer[vtpagina::kMaxListNodes - 1].value = "last read";
  longer[vtpagina::kMaxListNodes - 1].kind = PRINT_ITEM_TEXT;
  EXPECT_EQ(collect_items(longer.data()).text.value_or("?"), "last read");

  // A cyclic protocol signature list and a null entry.
  PrintProtocolEntry e{nullptr, "V"};
  PrintProtocolNode n2{nullptr, nullptr, nullptr};
  PrintProtocolNode n1{&n2, nullptr, &e};
  n2.next = &n1;
  PrintProtocol proto{nullptr, nullptr, nullptr, nullptr, {0, 0}, &n1, 1};
  List p;
  p.add(PRINT_ITEM_TEMPLATE_PATH, "t");
  p.add(PRINT_ITEM_PROTOCOL, &proto);
  EXPECT_EQ(filled(collect_items(p.head()), "[!VALIDATION!]|[!FILE_NAME_SGN!]|[!FILE_NAME_DOC!]"),
            "V|\r\n|[!FILE_NAME_DOC!]\r\n");

  // Null fields of a signature list leave their placeholders.
  PrintSignatureList nulls{nullptr, nullptr, 2};
  List s;
  s.add(PRINT_ITEM_TEMPLATE_PATH, "t");
  s.add(PRINT_ITEM_SIGNATURE_LIST, &nulls);
  EXPECT_EQ(filled(collect_items(s.head()), "[!FILE_NAME!][!SIGNATURES!][!NUMBER_SIGN!]"),
            "[!FILE_NAME!][!SIGNATURES!]2\r\n");
  EXPECT_EQ(collect_items(nullptr).type, 0);
}

TEST(PrintFill, ToCrlf) {
  EXPECT_EQ(to_crlf("a\r\n\r\nb\n"), "a\r\n\r\nb\r\n");
  EXPECT_EQ(to_crlf("\r\r"), "");
}

}  // namespace
