// The file managers' menu and the host program's dispatch: BuildMenu's rows,
// a selected name classified, a selection expanded, and ShellHost::run over
// fake operations (which operation, with which job, on which thread), the
// menu popped with QTest where the command does not fit the selection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <optional>

#include "dsutils/com/shell_host.h"
#include "dsutils/com/shell_menu.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/engine_start.h"
#include "tests/dsutils_com/com_test_util.h"
#include "tests/support/gui_test.h"

namespace dsutils {
namespace {

constexpr int sep = kCmdSeparator;

SelectionItem item(const QString& path, bool isFile, std::int32_t kind, bool isSga = false) {
  SelectionItem i;
  i.path = path;
  i.isFile = isFile;
  i.kind = kind;
  i.isSga = isSga;
  return i;
}

// The five rows and the cases around them.
TEST(ShellMenu, BuildMenuRows) {
  const QList<int> plain = {kCmdSign, kCmdEncrypt, kCmdSignEncrypt};
  const QList<int> sga = {kCmdSign,    kCmdAddSignature, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdVerify, sep,
                          kCmdExtract, kCmdExtractAll,   sep,         kCmdProperties};
  const QList<int> signedFile = {kCmdSign,   kCmdEncrypt, kCmdSignEncrypt, sep,
                                 kCmdVerify, sep,         kCmdExtract,     kCmdProperties};
  const QList<int> enveloped = {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdProperties};
  const QList<int> several = {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdExtract};
  struct Row {
    const char* what;
    QList<SelectionItem> selection;
    QList<int> menu;
  };
  const Row rows[] = {
      {"nothing", {}, {}},
      {"plain file", {item("/d/a.txt", true, 0)}, plain},
      {"archive", {item("/d/a.sga", true, 0, true)}, sga},
      {"signed", {item("/d/a.sgn", true, 1)}, signedFile},
      {"signed archive-named", {item("/d/a.sga", true, 1, true)}, signedFile},
      {"enveloped", {item("/d/a.enc", true, 2)}, enveloped},
      {"signed and enveloped", {item("/d/a.x", true, 3)}, enveloped},
      {"unreadable file", {item("/d/a.txt", true, -1)}, several},
      {"folder", {item("/d", false, -1)}, several},
      {"two plain files", {item("/d/a", true, 0), item("/d/b", true, 0)}, several},
      {"two archives", {item("/d/a.sga", true, 0, true), item("/d/b.sga", true, 0, true)}, several},
  };
  for (const Row& r : rows) EXPECT_EQ(BuildMenu(r.selection), r.menu) << r.what;
}

TEST(ShellMenu, TextsAndNames) {
  const char* const expected[][2] = {
      {"sign", "Подписать"},           {"encrypt", "Зашифровать"},     {"sign-encrypt", "Подписать и зашифровать"},
      {"verify", "Проверить подпись"}, {"unpack", "Распаковать"},      {"add-signature", "Добавить подпись"},
      {"extract", "Извлечь документ"}, {"extract-all", "Извлечь все"}, {"properties", "Свойства"}};
  const QList<int> all = ShellCommands();
  ASSERT_EQ(all.size(), 9);
  for (qsizetype i = 0; i < all.size(); ++i) {
    EXPECT_EQ(ShellCommandName(all[i]), QString::fromUtf8(expected[i][0]));
    EXPECT_EQ(ShellCommandText(all[i]), QString::fromUtf8(expected[i][1]));
    EXPECT_EQ(ShellCommandByName(QString::fromUtf8(expected[i][0])), all[i]);
  }
  // A command is its whole name: no prefix, no other case, no offset.
  for (const char* refused : {"Sign", "sig", "sign ", "sign-encrypt-x", "1", "5", "open", ""})
    EXPECT_FALSE(ShellCommandByName(QString::fromLatin1(refused)).has_value()) << refused;
  EXPECT_TRUE(ShellCommandText(5).isEmpty());
}

class ShellScratch : public com_test::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    StartEngine();
    saved_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_));
  }
  void TearDown() override {
    QDir::setCurrent(saved_);
    ScratchTest::TearDown();
  }
  QString saved_;
};

// The kind comes from the toolkit; the suffix counts with its case; a name
// that cannot be examined and a folder are folders.
TEST_F(ShellScratch, ClassifiesEachName) {
  write_file("plain.txt", "just text\n");
  write_file("a.sga", "not a message\n");
  write_file("b.SGA", "not a message\n");
  ASSERT_TRUE(QDir().mkpath(path("folder.sga")));
  const SelectionItem plain = ClassifySelectionItem(path("plain.txt"));
  EXPECT_TRUE(plain.isFile);
  EXPECT_FALSE(plain.isSga);
  EXPECT_EQ(plain.kind, 0);
  const SelectionItem sga = ClassifySelectionItem(path("a.sga"));
  EXPECT_TRUE(sga.isSga);
  EXPECT_EQ(BuildMenu({sga}).size(), 11);
  const SelectionItem upper = ClassifySelectionItem(path("b.SGA"));
  EXPECT_FALSE(upper.isSga);
  EXPECT_EQ(BuildMenu({upper}), (QList<int>{kCmdSign, kCmdEncrypt, kCmdSignEncrypt}));
  for (const char* name : {"folder.sga", "missing"}) {
    const SelectionItem i = ClassifySelectionItem(path(name));
    EXPECT_FALSE(i.isFile) << name;
    EXPECT_FALSE(i.isSga) << name;
    EXPECT_EQ(i.kind, -1) << name;
  }
}

// One level of each folder, regular files (and links to them) only; a FIFO
// or a vanished name in the selection itself is left out too.
TEST_F(ShellScratch, ExpandSelectionTakesRegularFilesOneLevelDeep) {
  ASSERT_TRUE(QDir().mkpath(path("tree/sub")));
  write_file("tree/a.txt", "a");
  write_file("tree/sub/deep.txt", "deep");
  write_file("top.txt", "top");
  ASSERT_EQ(::mkfifo(path("tree/fifo").toLocal8Bit().constData(), 0600), 0);
  ASSERT_EQ(::mkfifo(path("fifo").toLocal8Bit().constData(), 0600), 0);
  ASSERT_EQ(::symlink(path("top.txt").toLocal8Bit().constData(), path("tree/link-file").toLocal8Bit().constData()), 0);
  ASSERT_EQ(::symlink(path("tree/sub").toLocal8Bit().constData(), path("tree/link-dir").toLocal8Bit().constData()), 0);
  ASSERT_EQ(::symlink(path("gone").toLocal8Bit().constData(), path("tree/dangling").toLocal8Bit().constData()), 0);
  QList<SelectionItem> selection;
  for (const char* name : {"tree", "top.txt", "fifo", "vanished.txt", "/dev/null"})
    selection.append(ClassifySelectionItem(name[0] == '/' ? QString::fromLatin1(name) : path(name)));
  QStringList files;
  ExpandSelection(selection, files);
  files.sort();
  EXPECT_EQ(files, (QStringList{path("top.txt"), path("tree/a.txt"), path("tree/link-file")}));
}

// What one operation saw.
struct Seen {
  std::string op;
  QStringList files;
  bool automatic = true;
  std::int32_t unpackDocument = -1;
  bool onWorker = false;
  bool withUi = false;
};

// Fake operations that record their job; kinds by a table of names.
class HostTest : public ShellScratch {
 protected:
  HostOperations fakes() {
    HostOperations ops;
    auto job = [this](const char* name) {
      return [this, name](OperationJob& j) {
        seen_.push_back({name, j.files, j.automatic, j.unpackDocument, QThread::currentThread() != qApp->thread(),
                         operation_ui() == &ui_});
        return answer_;
      };
    };
    auto file = [this](const char* name) {
      return [this, name](const QString& p) {
        seen_.push_back({name, {p}, false, -1, QThread::currentThread() != qApp->thread(), operation_ui() == &ui_});
        return answer_;
      };
    };
    ops.signGroup = job("sign");
    ops.encryptGroup = job("encrypt");
    ops.signEncryptGroup = job("signEncrypt");
    ops.unpackFile = job("unpackFile");
    ops.unpackGroup = job("unpackGroup");
    ops.addSignature = job("addSignature");
    ops.extractGroup = job("extractGroup");
    ops.extractArchive = file("extractArchive");
    ops.showFileState = file("showFileState");
    ops.classify = [this](const QString& p) {
      SelectionItem i = ClassifySelectionItem(p);
      if (i.isFile && kinds_.contains(GetFileFromName(p))) i.kind = kinds_.value(GetFileFromName(p));
      return i;
    };
    ops.expand = ExpandSelection;
    ops.unpackDocument = [] { return 1; };
    ops.popMenu = [this](const QList<int>& items) {
      menus_.append(items);
      return menuChoice_;
    };
    return ops;
  }
  int run(const QStringList& args) {
    ShellHost host(fakes(), ui_);
    return host.run(args);
  }

  std::vector<Seen> seen_;
  QList<QList<int>> menus_;
  QMap<QString, int> kinds_;
  int menuChoice_ = 0;
  bool answer_ = true;
};

TEST_F(HostTest, DispatchTable) {
  write_file("a.txt", "a");
  write_file("b c.txt", "b");
  write_file("s.sgn", "s");
  write_file("e.enc", "e");
  write_file("x.sga", "x");
  ASSERT_TRUE(QDir().mkpath(path("one")));
  write_file("one/only.enc", "o");
  kinds_ = {{"s.sgn", 1}, {"e.enc", 2}, {"only.enc", 2}};
  const QString uri = QUrl::fromLocalFile(path("b c.txt")).toString(QUrl::FullyEncoded);
  struct Row {
    QStringList args;
    std::string op;  // empty: nothing runs
    QStringList files;
    std::int32_t unpackDocument = -1;
    int status = kHostOk;
  };
  const Row rows[] = {
      {{"sign", "--", "a.txt", uri}, "sign", {path("a.txt"), path("b c.txt")}},
      {{"encrypt", path("a.txt")}, "encrypt", {path("a.txt")}},
      {{"sign-encrypt", "one"}, "signEncrypt", {path("one/only.enc")}},
      {{"verify", "s.sgn"}, "unpackFile", {path("s.sgn")}},
      {{"verify", "x.sga"}, "unpackFile", {path("x.sga")}},
      {{"unpack", "e.enc"}, "unpackFile", {path("e.enc")}, 1},
      // A folder holding one file: the one-file unpack.
      {{"unpack", "one"}, "unpackFile", {path("one/only.enc")}, 1},
      {{"unpack", "e.enc", "a.txt"}, "unpackGroup", {path("e.enc"), path("a.txt")}, 1},
      {{"add-signature", "x.sga"}, "addSignature", {path("x.sga")}},
      {{"extract", "s.sgn"}, "extractGroup", {path("s.sgn")}},
      {{"extract", "one", "a.txt"}, "extractGroup", {path("one/only.enc"), path("a.txt")}},
      {{"extract-all", "x.sga"}, "extractArchive", {path("x.sga")}},
      {{"properties", "e.enc"}, "showFileState", {path("e.enc")}},
      {{"open", "e.enc"}, "unpackFile", {path("e.enc")}, 1},
      {{"open", "s.sgn"}, "unpackFile", {path("s.sgn")}, 1},
      // A "-" leading name after "--" is a name.
      {{"sign", "--", "-", "a.txt"}, "sign", {path("a.txt")}},
      // Usage errors.
      {{}, "", {}, -1, kHostUsage},
      {{"sign"}, "", {}, -1, kHostUsage},
      {{"sign", "--"}, "", {}, -1, kHostUsage},
      {{"Sign", "a.txt"}, "", {}, -1, kHostUsage},
      {{"1", "a.txt"}, "", {}, -1, kHostUsage},
      {{"signature", "a.txt"}, "", {}, -1, kHostUsage},
      {{"sign", "sftp://host/a.txt"}, "", {}, -1, kHostUsage},
      {{"sign", "file://elsewhere" + path("a.txt")}, "", {}, -1, kHostUsage},
      {{"sign", "file://localhost" + path("a.txt")}, "sign", {path("a.txt")}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args.join(QLatin1Char(' ')).toStdString());
    seen_.clear();
    menus_.clear();
    EXPECT_EQ(run(r.args), r.status);
    EXPECT_TRUE(menus_.isEmpty());
    if (r.op.empty()) {
      EXPECT_TRUE(seen_.empty());
      continue;
    }
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].op, r.op);
    EXPECT_EQ(seen_[0].files, r.files);
    EXPECT_FALSE(seen_[0].automatic);
    if (r.unpackDocument >= 0) {
      EXPECT_EQ(seen_[0].unpackDocument, r.unpackDocument);
    }
    EXPECT_TRUE(seen_[0].onWorker);
    EXPECT_TRUE(seen_[0].withUi);
  }
}

// A command the selection's menu does not offer runs nothing by itself: the
// menu comes up, and only what is chosen there runs.
TEST_F(HostTest, ACommandOutsideTheMenuPopsTheMenu) {
  write_file("a.txt", "a");
  write_file("b.txt", "b");
  write_file("x.sga", "x");
  write_file("s.sgn", "s");
  kinds_ = {{"s.sgn", 1}};
  struct Row {
    QStringList args;
    QList<int> menu;
  };
  const QList<int> plain = {kCmdSign, kCmdEncrypt, kCmdSignEncrypt};
  const QList<int> several = {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdExtract};
  const Row rows[] = {
      {{"verify", "a.txt"}, plain},
      {{"unpack", "a.txt"}, plain},
      {{"add-signature", "s.sgn"}, BuildMenu({item(path("s.sgn"), true, 1)})},
      {{"extract-all", "x.sga", "a.txt"}, several},
      {{"properties", "a.txt", "b.txt"}, several},
      {{"add-signature", "x.sga", "b.txt"}, several},
      {{"--menu", "a.txt"}, plain},
      // A menu with separators: "--menu" chooses nothing by itself.
      {{"--menu", "x.sga"}, BuildMenu({item(path("x.sga"), true, 0, true)})},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args.join(QLatin1Char(' ')).toStdString());
    seen_.clear();
    menus_.clear();
    menuChoice_ = 0;
    EXPECT_EQ(run(r.args), kHostOk);
    ASSERT_EQ(menus_.size(), 1);
    EXPECT_EQ(menus_[0], r.menu);
    EXPECT_TRUE(seen_.empty());
  }
  // Chosen from the menu: that item runs.
  seen_.clear();
  menuChoice_ = kCmdEncrypt;
  EXPECT_EQ(run({"verify", "a.txt"}), kHostOk);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].op, "encrypt");
  // An answer that is not an item of that menu runs nothing.
  seen_.clear();
  menuChoice_ = kCmdVerify;
  EXPECT_EQ(run({"unpack", "a.txt"}), kHostOk);
  EXPECT_TRUE(seen_.empty());
}

// Add-signature needs exactly one file once the selection is expanded; an
// operation that fails gives status 1; extract and extract-all wait for the
// engine and say so.
TEST_F(HostTest, ExactlyOneFileAndFailures) {
  kinds_ = {{"gone.sga", 0}};
  EXPECT_EQ(run({"add-signature", "gone.sga"}), kHostOk);  // a folder for the menu: not offered
  write_file("x.sga", "x");
  answer_ = false;
  EXPECT_EQ(run({"add-signature", "x.sga"}), kHostFailed);
  ASSERT_EQ(seen_.size(), 1u);
  // Vanished between the menu and the run: nothing to sign.
  HostOperations ops = fakes();
  ops.expand = [](const QList<SelectionItem>&, QStringList&) {};
  seen_.clear();
  EXPECT_EQ(ShellHost(ops, ui_).run({"add-signature", path("x.sga")}), kHostFailed);
  EXPECT_TRUE(seen_.empty());
}

// The engine's classification under one toolkit start for the whole
// selection gives each file its own kind.
TEST_F(HostTest, ClassifiedUnderOneToolkitStart) {
  write_file("x.sga", "x");
  write_file("a.txt", "a");
  HostOperations ops = fakes();
  ops.classify = ClassifySelectionItem;
  ops.classifyScope = engine_host_operations().classifyScope;
  ASSERT_TRUE(ops.classifyScope);
  EXPECT_EQ(ShellHost(ops, ui_).run({"--menu", "x.sga"}), kHostOk);
  EXPECT_EQ(ShellHost(ops, ui_).run({"--menu", "a.txt"}), kHostOk);
  EXPECT_EQ(ShellHost(ops, ui_).run({"--menu", "a.txt", "x.sga"}), kHostOk);
  ASSERT_EQ(menus_.size(), 3);
  EXPECT_EQ(menus_[0], BuildMenu({item(path("x.sga"), true, 0, true)}));
  EXPECT_EQ(menus_[1], (QList<int>{kCmdSign, kCmdEncrypt, kCmdSignEncrypt}));
  EXPECT_EQ(menus_[2], (QList<int>{kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdExtract}));
}

// --menu pops the selection's menu; the popup holds exactly the computed
// items, and a click on one runs it.
class MenuPopup : public HostTest {};

TEST_F(MenuPopup, EachRowShowsItsItemsAndRunsTheClickedOne) {
  write_file("a.txt", "a");
  write_file("x.sga", "x");
  write_file("s.sgn", "s");
  write_file("e.enc", "e");
  ASSERT_TRUE(QDir().mkpath(path("folder")));
  kinds_ = {{"s.sgn", 1}, {"e.enc", 2}};
  struct Row {
    const char* shot;
    QStringList names;
    int click;  // the position of the item clicked
    std::string clickedOp;
  };
  const Row rows[] = {
      {"shell_menu_plain", {"a.txt"}, 1, "encrypt"},
      {"shell_menu_archive", {"x.sga"}, 10, "showFileState"},
      {"shell_menu_signed", {"s.sgn"}, 4, "unpackFile"},
      {"shell_menu_enveloped", {"e.enc"}, 4, "unpackFile"},
      {"shell_menu_several", {"folder", "a.txt"}, 6, "extractGroup"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.shot);
    QList<SelectionItem> selection;
    for (const QString& n : r.names) selection.append(fakes().classify(path(n)));
    const QList<int> expected = BuildMenu(selection);
    QStringList texts;
    for (const int c : expected) texts << ShellCommandText(c);
    HostOperations ops = fakes();
    ops.popMenu = PopShellMenuAtCursor;
    QStringList shown;
    bool clicked = false;
    QTimer poll;
    int ticks = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) {
        if (++ticks > 300) {
          // Three seconds without a popup: the test fails below, and a menu
          // that came up some other way is closed so the run can end.
          poll.stop();
          for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* m = qobject_cast<QMenu*>(w)) m->close();
        }
        return;
      }
      poll.stop();
      EXPECT_EQ(menu->title(), QStringLiteral("Dossar"));
      for (QAction* a : menu->actions()) shown << (a->isSeparator() ? QString() : a->text());
      gui_test::screenshot(menu, r.shot);
      gui_test::expect_no_clipped_text(menu);
      QAction* chosen = menu->actions().value(r.click);
      if (chosen == nullptr || chosen->isSeparator()) return;
      clicked = true;
      QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
    });
    poll.start(10);
    seen_.clear();
    QStringList args{"--menu"};
    args += r.names;
    EXPECT_EQ(ShellHost(ops, ui_).run(args), kHostOk);
    EXPECT_EQ(shown, texts);
    EXPECT_TRUE(clicked);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].op, r.clickedOp);
  }
}

// Dismissed without a choice: nothing runs.
TEST_F(MenuPopup, DismissedRunsNothing) {
  write_file("a.txt", "a");
  HostOperations ops = fakes();
  ops.popMenu = PopShellMenuAtCursor;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      poll.stop();
      QTest::keyClick(menu, Qt::Key_Escape);
    }
  });
  poll.start(10);
  EXPECT_EQ(ShellHost(ops, ui_).run({"--menu", "a.txt"}), kHostOk);
  EXPECT_TRUE(seen_.empty());
}

}  // namespace
}  // namespace dsutils
