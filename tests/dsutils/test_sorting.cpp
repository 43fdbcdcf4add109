#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <optional>

#include "dsutils/engine/error_text.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Sorting : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(log_to_scratch());
    for (const char* d : {"src", "work/Src", "out", "err", "back"}) ASSERT_TRUE(QDir().mkpath(path(d)));
  }
  // Folder fields: "" stays empty, "-" names a missing folder, else a folder
  // below the scratch folder.
  QString folder(const char* f) const {
    if (!*f) return {};
    if (f[0] == '-') return path("missing");
    return path(f);
  }
  EngineHelper h_;
};

enum Ask { kNoQuestion, kCreateYes, kCreateNo };

// GroupSortFile over the settings rows, success and failure, and targets
// that already exist.
TEST_F(Sorting, GroupSortFileDecisionTable) {
  struct Case {
    const char* name;
    bool error;
    std::uint32_t mode, unique;  // of the row the flag selects
    const char* folder;          // its path
    std::uint32_t otherMode;     // of the other row, pointing at "back"
    const char* existing;        // a file already at this place, "" none
    Ask ask;
    std::optional<QString> chosen;  // the folder dialog's answer, when it comes
    int ret;
    const char* placed;  // where the result ends, relative; "" = not copied
  };
  const Case cases[] = {
      {"next to source", false, 0, 0, "", 1, "", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"next to source, overwrite", false, 0, 0, "", 1, "src/doc.txt.sgn", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"next to source, unique", false, 0, 1, "", 1, "src/doc.txt.sgn", kNoQuestion, {}, 1, "src/doc[1].txt.sgn"},
      {"into folder", false, 1, 0, "out", 0, "", kNoQuestion, {}, 1, "out/doc.txt.sgn"},
      {"into folder, overwrite", false, 1, 0, "out", 0, "out/doc.txt.sgn", kNoQuestion, {}, 1, "out/doc.txt.sgn"},
      {"into folder, unique", false, 1, 1, "out", 0, "out/doc.txt.sgn", kNoQuestion, {}, 1, "out/doc[1].txt.sgn"},
      {"mode 2 goes next to source", false, 2, 0, "out", 1, "", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"mode 9 goes next to source", false, 9, 0, "out", 1, "", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"failure next to source", true, 0, 0, "", 1, "", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"failure into folder", true, 1, 0, "err", 1, "", kNoQuestion, {}, 1, "err/doc.txt.sgn"},
      {"failure unique", true, 1, 1, "err", 0, "err/doc.txt.sgn", kNoQuestion, {}, 1, "err/doc[1].txt.sgn"},
      {"failure mode 3 next to source", true, 3, 0, "err", 1, "", kNoQuestion, {}, 1, "src/doc.txt.sgn"},
      {"missing folder created", false, 1, 0, "-", 0, "", kCreateYes, {}, 1, "missing/doc.txt.sgn"},
      {"missing folder refused, chosen", false, 1, 0, "-", 0, "", kCreateNo, QString("back"), 1, "back/doc.txt.sgn"},
      {"empty folder, dialog cancelled", true, 1, 0, "", 0, "", kNoQuestion, std::nullopt, 1, "home/doc.txt.sgn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* d : {"src", "out", "err", "back", "home", "missing"}) QDir(path(d)).removeRecursively();
    for (const char* d : {"src", "out", "err", "back", "home"}) ASSERT_TRUE(QDir().mkpath(path(d)));
    write_file("work/doc.txt.sgn", "result");
    if (*c.existing) write_file(c.existing, "older");
    ui_ = ScriptedUi();
    SortSettings s;
    (c.error ? s.Error : s.Result) = c.mode;
    (c.error ? s.ErrorExist : s.ResultExist) = c.unique;
    (c.error ? s.ErrorPath : s.ResultPath) = folder(c.folder);
    (c.error ? s.Result : s.Error) = c.otherMode;
    (c.error ? s.ResultPath : s.ErrorPath) = path("back");
    ASSERT_TRUE(h_.SetSortSettings("SGN", s));
    if (c.ask != kNoQuestion) ui_.queueMessage(c.ask == kCreateYes ? IDYES : IDNO);
    const bool dialog = c.mode == 1 && (c.chosen.has_value() || c.ask == kCreateNo || !*c.folder);
    if (dialog) {
      ui_.queueMessage(IDOK);
      ui_.queueFolder(c.chosen ? std::optional<QString>(path(*c.chosen)) : std::nullopt);
    }

    QString result = path("work/doc.txt.sgn");
    EXPECT_EQ(h_.GroupSortFile(path("src/doc.txt"), result, "SGN", c.error), c.ret);
    EXPECT_EQ(ui_.unscripted(), 0);
    EXPECT_EQ(result, path(c.placed));
    EXPECT_EQ(read_file(path(c.placed)), "result");
    if (*c.existing && QString(c.existing) != QString(c.placed)) {
      EXPECT_EQ(read_file(path(c.existing)), "older");
    }
    EXPECT_EQ(read_file(path("work/doc.txt.sgn")), "result");  // copied, never moved
    EXPECT_TRUE(QDir(path("back")).isEmpty() || QString(c.placed).startsWith("back/"));
    if (dialog) {
      ASSERT_GE(ui_.messages().size(), 1u);
      EXPECT_EQ(ui_.messages().back().text,
                QStringLiteral("Каталог %1 не существует. Укажите другой!").arg(folder(c.folder)));
      // The folder chosen (or the home folder) is written back.
      SortSettings again;
      ASSERT_TRUE(h_.GetSortSettings("SGN", again));
      EXPECT_EQ(c.error ? again.ErrorPath : again.ResultPath, GetPathFromName(path(c.placed)));
    }
  }
}

TEST_F(Sorting, GroupSortFileNothingToDo) {
  SortSettings s;
  s.Result = 0;
  ASSERT_TRUE(h_.SetSortSettings("SGN", s));
  // A result that already lies beside the source stays where it is.
  write_file("src/doc.txt.sgn", "result");
  QString result = path("src/doc.txt.sgn");
  EXPECT_EQ(h_.GroupSortFile(path("src/doc.txt"), result, "SGN", false), 1);
  EXPECT_EQ(result, path("src/doc.txt.sgn"));
  EXPECT_EQ(QDir(path("src")).entryList(QDir::Files).size(), 1);
  // A result that does not exist.
  QString missing = path("work/none.sgn");
  EXPECT_EQ(h_.GroupSortFile(path("src/doc.txt"), missing, "SGN", false), 1);
  EXPECT_EQ(missing, path("work/none.sgn"));
  // A copy that fails leaves the result string as it was.
  s.Result = 1;
  write_file("afile", "not a folder");
  s.ResultPath = path("afile");
  ASSERT_TRUE(h_.SetSortSettings("SGN", s));
  write_file("work/doc.txt.sgn", "result");
  ui_.queueMessage(IDYES);  // create? - fails, it is a file
  ui_.queueMessage(IDOK);   // cannot create
  ui_.queueMessage(IDOK);   // choose another
  ui_.queueFolder(path("afile/sub"));
  result = path("work/doc.txt.sgn");
  EXPECT_EQ(h_.GroupSortFile(path("src/doc.txt"), result, "SGN", false), 0);
  EXPECT_EQ(result, path("work/doc.txt.sgn"));
  ASSERT_EQ(ui_.messages().size(), 3u);
  EXPECT_EQ(ui_.messages()[1].text, QStringLiteral("Не удалось создать каталог сортировки."));
}

TEST_F(Sorting, GroupSortFileExDecisionTable) {
  struct Case {
    const char* name;
    std::uint32_t source, unique;
    const char* existing;  // already at the target
    bool resultOverSource;
    int ret;
    const char* placed;  // where the kept copy ends, "" = nowhere
  };
  const Case cases[] = {
      {"source 0: nothing", 0, 0, "", false, 1, ""},
      {"source 1: back to its path", 1, 0, "", false, 1, "src/doc.txt"},
      {"source 1: overwrite", 1, 0, "src/doc.txt", false, 1, "src/doc.txt"},
      {"source 1: unique", 1, 1, "src/doc.txt", false, 1, "src/doc[1].txt"},
      {"source 1: result written over the source", 1, 0, "", true, 1, ""},
      {"source 2: into folder", 2, 0, "", false, 1, "back/doc.txt"},
      {"source 2: unique", 2, 1, "back/doc.txt", false, 1, "back/doc[1].txt"},
      {"source 3: refused", 3, 0, "", false, 0, ""},
      {"source 100: refused", 100, 0, "", false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* d : {"src", "back"}) {
      QDir(path(d)).removeRecursively();
      ASSERT_TRUE(QDir().mkpath(path(d)));
    }
    write_file("work/doc.txt", "working");
    write_file("work/Src/doc.txt", "kept source");
    if (*c.existing) write_file(c.existing, "older");
    SortSettings s;
    s.Source = c.source;
    s.SourceExist = c.unique;
    s.SourcePath = path("back");
    ASSERT_TRUE(h_.SetSortSettings("ENC", s));
    const QString result = c.resultOverSource ? path("src/doc.txt") : path("src/doc.txt.enc");
    EXPECT_EQ(h_.GroupSortFileEx(path("src/doc.txt"), path("work/doc.txt"), result, "ENC"), c.ret);
    int files = 0;
    for (const char* d : {"src", "back"}) files += static_cast<int>(QDir(path(d)).entryList(QDir::Files).size());
    if (*c.placed) {
      EXPECT_EQ(read_file(path(c.placed)), "kept source");
      EXPECT_EQ(files, *c.existing ? 2 - (QString(c.existing) == c.placed) : 1);
    } else {
      EXPECT_EQ(files, 0);
    }
    if (*c.existing && QString(c.existing) != c.placed) {
      EXPECT_EQ(read_file(path(c.existing)), "older");
    }
  }
  EXPECT_EQ(h_.GroupSortFileEx(path("src/doc.txt"), "", path("x"), "ENC"), 0);
  QFile::remove(path("work/Src/doc.txt"));
  EXPECT_EQ(h_.GroupSortFileEx(path("src/doc.txt"), path("work/doc.txt"), path("x"), "ENC"), 1);
}

TEST_F(Sorting, GroupSortEmail) {
  struct Case {
    const char* name;
    bool error;
    std::uint32_t mode, unique;
    const char* folder;
    Ask ask;
    const char* existing;
    int ret;
    const char* placed;
  };
  const Case cases[] = {
      {"mode 0: stays", false, 0, 0, "out", kNoQuestion, "", 1, ""},
      {"mode 2: stays", false, 2, 0, "out", kNoQuestion, "", 1, ""},
      {"into folder", false, 1, 0, "out", kNoQuestion, "", 1, "out/mail.txt"},
      {"failure into folder, unique", true, 1, 1, "err", kNoQuestion, "err/mail.txt", 1, "err/mail[1].txt"},
      {"missing folder created", false, 1, 0, "-", kCreateYes, "", 1, "missing/mail.txt"},
      {"missing folder refused", false, 1, 0, "-", kCreateNo, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* d : {"out", "err", "missing"}) QDir(path(d)).removeRecursively();
    for (const char* d : {"out", "err"}) ASSERT_TRUE(QDir().mkpath(path(d)));
    write_file("work/mail.txt", "mail");
    if (*c.existing) write_file(c.existing, "older");
    ui_ = ScriptedUi();
    if (c.ask != kNoQuestion) ui_.queueMessage(c.ask == kCreateYes ? IDYES : IDNO);
    SortSettings s;
    (c.error ? s.Error : s.Result) = c.mode;
    (c.error ? s.ErrorExist : s.ResultExist) = c.unique;
    (c.error ? s.ErrorPath : s.ResultPath) = folder(c.folder);
    ASSERT_TRUE(h_.SetSortSettings("E_CHEK", s));
    EXPECT_EQ(h_.GroupSortEmail(path("work/mail.txt"), "E_CHEK", c.error), c.ret);
    EXPECT_EQ(ui_.unscripted(), 0);
    if (*c.placed) {
      EXPECT_EQ(read_file(path(c.placed)), "mail");
    }
    int files = 0;
    for (const char* d : {"out", "err", "missing"})
      files += static_cast<int>(QDir(path(d)).entryList(QDir::Files).size());
    EXPECT_EQ(files, (*c.placed ? 1 : 0) + (*c.existing ? 1 : 0));
    if (c.ask != kNoQuestion) {
      EXPECT_EQ(ui_.messages().front().text,
                QStringLiteral("Каталога\n%1\n сортировки не существует.\n\n Создать ?").arg(path("missing")));
    }
  }
}

}  // namespace
}  // namespace dsutils

namespace dsutils {
namespace {

// The first operation on a fresh settings tree, and one whose settings
// cannot be read at all: the source comes back at its place before the
// working folder (with the kept copy) goes. As signing and encrypting in one
// run does: the encrypted file sorted under one code, the source under
// another whose key does not exist yet.
TEST_F(Sorting, FreshOrUnreadableSettingsGiveTheSourceBack) {
  ASSERT_TRUE(QDir().mkpath(path("tmp")));
  setenv("TMPDIR", path("tmp").toUtf8().constData(), 1);
  write_file("unreadable", "a file where the settings' folder should be");
  struct Case {
    const char* name;
    bool readable;
  };
  const Case cases[] = {{"fresh settings", true}, {"settings that cannot be opened", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(path("src/doc.txt"));
    QFile::remove(path("src/doc.txt.enc"));
    write_file("src/doc.txt", "plain text");
    if (!c.readable) setenv("DOSSAR_REGISTRY_DB", path("unreadable/registry.db").toUtf8().constData(), 1);
    const QString work = h_.CreateTmp(path("src/doc.txt"), true);
    ASSERT_FALSE(work.isEmpty());
    ASSERT_FALSE(QFileInfo::exists(path("src/doc.txt")));
    write_file(GetPathFromName(work).mid(dir_.size() + 1) + "/doc.txt.enc", "cipher text");
    QString result = work + ".enc";
    EXPECT_EQ(h_.GroupSortFile(path("src/doc.txt"), result, "ENC", false), 1);
    EXPECT_EQ(h_.GroupSortFileEx(path("src/doc.txt"), work, result, "SGN"), 1);
    EXPECT_EQ(h_.RemoveTmp(path("src/doc.txt"), work, false), 1);
    setenv("DOSSAR_REGISTRY_DB", path("registry.db").toUtf8().constData(), 1);
    EXPECT_EQ(read_file(path("src/doc.txt")), "plain text");
    EXPECT_EQ(read_file(path("src/doc.txt.enc")), "cipher text");
    EXPECT_EQ(ui_.unscripted(), 0);
  }
  unsetenv("TMPDIR");
}

TEST_F(Sorting, DebugLinesNameThePlacedFile) {
  g_debug_flag = 1;
  SortSettings s;
  s.Result = 1;
  s.ResultPath = path("out");
  s.Source = 2;
  s.SourcePath = path("back");
  ASSERT_TRUE(h_.SetSortSettings("SGN", s));
  write_file("work/doc.txt.sgn", "result");
  write_file("work/doc.txt", "working");
  write_file("work/Src/doc.txt", "kept");
  QString result = path("work/doc.txt.sgn");
  ASSERT_EQ(h_.GroupSortFile(path("src/doc.txt"), result, "SGN", false), 1);
  ASSERT_EQ(h_.GroupSortFileEx(path("src/doc.txt"), path("work/doc.txt"), result, "SGN"), 1);
  ASSERT_EQ(h_.GroupSortEmail(path("work/doc.txt"), "SGN", false), 1);
  g_debug_flag = 0;
  const std::string log = read_file(path("events.log"));
  for (const QString& line : {QStringLiteral("[GroupSortFile] файл перемещен 1: %1").arg(path("out/doc.txt.sgn")),
                              QStringLiteral("[GroupSortFileEx] файл перемещен 2: %1").arg(path("back/doc.txt")),
                              QStringLiteral("[GroupSortEmail] файл перемещен 1: %1").arg(path("out/doc.txt"))})
    EXPECT_NE(log.find(line.toStdString()), std::string::npos) << line.toStdString();
}

}  // namespace
}  // namespace dsutils
