// Printing into the PDF target, judged by poppler: pages, images, text,
// fonts and where the text stands on the page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "print_test_util.h"
#include "printing/fill.h"
#include "printing/print_job.h"

namespace {

const std::string kStampTemplate = std::string(DOSSAR_SOURCE_DIR) + "/printing/templates/stamp.txt";

class PaginaPdf : public testing::Test {
 protected:
  void SetUp() override {
    print_test::app();
    dir_ = print_test::scratch_dir();
    pdf_ = dir_ + "/out.pdf";
    ::setenv("DOSSAR_PRINT_PDF", pdf_.c_str(), 1);
    vtpagina::indent_record() = PrintIndents{};
  }
  void TearDown() override { ::unsetenv("DOSSAR_PRINT_PDF"); }

  std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string dir_, pdf_;
};

PrintSignatureList sample_list() {
  static const PrintSignatureList list{"договор-17.odt",
                                       "\r\n1. Иванов Иван Иванович, подпись подтверждена"
                                       "\r\n2. Петров Пётр, подпись подтверждена",
                                       2};
  return list;
}

// The first word's box, in points, from pdftotext -bbox.
struct Box {
  double x = -1, y = -1;
};
Box first_word(const std::string& pdf) {
  const std::string html = print_test::run_tool({"pdftotext", "-bbox", pdf, "-"});
  Box b;
  const QRegularExpressionMatch m =
      QRegularExpression(QStringLiteral("<word xMin=\"(-?[0-9.]+)\" yMin=\"(-?[0-9.]+)\""))
          .match(QString::fromStdString(html));
  if (m.hasMatch()) {
    b.x = m.captured(1).toDouble();
    b.y = m.captured(2).toDouble();
  } else {
    ADD_FAILURE() << "no word box in " << html;
  }
  return b;
}

TEST_F(PaginaPdf, SignatureListIsOnePageWithTheStamp) {
  REQUIRE_POPPLER();
  const PrintSignatureList list = sample_list();
  PrintListItem tmpl{kStampTemplate.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
  PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &tmpl};
  vtpagina::run_pagina(&head, "Штамп заключения о проверке ЭЦП", 0, 0);
  ASSERT_TRUE(std::filesystem::exists(pdf_));
  EXPECT_EQ(print_test::pdf_pages(pdf_), 1);
  EXPECT_EQ(print_test::pdf_images(pdf_), 1);
  const std::string text = print_test::pdf_text(pdf_);
  EXPECT_NE(text.find("договор-17.odt"), std::string::npos) << text;
  EXPECT_NE(text.find("1. Иванов Иван Иванович, подпись подтверждена"), std::string::npos) << text;
  EXPECT_NE(text.find("2. Петров Пётр"), std::string::npos) << text;
  EXPECT_NE(text.find("Число подписей: 2"), std::string::npos) << text;
  EXPECT_EQ(text.find("[!"), std::string::npos) << "unfilled placeholder: " << text;
  // The text starts below the stamp: 1.5 times its 220 pixels plus 20 device
  // units at 600 dpi, 42 points.
  EXPECT_NEAR(first_word(pdf_).y, (220 * 1.5 + 20) * 72.0 / 600, 2.0);
  EXPECT_NEAR(first_word(pdf_).x, 0.0, 1.0);

  // The text font: "Courier New" answered by a metric-compatible monospace
  // face with Cyrillic, embedded.
  const std::string fonts = print_test::run_tool({"pdffonts", pdf_});
  EXPECT_TRUE(
      QRegularExpression(QStringLiteral("(Mono|Courier)[^\\n]*yes")).match(QString::fromStdString(fonts)).hasMatch())
      << fonts;

  const std::string png_base = dir_ + "/page";
  print_test::run_tool({"pdftoppm", "-png", "-r", "60", "-f", "1", "-l", "1", "-singlefile", pdf_, png_base});
  print_test::save_screenshot_file(png_base + ".png", "pagina_stamp_pdf_page1");
}

TEST_F(PaginaPdf, LongCertificateTextTakesSeveralPagesWithoutImage) {
  REQUIRE_POPPLER();
  std::string lines;
  for (int i = 1; i <= 300; ++i) lines += "Строка сертификата " + std::to_string(i) + "\n";
  PrintCertificateInfo cert{};
  cert.text = lines.c_str();
  cert.subject.cn = "Владелец";
  const std::string tmpl_path = write_file("cert.txt", "Сертификат [!SUB_DN_CN!]\n[!TEXT!]");
  PrintListItem tmpl{tmpl_path.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
  PrintListItem head{&cert, PRINT_ITEM_CERTIFICATE, &tmpl};
  vtpagina::run_pagina(&head, nullptr, 0, 0);
  ASSERT_TRUE(std::filesystem::exists(pdf_));
  const int pages = print_test::pdf_pages(pdf_);
  // 12-point lines on A4: about 60 a page.
  EXPECT_GE(pages, 5);
  EXPECT_LE(pages, 7);
  EXPECT_EQ(print_test::pdf_images(pdf_), 0);
  const std::string text = print_test::pdf_text(pdf_);
  EXPECT_NE(text.find("Сертификат Владелец"), std::string::npos);
  EXPECT_NE(text.find("Строка сертификата 1\n"), std::string::npos);
  EXPECT_NE(text.find("Строка сертификата 300"), std::string::npos);
  // No line is lost or doubled at a page break.
  std::size_t count = 0;
  for (std::size_t at = text.find("Строка сертификата "); at != std::string::npos;
       at = text.find("Строка сертификата ", at + 1))
    ++count;
  EXPECT_EQ(count, 300u);
}

TEST_F(PaginaPdf, IndentsMoveTheText) {
  REQUIRE_POPPLER();
  PrintListItem head{"Отступы", PRINT_ITEM_TEXT, nullptr};
  vtpagina::run_pagina(&head, nullptr, 0, 0);
  const Box plain = first_word(pdf_);
  ASSERT_GE(plain.x, 0);
  // 1200 and 1800 device units at 600 dpi: 144 and 216 points.
  vtpagina::indent_record() = PrintIndents{1200, 1800, 0, 0};
  vtpagina::run_pagina(&head, nullptr, 0, 0);
  const Box moved = first_word(pdf_);
  EXPECT_NEAR(moved.x - plain.x, 144.0, 2.0);
  EXPECT_NEAR(moved.y - plain.y, 216.0, 2.0);

  // The right indent narrows the lines: a long line wraps sooner.
  std::string long_line;
  for (int i = 0; i < 40; ++i) long_line += "слово ";
  PrintListItem long_head{long_line.c_str(), PRINT_ITEM_TEXT, nullptr};
  vtpagina::indent_record() = PrintIndents{};
  vtpagina::run_pagina(&long_head, nullptr, 0, 0);
  const std::string wide = print_test::pdf_text(pdf_);
  vtpagina::indent_record() = PrintIndents{0, 0, 2400, 0};
  vtpagina::run_pagina(&long_head, nullptr, 0, 0);
  const std::string narrow = print_test::pdf_text(pdf_);
  auto lines_of = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
  EXPECT_GT(lines_of(narrow), lines_of(wide));
}

TEST_F(PaginaPdf, UnreadableTemplateStopsAfterTheMessage) {
  REQUIRE_POPPLER();
  const PrintSignatureList list = sample_list();
  const std::string oversize = dir_ + "/huge.txt";
  std::filesystem::resize_file(write_file("huge.txt", ""), vtpagina::kMaxTemplateBytes + 1);
  struct Case {
    std::string path;
  } cases[] = {{dir_ + "/missing.txt"}, {dir_}, {oversize}};
  for (const Case& c : cases) {
    std::filesystem::remove(pdf_);
    print_test::BoxWatcher boxes;
    PrintListItem tmpl{c.path.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
    PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &tmpl};
    vtpagina::run_pagina(&head, nullptr, 0, 0);
    ASSERT_EQ(boxes.seen().size(), 1u) << c.path;
    EXPECT_EQ(boxes.seen()[0].text.toStdString(), "Failed to open file " + c.path);
    EXPECT_EQ(boxes.seen()[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(std::filesystem::exists(pdf_)) << "an empty page was printed for " << c.path;
  }
}

TEST_F(PaginaPdf, BrokenTemplatesPrintLiterally) {
  REQUIRE_POPPLER();
  const PrintSignatureList list = sample_list();
  struct Case {
    const char* name;
    std::string bytes;
    std::string expected;  // in pdftotext's output; empty: only one page
  } cases[] = {
      {"empty", "", ""},
      {"unclosed", "Начало [!FILE_NAME без конца", "Начало [!FILE_NAME без конца"},
      {"nested", "X[![!BODY!]!]Y", "X[!!]Y"},
      {"cp1251", "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0 [!FILE_NAME!]", "Проверка договор-17.odt"},
      {"nul", std::string("До\0После", 15), "ДоПосле"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(pdf_);
    const std::string path = write_file("t.txt", c.bytes);
    PrintListItem tmpl{path.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
    PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &tmpl};
    vtpagina::run_pagina(&head, nullptr, 0, 0);
    ASSERT_TRUE(std::filesystem::exists(pdf_)) << c.name;
    EXPECT_EQ(print_test::pdf_pages(pdf_), 1) << c.name;
    if (!c.expected.empty()) {
      EXPECT_NE(print_test::pdf_text(pdf_).find(c.expected), std::string::npos) << c.name;
    }
  }
}

}  // namespace
