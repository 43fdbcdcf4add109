#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <future>
#include <string>
#include <vector>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/fd_io.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Files : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    // Log lines of the copy go to a file of the scratch folder.
    ASSERT_TRUE(log_to_scratch());
  }
  ino_t inode(const QString& p) {
    struct stat st {};
    return ::lstat(QFile::encodeName(p).constData(), &st) == 0 ? st.st_ino : 0;
  }
};

TEST_F(Files, UniqueNames) {
  struct Case {
    const char* wanted;
    std::vector<const char*> files;  // made before
    const char* expected;
  };
  const Case cases[] = {
      {"out/doc.txt.sgn", {}, "out/doc.txt.sgn"},
      {"out/doc.txt.sgn", {"out/doc.txt.sgn"}, "out/doc[1].txt.sgn"},
      {"out/doc.txt.sgn", {"out/doc.txt.sgn", "out/doc[1].txt.sgn"}, "out/doc[2].txt.sgn"},
      {"out/doc[5].txt", {"out/doc[5].txt"}, "out/doc[1].txt"},
      {"out/doc[1][2].txt", {"out/doc[1][2].txt"}, "out/doc[1].txt"},
      {"out/x]", {"out/x]"}, "out/x][1]"},  // "]" without "[": trimming stops
      {"out/a]b].sgn", {"out/a]b].sgn"}, "out/a]b][1].sgn"},
      {"out/[x].txt", {"out/[x].txt"}, "out/[x][1].txt"},           // "[" as the first character stays
      {"out[2]/x]", {"out[2]/x]"}, "out[2]/x][1]"},                 // a "[" in the folder is not the name's
      {"dir.old/file", {"dir.old/file"}, "dir.old/file[1]"},        // dotted folder, no extension
      {"out/full.sgn", {"out/full.sgn/inner"}, "out/full[1].sgn"},  // a folder that is not empty
  };
  for (const auto& c : cases) {
    QDir(dir_).removeRecursively();
    QDir().mkpath(dir_);
    for (const char* f : c.files) {
      QDir().mkpath(GetPathFromName(path(QString::fromUtf8(f))));
      write_file(QString::fromUtf8(f), "x");
    }
    EXPECT_EQ(GetUnicalName(path(QString::fromUtf8(c.wanted))), path(QString::fromUtf8(c.expected))) << c.wanted;
  }
}

TEST_F(Files, AnEmptyFolderInTheWayIsRemoved) {
  ASSERT_TRUE(QDir().mkpath(path("out/doc.sgn")));
  EXPECT_EQ(GetUnicalName(path("out/doc.sgn")), path("out/doc.sgn"));
  EXPECT_FALSE(QFileInfo::exists(path("out/doc.sgn")));
}

TEST_F(Files, ExistenceSeesDanglingLinks) {
  ASSERT_EQ(symlink("/nonexistent/target", path("dangling").toUtf8().constData()), 0);
  EngineHelper h;
  EXPECT_TRUE(h.FileExists(path("dangling")));
  EXPECT_FALSE(h.FileExists(path("missing")));
  EXPECT_FALSE(h.FileExists(""));
  EXPECT_EQ(GetUnicalName(path("dangling")), path("dangling[1]"));
}

TEST_F(Files, CreatePath) {
  EngineHelper h;
  struct Case {
    QString path;
    bool result;
  };
  write_file("plain", "x");
  const Case cases[] = {
      {path("a/b/Ц/d/"), true},
      {path("a//b2"), true},
      {"/", true},
      {"", false},  // ends at once instead of climbing forever
      {"relative/dir", false},
      {path("plain"), false},  // a file of that name is no folder
      {path("plain/sub"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(h.CreatePath(c.path), c.result) << c.path.toStdString();
  EXPECT_TRUE(QDir(path("a/b/Ц/d")).exists());
  EXPECT_FALSE(QDir("relative").exists());
}

TEST_F(Files, ListingsHoldRegularFilesSortedAndSkipAFifo) {
  QDir().mkpath(path("in/sub"));
  write_file("in/b.txt", "b");
  write_file("in/A.txt", "a");
  write_file("in/sub/deep.txt", "d");
  ASSERT_EQ(mkfifo(path("in/pipe").toUtf8().constData(), 0600), 0);
  ASSERT_EQ(symlink(path("in/b.txt").toUtf8().constData(), path("in/link").toUtf8().constData()), 0);
  ASSERT_EQ(symlink("/nonexistent", path("in/dangling").toUtf8().constData()), 0);
  EngineHelper h;
  QStringList list = {"stale"};
  // In a thread of its own: a listing that opened the FIFO would hang here.
  auto done = std::async(std::launch::async, [&] { return h.ListFiles(path("in"), &list); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  ASSERT_TRUE(done.get());
  EXPECT_EQ(list, QStringList({path("in/A.txt"), path("in/b.txt"), path("in/link")}));

  EXPECT_TRUE(h.ListFiles(path("in/b.txt"), &list));
  EXPECT_EQ(list, QStringList{path("in/b.txt")});
  EXPECT_FALSE(h.ListFiles(path("in/pipe"), &list));
  EXPECT_FALSE(h.ListFiles(path("none"), &list));
  EXPECT_TRUE(list.isEmpty());
  EXPECT_FALSE(h.ListFiles(path("in"), nullptr));
  QDir().mkpath(path("empty"));
  EXPECT_TRUE(h.ListFiles(path("empty"), &list));
  EXPECT_TRUE(list.isEmpty());
}

TEST_F(Files, CopyOntoAnExistingFileGoesThroughATemporaryName) {
  write_file("src.txt", "new contents");
  write_file("dst.txt", "old");
  const ino_t before = inode(path("dst.txt"));
  ASSERT_TRUE(DS_CopyFile(path("src.txt"), path("dst.txt"), false));
  EXPECT_EQ(read_file(path("dst.txt")), "new contents");
  // A new file renamed into place, not the old one rewritten.
  EXPECT_NE(inode(path("dst.txt")), before);
  EXPECT_EQ(QDir(dir_).entryList(QStringList{".dossar-copy-*"}, QDir::Files | QDir::Hidden).size(), 0);

  write_file("dst2.txt", "old");
  EXPECT_FALSE(DS_CopyFile(path("src.txt"), path("dst2.txt"), true));  // fail if it exists
  EXPECT_EQ(read_file(path("dst2.txt")), "old");
  EXPECT_EQ(QDir(dir_).entryList(QStringList{".dossar-copy-*"}, QDir::Files | QDir::Hidden).size(), 0);
  const std::string log = read_file(path("events.log"));
  EXPECT_NE(log.find("Ошибка при копировании файла!\r\n"), std::string::npos);
  EXPECT_NE(log.find("Конечный файл: " + path("dst2.txt").toStdString()), std::string::npos);
}

TEST_F(Files, CopyCases) {
  write_file("src.txt", "s");
  // The same file after normalisation: true, nothing done.
  EXPECT_TRUE(DS_CopyFile(path("src.txt"), dir_ + "//src.txt", false));
  EXPECT_EQ(read_file(path("src.txt")), "s");
  // A missing source: false and its log line.
  EXPECT_FALSE(DS_CopyFile(path("none.txt"), path("out.txt"), false));
  EXPECT_EQ(read_file(path("events.log")), "Ошибка при копировании файла!\r\nИсходный файл: " +
                                               path("none.txt").toStdString() + "\r\nне существует! \r\n");
  // A FIFO as the source: refused without waiting for a writer.
  ASSERT_EQ(mkfifo(path("pipe").toUtf8().constData(), 0600), 0);
  auto done = std::async(std::launch::async, [&] { return DS_CopyFile(path("pipe"), path("out.txt"), false); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(done.get());
  EXPECT_FALSE(QFile::exists(path("out.txt")));
  // A copy keeps the source's permission bits.
  ASSERT_EQ(chmod(path("src.txt").toUtf8().constData(), 0640), 0);
  ASSERT_TRUE(DS_CopyFile(path("src.txt"), path("copy.txt"), true));
  struct stat st {};
  ASSERT_EQ(::stat(path("copy.txt").toUtf8().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A copy is renamed into place and then its folder is synced, so that the
// new name outlasts a power loss; a folder that cannot be synced fails the
// copy (its caller must not go on as if the copy were safe).
TEST_F(Files, CopySyncsTheTargetFolderAfterTheRename) {
  write_file("src.txt", "contents");
  ASSERT_TRUE(QDir().mkpath(path("out")));
  (void)sync_folder_test_calls();
  ASSERT_TRUE(DS_CopyFile(path("src.txt"), path("out/a.txt"), true));
  EXPECT_EQ(sync_folder_test_calls(), std::vector<std::string>{path("out").toStdString()});
  EXPECT_EQ(read_file(path("out/a.txt")), "contents");

  sync_folder_test_fail(true);
  EXPECT_FALSE(DS_CopyFile(path("src.txt"), path("out/b.txt"), true));
  sync_folder_test_fail(false);
  EXPECT_EQ(sync_folder_test_calls(), std::vector<std::string>{path("out").toStdString()});
  EXPECT_EQ(read_file(path("src.txt")), "contents");
  EXPECT_EQ(QDir(path("out")).entryList(QStringList{".dossar-copy-*"}, QDir::Files | QDir::Hidden).size(), 0);
  // A copy that fails before the rename syncs nothing.
  EXPECT_FALSE(DS_CopyFile(path("src.txt"), path("out/a.txt"), true));
  EXPECT_TRUE(sync_folder_test_calls().empty());
}

TEST_F(Files, ResolveShellPath) {
  QDir().mkpath(path("real/sub"));
  ASSERT_EQ(symlink(path("real").toUtf8().constData(), path("alias").toUtf8().constData()), 0);
  EngineHelper h;
  QString out = "stale";
  // The scratch folder itself may sit behind a link (/tmp): compare with its own resolution.
  QString base;
  ASSERT_TRUE(h.ResolveShellPath(dir_, base));
  EXPECT_TRUE(h.ResolveShellPath(dir_ + "//alias/./sub/../sub", out));
  EXPECT_EQ(out, base + "/real/sub");
  EXPECT_FALSE(h.ResolveShellPath(path("missing/x"), out));
  EXPECT_TRUE(out.isEmpty());
  EXPECT_FALSE(h.ResolveShellPath("", out));
}

TEST(Folders, HomeAndTemporary) {
  const char* saved = getenv("TMPDIR");
  const std::string keep = saved ? saved : "";
  setenv("TMPDIR", "/var/tmp/u", 1);
  EXPECT_EQ(user_temp_folder(), "/var/tmp/u");
  setenv("TMPDIR", "rel", 1);
  EXPECT_EQ(user_temp_folder(), "/tmp");
  if (saved)
    setenv("TMPDIR", keep.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_EQ(default_folder(), QString::fromUtf8(getenv("HOME")));
}

}  // namespace
}  // namespace dsutils
