#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "dsutils/engine/list_file.h"

namespace dsutils {
namespace {

class ListFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-list-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    file_ = dir_ + "/_list_._vt";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void put(const std::string& bytes) const { std::ofstream(file_, std::ios::binary | std::ios::trunc) << bytes; }
  std::string get() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_, file_;
};

TEST_F(ListFile, Grammar) {
  put("; head one\n"
      "#head two\r\n"
      "\n"
      "[Context]\r\n"
      "Key=a=b\n"
      "x;y=1\n"
      "plain line without marks\n"
      "=empty name\n"
      "[broken\n"
      "After=broken header\n"
      "[Second] trailing]\n"
      "#section comment\n"
      "k=v\r\r\n");
  SignatureListFile l(file_);
  ASSERT_TRUE(l.Read());
  EXPECT_EQ(l.headerComments(), (std::vector<std::string>{" head one", "head two"}));
  ASSERT_EQ(l.sectionCount(), 2u);
  EXPECT_EQ(l.sectionName(0), "Context");
  EXPECT_EQ(l.sectionName(1), "Second] trailing");
  EXPECT_EQ(l.GetValue("Context", "Key", "-"), "a=b");
  EXPECT_EQ(l.GetValue("Context", "x", "-"), "-");  // "x;y=1" is a comment
  EXPECT_EQ(l.GetValue("Context", "", "-"), "empty name");
  EXPECT_EQ(l.GetValue("Context", "After", "-"), "broken header");
  EXPECT_EQ(l.sectionComments(0), (std::vector<std::string>{"y=1"}));
  EXPECT_EQ(l.sectionComments(1), (std::vector<std::string>{"section comment"}));
  EXPECT_EQ(l.GetValue("Second] trailing", "k", "-"), "v\r");  // one CR goes with the line end
}

TEST_F(ListFile, ReadFailures) {
  struct Case {
    std::string bytes;
    bool ok;
    std::size_t sections;
  };
  const Case cases[] = {
      {"\tKey=1\n[S]\n", false, 0},            // a control character first
      {"[S]\na=1\n\x01x=2\n[T]\n", false, 1},  // what came before stays
      {"; only\n; comments\n", false, 0},
      {"", false, 0},
      {"a=1\n", true, 1},  // a value before any header: the section with no name
      {std::string("[S]\n\x80=1\n"), false, 1},
  };
  for (const Case& c : cases) {
    put(c.bytes);
    SignatureListFile l(file_);
    EXPECT_EQ(l.Read(), c.ok) << c.bytes;
    EXPECT_EQ(l.sectionCount(), c.sections) << c.bytes;
  }
  SignatureListFile missing(dir_ + "/none");
  EXPECT_FALSE(missing.Read());
  put(std::string(SignatureListFile::kMaxBytes + 1, 'a'));
  SignatureListFile big(file_);
  EXPECT_FALSE(big.Read());
  // A link in place of the file is not read through.
  std::filesystem::create_symlink(file_, dir_ + "/link");
  put("[S]\na=1\n");
  SignatureListFile viaLink(dir_ + "/link");
  EXPECT_FALSE(viaLink.Read());
}

TEST_F(ListFile, LookUps) {
  put("[Context]\nDocument=doc.txt\n[context]\nDocument=second\nNumber=42abc\nNeg=-7\nNone=x\nHuge=99999999999\n");
  SignatureListFile l(file_);
  ASSERT_TRUE(l.Read());
  ASSERT_EQ(l.sectionCount(), 2u);
  // Duplicate sections (also by case): look-ups and later values use the first.
  EXPECT_EQ(l.GetValue("CONTEXT", "document", ""), "second");
  EXPECT_EQ(l.FindSection("context"), 0);
  EXPECT_EQ(l.GetIntValue("Context", "Number", 0), 42);
  EXPECT_EQ(l.GetIntValue("Context", "Neg", 0), -7);
  EXPECT_EQ(l.GetIntValue("Context", "None", 5), 0);
  EXPECT_EQ(l.GetIntValue("Context", "Missing", 5), 5);
  EXPECT_EQ(l.GetIntValue("Context", "Huge", 0), 2147483647);
  l.setCaseInsensitive(false);
  EXPECT_EQ(l.GetValue("context", "Document", "-"), "-");
  EXPECT_EQ(l.GetValue("Context", "Document", "-"), "second");

  SignatureListFile m;
  EXPECT_FALSE(m.SetValue("S", "a", "1", false));
  EXPECT_TRUE(m.SetValue("S", "a", "1", true));
  EXPECT_TRUE(m.SetValue("S", "A", "2", false));
  EXPECT_FALSE(m.SetValue("S", "b", "3", false));
  EXPECT_EQ(m.GetValue("s", "a", ""), "2");
  EXPECT_FALSE(m.AddSectionComment(5, "x"));
  EXPECT_FALSE(m.AddSectionComment("T", "x"));
  EXPECT_TRUE(m.AddSectionComment("S", "x"));
  m.Clear();
  EXPECT_EQ(m.sectionCount(), 0u);
  EXPECT_EQ(m.FindSection("S"), -1);
}

TEST_F(ListFile, WriteAndReadBack) {
  SignatureListFile l(file_);
  l.SetValue("Header", "Version", "1", true);
  l.AddSectionComment("Header", "note");
  ASSERT_TRUE(l.Write());
  EXPECT_EQ(get(), "[Header]\r\n;note\r\nVersion=1\r\n\r\n");  // no leading empty line
  l.AddHeaderComment(" top ");
  ASSERT_TRUE(l.Write());
  EXPECT_EQ(get(), "; top \r\n\r\n[Header]\r\n;note\r\nVersion=1\r\n\r\n");
  SignatureListFile back(file_);
  ASSERT_TRUE(back.Read());
  EXPECT_EQ(back.Render(), l.Render());

  // Texts that would not read back as written are refused, and the file on
  // disk stays as it was.
  const std::string before = get();
  struct Bad {
    std::string section, name, value;
  };
  for (const Bad& b : {Bad{"S", "a\nb", "1"}, Bad{"S", "a", "1\n[Injected]"}, Bad{"S\n", "a", "1"},
                       Bad{"S", "a=b", "1"}, Bad{"S", "a;b", "1"}, Bad{"S", "\tname", "1"}}) {
    SignatureListFile bad(file_);
    bad.SetValue(b.section, b.name, b.value, true);
    EXPECT_FALSE(bad.Write()) << b.name << "|" << b.value;
    EXPECT_EQ(get(), before);
  }
  SignatureListFile nowhere(dir_ + "/no/such/folder/list");
  nowhere.SetValue("S", "a", "1", true);
  EXPECT_FALSE(nowhere.Write());
}

}  // namespace
}  // namespace dsutils
