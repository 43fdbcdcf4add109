// ExpandFolders: the selection's files as they are, each selected folder's
// plain files (and links to them) by name, nothing else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "dsutils/engine/selection.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Selection : public testing::EngineTest {};

TEST_F(Selection, FoldersGiveTheirPlainFilesOnly) {
  ASSERT_TRUE(QDir().mkpath(path("dir/c")));
  write_file("dir/b.sgn", "b");
  write_file("dir/a.txt", "a");
  write_file("dir/c/inner.txt", "inner");
  write_file("single.txt", "s");
  const auto fs = [](const QString& p) { return QFile::encodeName(p); };
  ASSERT_EQ(::mkfifo(fs(path("dir/fifo")).constData(), 0600), 0);
  ASSERT_EQ(::symlink(fs(path("dir/a.txt")).constData(), fs(path("dir/l.txt")).constData()), 0);
  ASSERT_EQ(::symlink(fs(path("dir/gone")).constData(), fs(path("dir/dangling")).constData()), 0);
  ASSERT_EQ(::symlink(fs(path("dir/c")).constData(), fs(path("dir/folder-link")).constData()), 0);

  SelectionItem file;
  file.path = path("single.txt");
  file.isFile = true;
  SelectionItem folder;
  folder.path = path("dir");
  SelectionItem empty;
  empty.isFile = true;
  SelectionItem missing;
  missing.path = path("no-such-folder");

  QStringList files{path("already.txt")};
  ExpandFolders({file, empty, folder, missing}, files);
  EXPECT_EQ(files, (QStringList{path("already.txt"), path("single.txt"), path("dir/a.txt"), path("dir/b.sgn"),
                                path("dir/l.txt")}));
}

}  // namespace
}  // namespace dsutils
