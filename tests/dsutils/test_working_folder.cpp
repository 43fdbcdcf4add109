#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/fd_io.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/dsutils/session_double.h"

namespace dsutils {
namespace {

class WorkingFolder : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(use_scratch_tmp({"docs"}));
    root_ = path("tmp") + QStringLiteral("/DOSSAR-%1").arg(::geteuid());
  }
  QStringList root_entries() const {
    return QDir(root_).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
  }
  static struct stat lstat_of(const QString& p) {
    struct stat st {};
    ::lstat(QFile::encodeName(p).constData(), &st);
    return st;
  }

  EngineHelper h_;
  testing::RecordingSession session_;
  QString root_;
};

TEST_F(WorkingFolder, LayoutAndCounterNames) {
  write_file("docs/report.doc", "document body");
  const QString first = h_.CreateTmp(path("docs/report.doc"), false);
  const QString second = h_.CreateTmp(path("docs/report.doc"), false);
  EXPECT_EQ(first, root_ + "/~temp~/report.doc");
  EXPECT_EQ(second, root_ + "/~temp~[1]/report.doc");
  for (const QString& copy : {first, second}) {
    EXPECT_EQ(read_file(copy), "document body");
    EXPECT_EQ(read_file(GetPathFromName(copy) + "/Src/report.doc"), "document body");
  }
  EXPECT_EQ(read_file(path("docs/report.doc")), "document body");  // not erased
  EXPECT_TRUE(session_.erased().isEmpty());
  const struct stat st = lstat_of(root_);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(read_file(root_ + "/~temp~.lock"), path("docs/report.doc").toStdString());

  EXPECT_EQ(h_.RemoveTmp(path("docs/report.doc"), first, false), 1);
  EXPECT_EQ(h_.RemoveTmp(path("docs/report.doc"), second, false), 1);
  EXPECT_TRUE(root_entries().isEmpty()) << root_entries().join(",").toStdString();
  // Both copies in each folder went through the session's erase.
  EXPECT_EQ(session_.erased().size(), 4);
}

TEST_F(WorkingFolder, ErasedSourceComesBackOnRestore) {
  write_file("docs/a.txt", "original");
  const QString copy = h_.CreateTmp(path("docs/a.txt"), true);
  ASSERT_FALSE(copy.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(path("docs/a.txt")));
  EXPECT_EQ(session_.erased(), QStringList{path("docs/a.txt")});
  write_file(copy.mid(dir_.size() + 1), "changed by the operation");
  EXPECT_EQ(h_.RemoveTmp(path("docs/a.txt"), copy, true), 1);
  EXPECT_EQ(read_file(path("docs/a.txt")), "changed by the operation");
  EXPECT_TRUE(root_entries().isEmpty());
}

TEST_F(WorkingFolder, FailuresLeaveTheSourceAndNoFolder) {
  ASSERT_EQ(::mkfifo(path("docs/fifo").toUtf8().constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkpath(path("docs/folder")));
  for (const char* rel : {"docs/missing", "docs/fifo", "docs/folder"}) {
    EXPECT_EQ(h_.CreateTmp(path(rel), true), QString()) << rel;
    EXPECT_TRUE(root_entries().isEmpty()) << rel << root_entries().join(",").toStdString();
  }
  EXPECT_TRUE(QFileInfo::exists(path("docs/fifo")));
  EXPECT_TRUE(session_.erased().isEmpty());

  // RemoveTmp removes only working folders of its own root.
  write_file("docs/keep.txt", "keep");
  EXPECT_EQ(h_.RemoveTmp(path("docs/keep.txt"), "", false), 0);
  EXPECT_EQ(h_.RemoveTmp("", path("docs/keep.txt"), false), 0);
  EXPECT_EQ(h_.RemoveTmp(path("x"), path("docs/keep.txt"), false), 0);
  EXPECT_EQ(read_file(path("docs/keep.txt")), "keep");

  // A restore that cannot be made keeps the folder: it may hold the only copy.
  write_file("docs/only.txt", "only copy");
  const QString copy = h_.CreateTmp(path("docs/only.txt"), true);
  ASSERT_FALSE(copy.isEmpty());
  EXPECT_EQ(h_.RemoveTmp(path("gone/only.txt"), copy, true), 0);
  EXPECT_EQ(read_file(copy), "only copy");
}

// Before the source is erased, both copies and the root (the record and the
// working folder's name) are synced; when a sync fails the source is kept
// and nothing of the working folder is left.
TEST_F(WorkingFolder, SourceIsErasedOnlyAfterTheCopiesAreSynced) {
  write_file("docs/a.txt", "original");
  (void)sync_folder_test_calls();
  const QString copy = h_.CreateTmp(path("docs/a.txt"), true);
  ASSERT_FALSE(copy.isEmpty());
  const std::string work = GetPathFromName(copy).toStdString();
  const std::vector<std::string> want = {work + "/Src", work, root_.toStdString()};
  EXPECT_EQ(sync_folder_test_calls(), want);
  EXPECT_EQ(session_.erased(), QStringList{path("docs/a.txt")});
  EXPECT_EQ(h_.RemoveTmp(path("docs/a.txt"), copy, true), 1);
  EXPECT_EQ(read_file(path("docs/a.txt")), "original");
  ASSERT_TRUE(root_entries().isEmpty());
  (void)sync_folder_test_calls();

  sync_folder_test_fail(true);
  const QStringList erased_before = session_.erased();
  EXPECT_EQ(h_.CreateTmp(path("docs/a.txt"), true), QString());
  sync_folder_test_fail(false);
  EXPECT_EQ(read_file(path("docs/a.txt")), "original");
  EXPECT_FALSE(session_.erased().mid(erased_before.size()).contains(path("docs/a.txt")));
  EXPECT_TRUE(root_entries().isEmpty()) << root_entries().join(",").toStdString();
}

TEST_F(WorkingFolder, RootMustBePrivate) {
  ASSERT_TRUE(QDir().mkpath(path("elsewhere")));
  write_file("docs/a.txt", "a");
  // A link in place of the root, and a root open to others.
  ASSERT_EQ(::symlink(path("elsewhere").toUtf8().constData(), root_.toUtf8().constData()), 0);
  EXPECT_EQ(h_.CreateTmp(path("docs/a.txt"), true), QString());
  EXPECT_TRUE(QDir(path("elsewhere")).isEmpty());
  ASSERT_EQ(::unlink(root_.toUtf8().constData()), 0);
  ASSERT_EQ(::mkdir(root_.toUtf8().constData(), 0755), 0);
  ASSERT_EQ(::chmod(root_.toUtf8().constData(), 0755), 0);
  EXPECT_EQ(h_.CreateTmp(path("docs/a.txt"), true), QString());
  EXPECT_EQ(read_file(path("docs/a.txt")), "a");
}

// Erase goes by what each entry is itself: links and files with other names
// lose only their name; nothing they lead to is opened, zeroed or removed.
TEST_F(WorkingFolder, EraseNeverFollowsLinks) {
  ASSERT_TRUE(QDir().mkpath(path("outside/dir")));
  write_file("outside/target.txt", "outside data");
  write_file("outside/dir/inner.txt", "inner data");
  write_file("outside/hard.txt", "hard data");
  write_file("docs/a.txt", "a");
  const QString copy = h_.CreateTmp(path("docs/a.txt"), false);
  ASSERT_FALSE(copy.isEmpty());
  const QString folder = GetPathFromName(copy);
  const QByteArray f = QFile::encodeName(folder);
  ASSERT_EQ(::symlink(path("outside/target.txt").toUtf8().constData(), (f + "/link.txt").constData()), 0);
  ASSERT_EQ(::symlink(path("outside/dir").toUtf8().constData(), (f + "/linkdir").constData()), 0);
  ASSERT_EQ(::link(path("outside/hard.txt").toUtf8().constData(), (f + "/Src/hard.txt").constData()), 0);
  ASSERT_EQ(::mkfifo((f + "/fifo").constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkpath(folder + "/sub/deeper"));
  write_file(folder.mid(dir_.size() + 1) + "/sub/deeper/x", "x");

  EXPECT_EQ(h_.RemoveTmp(path("docs/a.txt"), copy, false), 1);
  EXPECT_FALSE(QFileInfo::exists(folder));
  EXPECT_EQ(read_file(path("outside/target.txt")), "outside data");
  EXPECT_EQ(read_file(path("outside/dir/inner.txt")), "inner data");
  EXPECT_EQ(read_file(path("outside/hard.txt")), "hard data");
  EXPECT_EQ(lstat_of(path("outside/hard.txt")).st_nlink, 1u);
  const QStringList erased = session_.erased();
  for (const QString& p : erased) {
    EXPECT_FALSE(p.contains("link") || p.contains("hard") || p.contains("fifo")) << p.toStdString();
  }
  EXPECT_TRUE(erased.contains(folder + "/sub/deeper/x"));

  // The same for a source that is a link or has a second name.
  ASSERT_EQ(::symlink(path("outside/target.txt").toUtf8().constData(), path("docs/link.txt").toUtf8().constData()), 0);
  ASSERT_EQ(::link(path("outside/hard.txt").toUtf8().constData(), path("docs/hard.txt").toUtf8().constData()), 0);
  for (const char* rel : {"docs/link.txt", "docs/hard.txt"}) {
    const QString c = h_.CreateTmp(path(rel), true);
    ASSERT_FALSE(c.isEmpty()) << rel;
    EXPECT_FALSE(QFileInfo(path(rel)).isSymLink() || QFileInfo::exists(path(rel))) << rel;
    EXPECT_FALSE(session_.erased().contains(path(rel))) << rel;
    EXPECT_EQ(h_.RemoveTmp(path(rel), c, false), 1);
  }
  EXPECT_EQ(read_file(path("outside/target.txt")), "outside data");
  EXPECT_EQ(read_file(path("outside/hard.txt")), "hard data");
}

TEST_F(WorkingFolder, ConcurrentOperationsGetSeparateFolders) {
  constexpr int kThreads = 8, kEach = 5;
  for (int t = 0; t < kThreads; ++t) write_file(QStringLiteral("docs/f%1.txt").arg(t), std::to_string(t));
  std::vector<QStringList> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) made[t].append(h_.CreateTmp(path(QStringLiteral("docs/f%1.txt").arg(t)), false));
    });
  for (auto& th : threads) th.join();
  std::set<QString> folders;
  for (int t = 0; t < kThreads; ++t)
    for (const QString& c : made[t]) {
      ASSERT_FALSE(c.isEmpty());
      EXPECT_EQ(read_file(c), std::to_string(t));
      folders.insert(GetPathFromName(c));
    }
  EXPECT_EQ(folders.size(), static_cast<size_t>(kThreads * kEach));
  threads.clear();
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (const QString& c : made[t]) {
        EXPECT_EQ(h_.RemoveTmp(path("unused"), c, false), 1);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_TRUE(root_entries().isEmpty());
}

using testing::Child;
Child start_child(const QString& source) { return testing::start_child(DOSSAR_WF_CHILD, source); }

// An operation killed between taking the source and giving it back: while it
// runs its folder is left alone, and once it is dead the start-up clean-up
// puts the source back before removing the folder.
TEST_F(WorkingFolder, KilledOperationLeavesTheSourceRecoverable) {
  write_file("docs/precious.txt", "the only copy");
  const Child child = start_child(path("docs/precious.txt"));
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(child.copy, root_ + "/~temp~/precious.txt");
  EXPECT_FALSE(QFileInfo::exists(path("docs/precious.txt")));

  // Another operation meanwhile gets a folder of its own; the clean-up does
  // not touch the running one.
  write_file("docs/other.txt", "other");
  const QString mine = h_.CreateTmp(path("docs/other.txt"), false);
  EXPECT_EQ(mine, root_ + "/~temp~[1]/other.txt");
  EXPECT_EQ(h_.ClearTmpRoot(), 0);
  EXPECT_TRUE(QFileInfo::exists(child.copy));
  EXPECT_TRUE(QFileInfo::exists(mine));

  ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  EXPECT_EQ(h_.ClearTmpRoot(), 1);
  EXPECT_EQ(read_file(path("docs/precious.txt")), "the only copy");
  EXPECT_FALSE(QFileInfo::exists(root_ + "/~temp~"));
  EXPECT_FALSE(QFileInfo::exists(root_ + "/~temp~.lock"));
  EXPECT_TRUE(QFileInfo::exists(mine));  // still in use here
  EXPECT_EQ(h_.RemoveTmp(path("docs/other.txt"), mine, false), 1);
}

TEST_F(WorkingFolder, CleanUpKeepsANewerFileUnderTheSameName) {
  write_file("docs/doc.txt", "old content");
  const Child child = start_child(path("docs/doc.txt"));
  ASSERT_GT(child.pid, 0);
  ASSERT_FALSE(child.copy.isEmpty());
  ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child.pid, nullptr, 0), child.pid);
  write_file("docs/doc.txt", "new content");
  EXPECT_EQ(h_.ClearTmpRoot(), 1);
  EXPECT_EQ(read_file(path("docs/doc.txt")), "new content");
  EXPECT_EQ(read_file(path("docs/doc[1].txt")), "old content");
  EXPECT_TRUE(root_entries().isEmpty());

  // The source's folder is gone: the kept copy has nowhere to go and stays.
  ASSERT_TRUE(QDir().mkpath(path("vanishing")));
  write_file("vanishing/x.txt", "x");
  const Child second = start_child(path("vanishing/x.txt"));
  ASSERT_GT(second.pid, 0);
  ASSERT_EQ(::kill(second.pid, SIGKILL), 0);
  ASSERT_EQ(::waitpid(second.pid, nullptr, 0), second.pid);
  ASSERT_TRUE(QDir(path("vanishing")).removeRecursively());
  EXPECT_EQ(h_.ClearTmpRoot(), 0);
  EXPECT_EQ(read_file(GetPathFromName(second.copy) + "/Src/x.txt"), "x");
}

}  // namespace
}  // namespace dsutils
