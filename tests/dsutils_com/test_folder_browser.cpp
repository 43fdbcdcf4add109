// The folder chooser: the initial folder selected and shown, a missing one,
// setters while open, and WidgetUi's folder question on it.
#include <gtest/gtest.h>

#include <QDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>

#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

class FolderBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-folders-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = QString::fromStdString(tmpl);
    std::filesystem::create_directories(tmpl + "/keys/sub");
    std::filesystem::create_directories(tmpl + "/other");
  }
  void TearDown() override { std::filesystem::remove_all(dir_.toStdString()); }

  static QString status(QDialog* d) { return d->findChild<QLabel*>(QStringLiteral("status"))->text(); }
  static QString selected(QDialog* d) {
    auto* tree = d->findChild<QTreeView*>(QStringLiteral("folders"));
    const QModelIndex i = tree->currentIndex();
    return i.isValid() ? i.data(QFileSystemModel::FilePathRole).toString() : QString();
  }

  QString dir_;
};

TEST_F(FolderBrowserTest, TheInitialFolderIsSelectedWithItsStatusText) {
  InitialFolderBrowser browser(nullptr, QStringLiteral("Выберите каталог"));
  browser.SetFlags(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT);
  const QString initial = dir_ + QStringLiteral("/keys/sub");
  browser.SetInitialFolder(initial);
  bool result = false;
  int calls = 0;
  browser.Open([&](bool r) {
    result = r;
    ++calls;
  });
  QDialog* d = browser.dialog();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
  EXPECT_EQ(d->windowTitle(), QStringLiteral("Обзор папок"));
  EXPECT_EQ(selected(d), initial);
  EXPECT_EQ(status(d), initial);
  EXPECT_TRUE(d->findChild<QLabel*>(QStringLiteral("status"))->isVisible());
  gui_test::expect_no_clipped_text(d);
  gui_test::screenshot(d, "folder_browser");

  // Another selection shows its path; OK gives it back.
  auto* tree = d->findChild<QTreeView*>(QStringLiteral("folders"));
  auto* model = qobject_cast<QFileSystemModel*>(tree->model());
  tree->setCurrentIndex(model->index(dir_ + QStringLiteral("/other")));
  EXPECT_EQ(status(d), dir_ + QStringLiteral("/other"));
  QPushButton* ok = nullptr;
  for (QPushButton* b : d->findChildren<QPushButton*>())
    if (b->text() == QLatin1String("OK")) ok = b;
  ASSERT_NE(ok, nullptr);
  QTest::mouseClick(ok, Qt::LeftButton);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(result);
  EXPECT_EQ(browser.GetFolderPath(), dir_ + QStringLiteral("/other"));
  EXPECT_EQ(browser.dialog(), nullptr);
}

TEST_F(FolderBrowserTest, AMissingInitialFolderKeepsTheDefaultSelectionButShowsTheText) {
  InitialFolderBrowser browser;
  browser.SetFlags(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT);
  const QString missing = dir_ + QStringLiteral("/gone");
  browser.SetInitialFolder(missing);
  bool result = true;
  browser.Open([&](bool r) { result = r; });
  QDialog* d = browser.dialog();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(selected(d), QString());
  EXPECT_EQ(status(d), missing);
  d->reject();
  EXPECT_FALSE(result);
  EXPECT_EQ(browser.GetFolderPath(), QString());
}

// Setters while the dialog is open (from OnInitialized) change nothing.
class SettingFromInitialized : public InitialFolderBrowser {
 public:
  using InitialFolderBrowser::InitialFolderBrowser;

 protected:
  void OnInitialized() override {
    SetFlags(0);
    SetTitle(QStringLiteral("changed"));
    SetRoot(QStringLiteral("/nonexistent"));
    InitialFolderBrowser::OnInitialized();
  }
};

TEST_F(FolderBrowserTest, SetFlagsFromOnInitializedChangesNothing) {
  SettingFromInitialized browser(nullptr, QStringLiteral("title"));
  browser.SetFlags(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT);
  browser.SetInitialFolder(dir_ + QStringLiteral("/keys"));
  browser.Open(nullptr);
  QDialog* d = browser.dialog();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
  EXPECT_EQ(browser.flags(), unsigned(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT));
  EXPECT_TRUE(d->findChild<QLabel*>(QStringLiteral("status"))->isVisible());
  EXPECT_EQ(d->findChild<QLabel*>(QStringLiteral("title"))->text(), QStringLiteral("title"));
  EXPECT_EQ(selected(d), dir_ + QStringLiteral("/keys"));
  d->reject();
  // Closed: the setters work again.
  browser.SetFlags(0);
  EXPECT_EQ(browser.flags(), 0u);
}

// The sorting code's question: WidgetUi opens the chooser at the folder.
TEST_F(FolderBrowserTest, WidgetUiChooseFolder) {
  ScriptedPromptService prompts;
  WidgetUi ui(prompts);
  const QString initial = dir_ + QStringLiteral("/keys");
  for (const bool accept : {true, false}) {
    QString shownStatus;
    QTimer::singleShot(0, [&] {
      QDialog* d = dialog_test::wait_window<QDialog>(QStringLiteral("FolderBrowser"));
      ASSERT_NE(d, nullptr);
      shownStatus = status(d);
      if (accept)
        d->accept();
      else
        d->reject();
    });
    const std::optional<QString> chosen = ui.chooseFolder(initial);
    EXPECT_EQ(shownStatus, initial);
    EXPECT_EQ(chosen, accept ? std::optional<QString>(initial) : std::nullopt);
  }
}

}  // namespace
}  // namespace dsutils::widgets
