#include <QFile>

#include "dsutils/engine/error_text.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Names : public testing::EngineTest {};

TEST_F(Names, PathFileAndExtensionParts) {
  struct Case {
    const char* full;
    const char* folder;    // GetPathFromName
    const char* file;      // GetFileFromName
    const char* ext;       // GetExtFromName
    const char* rext;      // GetRExtFromName
    const char* stripped;  // StripExtensions
  };
  const Case cases[] = {
      {"/home/u/doc.txt.sgn", "/home/u", "doc.txt.sgn", "sgn", "txt.sgn", "/home/u/doc"},
      {"/a.TXT", "/", "a.TXT", "txt", "TXT", "/a"},                                       // a file in the root folder
      {"a.txt", "", "a.txt", "txt", "txt", "a"},                                          // a bare name stays bare
      {"/home/dir.old/file", "/home/dir.old", "file", "", "file", "/home/dir.old/file"},  // dotted folder
      {"/x/name", "/x", "name", "", "name", "/x/name"},
      {"/x/.hidden", "/x", ".hidden", "", ".hidden", "/x/.hidden"},  // a leading dot is no extension
      {"/x/.cfg.enc", "/x", ".cfg.enc", "enc", "enc", "/x/.cfg"},
      {"/x/Отчёт.ДОК.sga.enc", "/x", "Отчёт.ДОК.sga.enc", "enc", "ДОК.sga.enc", "/x/Отчёт"},
  };
  EngineHelper h;
  for (const auto& c : cases) {
    const QString full = QString::fromUtf8(c.full);
    EXPECT_EQ(GetPathFromName(full), QString::fromUtf8(c.folder)) << c.full;
    EXPECT_EQ(GetFileFromName(full), QString::fromUtf8(c.file)) << c.full;
    EXPECT_EQ(GetExtFromName(full), QString::fromUtf8(c.ext)) << c.full;
    EXPECT_EQ(GetRExtFromName(full), QString::fromUtf8(c.rext)) << c.full;
    EXPECT_EQ(h.StripExtensions(full), QString::fromUtf8(c.stripped)) << c.full;
  }
}

TEST_F(Names, NetStr) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/a//b", "/a/b"},
      {"/a///b", "/a//b"},  // pairs, left to right, not overlapping
      {"/a////b", "/a//b"},
      {"//server//share", "//server/share"},  // the leading pair stays
      {"/plain/path", "/plain/path"},
      {"", ""},
  };
  for (const auto& c : cases) {
    QString p = QString::fromUtf8(c.in);
    NetStr(p);
    EXPECT_EQ(p, QString::fromUtf8(c.out)) << c.in;
  }
}

TEST_F(Names, MaxNumericSuffix) {
  struct Case {
    QStringList list;
    int expected;
  };
  const Case cases[] = {
      {{"x.1", "x.12", "x.abc"}, 12}, {{}, 0},
      {{"nodot", ".5"}, 0},  // a dot at index 0 does not count
      {{"a.7z", "b.3"}, 7},           {{"a.99999999999999999999"}, 2147483647},
  };
  for (const auto& c : cases) EXPECT_EQ(MaxNumericSuffix(c.list), c.expected) << c.list.join(',').toStdString();
}

TEST_F(Names, ExtractArgument) {
  struct Case {
    const char* line;
    int start;
    const char* arg;
  };
  const Case cases[] = {
      {"-s \"/home/u/my file.txt\" -e", 3, "/home/u/my file.txt"},
      {"-s /a/b -e", 3, "/a/b"},
      {"-s", 0, "-s"},
      {"\"unterminated arg", 0, "unterminated arg"},
      {"a\"b\"c d", 0, "abc"},
      {"short", 10, ""},
  };
  EngineHelper h;
  for (const auto& c : cases)
    EXPECT_EQ(h.ExtractArgument(QString::fromUtf8(c.line), c.start), QString::fromUtf8(c.arg)) << c.line;
}

TEST_F(Names, DebugLinesOnlyWhileTheFlagIsSet) {
  EventLogSettings s;
  s.Path = dir_;
  s.FileName = "debug.log";
  s.AutoOpen = 0;
  ASSERT_TRUE(EventLogSettings::Write(s));
  GetFileFromName("/a/b.txt");
  EXPECT_FALSE(QFile::exists(path("debug.log")));
  g_debug_flag = 1;
  GetFileFromName("/a/b.txt");
  EXPECT_EQ(read_file(path("debug.log")), "- debug info -: [GetFileFromName] полное имя: /a/b.txt, Файл: b.txt \r\n");
}

}  // namespace
}  // namespace dsutils
