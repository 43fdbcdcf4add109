#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <functional>
#include <memory>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "platform/registry/registry_store.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

using platform::reg::RegistryKey;

class EventLog : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    setenv("DOSSAR_LIB_PATH", (dir_ + "/nolib").toUtf8().constData(), 1);
    QDir().mkpath(path("logs"));
  }
  void TearDown() override {
    unsetenv("DOSSAR_LIB_PATH");
    EngineTest::TearDown();
  }
  void settings(const QString& folder, const QString& file, std::uint32_t autoOpen, std::uint32_t every,
                std::uint32_t limit) {
    EventLogSettings s;
    s.Path = folder;
    s.FileName = file;
    s.AutoOpen = autoOpen;
    s.Evry = every;
    s.Limit = limit;
    ASSERT_TRUE(EventLogSettings::Write(s));
  }
  static EventLogSettings stored() {
    EventLogSettings s;
    EXPECT_TRUE(EventLogSettings::Read(s));
    return s;
  }
  void sized_file(const QString& full, qint64 size) {
    QFile f(full);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(size));  // sparse: no 10 MB written
  }
  std::unique_ptr<ErrorTextLoader> loader_at(QDate day) {
    auto l = std::make_unique<ErrorTextLoader>();
    l->setClock([day] { return QDateTime(day, QTime(9, 5)); });
    return l;
  }
  const QDate kDay{2026, 12, 7};
};

TEST(EventLogNames, DailyName) {
  EXPECT_EQ(daily_log_name(QDate(2026, 12, 7)), "ds07122026.log");
  EXPECT_EQ(daily_log_name(QDate(2031, 1, 31)), "ds31012031.log");
}

TEST_F(EventLog, EntriesHaveTheirExactBytes) {
  settings(path("logs"), "", 1, 1, 10);
  ErrorTextLoader log;
  log.setClock([] { return QDateTime(QDate(2026, 12, 7), QTime(9, 5, 59)); });
  log.LogOperation("подписать");
  log.LogLine("Файл: /home/u/a.txt");
  log.LogDebug("[NetStr] x");
  const std::string sep = std::string(135, '-') + "\r\n";
  const std::string expected = sep + "   07-12-2026 09:05\r\n" + sep + "Операция: подписать \r\n" +
                               "Файл: /home/u/a.txt \r\n" + "- debug info -: [NetStr] x \r\n";
  EXPECT_EQ(read_file(path("logs/ds07122026.log")), expected);
  // Written back, so the next writer continues in the same file.
  EXPECT_EQ(stored().FileName, "ds07122026.log");
  EXPECT_EQ(stored().Path, path("logs"));
}

TEST_F(EventLog, FileChoice) {
  struct Case {
    const char* name;
    std::uint32_t autoOpen, every, limit;
    const char* fileName;  // as set before the write
    qint64 existingSize;   // of fileName; -1: no such file
    const char* expected;  // the file written to
  };
  const Case cases[] = {
      {"no name, auto-open off: the daily file", 0, 1, 10, "", -1, "ds07122026.log"},
      {"auto-open off keeps the name", 0, 1, 10, "mine.log", -1, "mine.log"},
      {"a new file every day", 1, 0, 10, "old.log", 5, "ds07122026.log"},
      {"over the limit: the daily file", 1, 1, 10, "cur.log", 10485761, "ds07122026.log"},
      {"at the limit: kept", 1, 1, 10, "cur.log", 10485760, "cur.log"},
      {"a missing file is made and used", 1, 1, 10, "new.log", -1, "new.log"},
      {"a limit of 4 GiB does not wrap to 0", 1, 1, 4096, "big.log", 10485761, "big.log"},
  };
  for (const auto& c : cases) {
    QDir(path("logs")).removeRecursively();
    QDir().mkpath(path("logs"));
    settings(path("logs"), c.fileName, c.autoOpen, c.every, c.limit);
    if (c.existingSize >= 0) sized_file(path("logs/") + c.fileName, c.existingSize);
    loader_at(kDay)->LogLine("x");
    const QString target = path("logs/") + c.expected;
    EXPECT_TRUE(read_file(target).ends_with("x \r\n")) << c.name;
    EXPECT_EQ(stored().FileName, QString::fromUtf8(c.expected)) << c.name;
    EXPECT_EQ(QDir(path("logs")).entryList(QDir::Files).size(),
              c.existingSize >= 0 && QString(c.expected) != c.fileName ? 2 : 1)
        << c.name;
  }
}

TEST_F(EventLog, AutoOpenOffStaysInTheFirstDaysFile) {
  settings(path("logs"), "", 0, 1, 10);
  loader_at(kDay)->LogLine("first");
  loader_at(kDay.addDays(3))->LogLine("later");
  EXPECT_EQ(read_file(path("logs/ds07122026.log")), "first \r\nlater \r\n");
  EXPECT_FALSE(QFile::exists(path("logs/ds10122026.log")));
}

// A line writes the settings back only when a value is new; values the
// key lacks count as new, so the defaults the line used are stored.
TEST_F(EventLog, ValuesTheSettingsLackAreStoredWithALine) {
  {
    RegistryKey key;
    open_key(key, "\\Property\\Log");
    ASSERT_TRUE(key.SetString("Path", path("logs").toStdString()));
    ASSERT_TRUE(key.SetString("FileName", "mine.log"));
  }
  loader_at(kDay)->LogLine("x");
  EXPECT_EQ(read_file(path("logs/mine.log")), "x \r\n");
  RegistryKey key;
  open_key(key, "\\Property\\Log");
  const std::pair<const char*, std::uint32_t> defaults[] = {{"AutoOpen", 1}, {"Evry", 1}, {"Limit", 10}, {"On", 1}};
  for (const auto& [name, value] : defaults) {
    std::uint32_t stored = 0;
    EXPECT_TRUE(key.QueryDword(name, stored)) << name;
    EXPECT_EQ(stored, value) << name;
  }
}

TEST_F(EventLog, AMissingConfiguredFolderWritesNothingAndChangesNothing) {
  settings(path("gone"), "", 1, 1, 10);
  loader_at(kDay)->LogLine("x");
  EXPECT_FALSE(QDir(path("gone")).exists());
  EXPECT_EQ(stored().FileName, "");
  EXPECT_EQ(stored().Path, path("gone"));
}

TEST_F(EventLog, NoFolderSetUsesTheDefaultFolderMadeOnFirstWrite) {
  // No Property\Log key at all.
  const QString folder = default_log_folder();
  EXPECT_EQ(folder, dir_ + "/data/dossar/Log");
  ASSERT_FALSE(QDir(folder).exists());
  loader_at(kDay)->LogLine("x");
  EXPECT_EQ(read_file(folder + "/ds07122026.log"), "x \r\n");
  EXPECT_EQ(stored().Path, folder);  // the viewer finds it through the settings
  EXPECT_EQ(stored().Limit, 10u);
  EXPECT_FALSE(QFile::exists("/ds07122026.log"));
}

TEST_F(EventLog, ALinkInPlaceOfTheLogFileIsNotFollowed) {
  write_file("victim", "keep");
  settings(path("logs"), "trap.log", 0, 1, 10);
  ASSERT_EQ(symlink(path("victim").toUtf8().constData(), path("logs/trap.log").toUtf8().constData()), 0);
  loader_at(kDay)->LogLine("x");
  EXPECT_EQ(read_file(path("victim")), "keep");
}

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<int> g_commits{0};
void count_commit() { ++g_commits; }

// Every line reads the settings afresh (another program may change them at
// any time) but writes them back only when the line changed them or one was
// missing: a write is a transaction, and an operation logs several lines
// per file.
TEST_F(EventLog, LinesWriteTheSettingsBackOnlyWhenTheyChange) {
  QDir().mkpath(path("other"));
  struct Case {
    const char* name;
    std::function<void()> before;  // done by someone else before the line
    const char* folder;            // where the line goes
    const char* file;
    bool writesBack;
  };
  const Case cases[] = {
      {"nothing changed", [] {}, "logs", "cur.log", false},
      {"the folder changed by the settings dialog", [&] { settings(path("other"), "cur.log", 1, 1, 10); }, "other",
       "cur.log", false},
      {"a new file every day", [&] { settings(path("logs"), "old.log", 1, 0, 10); }, "logs", "ds07122026.log", true},
      {"a value missing",
       [&] {
         auto store = platform::reg::Store::current_user();
         platform::reg::KeyId key = 0;
         ASSERT_EQ(store->open_key(platform::reg::Store::kRoot, std::string(kProductKey) + "\\Property\\Log", key),
                   platform::reg::ERROR_SUCCESS);
         ASSERT_EQ(store->delete_value(key, "Limit"), platform::reg::ERROR_SUCCESS);
       },
       "logs", "ds07122026.log", true},
  };
  settings(path("logs"), "cur.log", 1, 1, 10);
  platform::reg::Store::set_before_commit_hook(&count_commit);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    g_commits = 0;
    loader_at(kDay)->LogLine(QString::fromUtf8(c.name));
    EXPECT_TRUE(read_file(path(c.folder) + "/" + c.file).ends_with(std::string(c.name) + " \r\n"));
    EXPECT_EQ(g_commits > 0, c.writesBack);
    EXPECT_EQ(stored().Path, path(c.folder));
    EXPECT_EQ(stored().FileName, QString::fromUtf8(c.file));
    EXPECT_EQ(stored().Limit, 10u);
  }
  platform::reg::Store::set_before_commit_hook(nullptr);
}

// An operation's run reads the settings at its first line and keeps what it
// writes back; a change made meanwhile counts from the next run on.
TEST_F(EventLog, ARunReadsTheSettingsOnceAndTheNextRunAfresh) {
  QDir().mkpath(path("other"));
  settings(path("logs"), "old.log", 1, 0, 10);  // a new file every day: the first line renames
  platform::reg::Store::set_before_commit_hook(&count_commit);
  {
    const LogSettingsScope run;
    g_commits = 0;
    loader_at(kDay)->LogLine("first");
    EXPECT_GT(g_commits.load(), 0);  // the day's name written back
    settings(path("other"), "other.log", 1, 1, 10);
    g_commits = 0;
    {
      const LogSettingsScope nested;
      loader_at(kDay)->LogLine("second");
    }
    loader_at(kDay)->LogLine("third");
    EXPECT_EQ(g_commits.load(), 0);
  }
  loader_at(kDay)->LogLine("next run");
  platform::reg::Store::set_before_commit_hook(nullptr);
  EXPECT_EQ(read_file(path("logs/ds07122026.log")), "first \r\nsecond \r\nthird \r\n");
  EXPECT_EQ(read_file(path("other/other.log")), "next run \r\n");
  EXPECT_EQ(stored().Path, path("other"));
}
#endif

class ErrorTexts : public testing::EngineTest {
 protected:
  void TearDown() override {
    unsetenv("DOSSAR_LIB_PATH");
    EngineTest::TearDown();
  }
};

TEST_F(ErrorTexts, TextsFromTheLibraryAndTheFallbacks) {
  struct Case {
    const char* name;
    std::string libDir;
    bool loaded;
    QString message112;
  };
  const Case cases[] = {
      {"library", std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib", true,
       QStringLiteral(" Не задано имя входного файла или файл не открывается \n")},
      {"no library", (dir_ + "/nolib").toStdString(), false, QStringLiteral(" Ошибка номер 112 \n")},
      {"library without the export", std::string(DOSSAR_BINARY_DIR) + "/stand-ins/vterror-noexport", true,
       QStringLiteral("  \n")},
  };
  for (const auto& c : cases) {
    setenv("DOSSAR_LIB_PATH", c.libDir.c_str(), 1);
    ErrorTextLoader loader;
    EXPECT_EQ(loader.libraryLoaded(), c.loaded) << c.name;
    EXPECT_EQ(loader.ErrorMessage(112), c.message112) << c.name;
  }
}

TEST_F(ErrorTexts, EveryResultCodeHasItsOwnText) {
  setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(), 1);
  ErrorTextLoader loader;
  ASSERT_TRUE(loader.libraryLoaded());
  const QString unknown = loader.GetErrorText(99999);
  const int codes[] = {2,   3,   4,   5,   6,   7,     8,     9,     10,    11,    12,    13,    14,   15,
                       16,  17,  18,  19,  20,  21,    22,    23,    24,    50,    103,   106,   107,  109,
                       112, 114, 115, 116, 117, 118,   119,   122,   123,   125,   127,   128,   129,  132,
                       134, 138, 153, 154, 158, 159,   160,   161,   162,   163,   164,   166,   168,  169,
                       183, 184, 186, 201, 288, 10000, 10001, 10002, 10003, 10004, 10005, 10006, 10008};
  for (int code : codes) {
    const QString text = loader.GetErrorText(code);
    EXPECT_FALSE(text.isEmpty()) << code;
    EXPECT_NE(text, unknown) << code;
  }
}

TEST_F(ErrorTexts, ShowErrorGoesThroughTheSeamWithTheProgressHidden) {
  setenv("DOSSAR_LIB_PATH", (dir_ + "/nolib").toUtf8().constData(), 1);
  ErrorTextLoader loader;
  OperationProgress progress(ui_, "Выполняется операция: подписать");
  progress.start();
  ui_.queueMessage(IDOK);
  loader.ShowError(112, &progress);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, QStringLiteral(" Ошибка номер 112 \n"));
  EXPECT_EQ(ui_.messages()[0].flags, 0x12030u);
  EXPECT_FALSE(ui_.messages()[0].progressWasShown);
  EXPECT_TRUE(progress.shown());  // back after the box
  EXPECT_TRUE(ui_.progressShown());
}

}  // namespace
}  // namespace dsutils
