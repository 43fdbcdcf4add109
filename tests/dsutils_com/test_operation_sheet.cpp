// The operation sheet with scripted pages: the validation pass, the
// refusing page brought to the front, closing, cancel, tab switching and
// help.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>
#include <deque>
#include <string>
#include <vector>

#include "dsutils/widgets/operation_sheet.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using Log = std::vector<std::string>;

class FakePage : public SheetPage {
 public:
  FakePage(std::string name, Log& log) : name_(std::move(name)), log_(log), edit_(new QLineEdit(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
  }
  void answer(bool accept) { answers_.push_back(accept); }
  bool validatePage() override {
    log_.push_back("validate " + name_);
    if (answers_.empty()) return false;
    const bool a = answers_.front();
    answers_.pop_front();
    return a;
  }
  void closePage() override {
    log_.push_back("close " + name_);
    closedValue_ = edit_->text();
  }
  void initPage() override { log_.push_back("init " + name_); }
  QLineEdit* edit() const { return edit_; }
  QString closedValue_;

 private:
  std::string name_;
  Log& log_;
  std::deque<bool> answers_;
  QLineEdit* edit_;
};

struct Sheet {
  Log log;
  std::vector<int> help;
  COperationSheet sheet{nullptr, [this](int context) { help.push_back(context); }};
  FakePage* first = new FakePage("first", log);
  FakePage* second = new FakePage("second", log);
  int finished = -1;

  explicit Sheet(bool two = true) {
    sheet.setTitle(QStringLiteral("Зашифровать"));
    sheet.setHelpContext(68);
    sheet.AddPage(first, QStringLiteral(" Документ "), 204);
    if (two) {
      sheet.AddPage(second, QStringLiteral(" Получатели "), 205);
    } else {
      delete second;
      second = nullptr;
    }
    QObject::connect(&sheet, &QDialog::finished, [this](int r) { finished = r; });
    sheet.open();
  }
  void ok() { QTest::mouseClick(sheet.okButton(), Qt::LeftButton); }
};

TEST(OperationSheet, TextsAndTabs) {
  Sheet s;
  EXPECT_EQ(s.sheet.windowTitle(), QStringLiteral("Зашифровать"));
  EXPECT_EQ(s.sheet.okButton()->text(), QStringLiteral("Зашифровать"));
  EXPECT_EQ(s.sheet.cancelButton()->text(), QStringLiteral("Отмена"));
  EXPECT_EQ(s.sheet.helpButton()->text(), QStringLiteral("Справка"));
  ASSERT_EQ(s.sheet.tabs()->count(), 2);
  EXPECT_EQ(s.sheet.tabs()->tabText(0), QStringLiteral(" Документ "));
  EXPECT_EQ(s.sheet.tabs()->tabText(1), QStringLiteral(" Получатели "));
  EXPECT_TRUE(s.sheet.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(s.sheet.okButton()->isDefault());
  EXPECT_EQ(s.log, (Log{"init first", "init second"}));
  EXPECT_EQ(s.sheet.currentPage(), 0);
}

TEST(OperationSheet, SecondRefusingComesToTheFrontAndOkAsksBothAgain) {
  Sheet s;
  s.first->edit()->setText(QStringLiteral("value one"));
  s.first->answer(true);
  s.second->answer(false);
  s.ok();
  EXPECT_EQ(s.log, (Log{"init first", "init second", "validate first", "validate second"}));
  EXPECT_EQ(s.sheet.tabs()->currentIndex(), 1);
  EXPECT_EQ(s.sheet.currentPage(), 1);
  EXPECT_TRUE(s.sheet.isVisible());
  EXPECT_EQ(s.finished, -1);
  EXPECT_EQ(s.first->edit()->text(), QStringLiteral("value one"));

  s.log.clear();
  s.first->answer(true);
  s.second->answer(true);
  s.ok();
  EXPECT_EQ(s.log, (Log{"validate first", "validate second", "close first", "close second"}));
  EXPECT_EQ(s.finished, QDialog::Accepted);
  EXPECT_EQ(s.first->closedValue_, QStringLiteral("value one"));
}

TEST(OperationSheet, FirstRefusingStopsThePass) {
  Sheet s;
  s.sheet.SelectPage(1);
  s.first->answer(false);
  s.ok();
  EXPECT_EQ(s.log, (Log{"init first", "init second", "validate first"}));
  EXPECT_EQ(s.sheet.tabs()->currentIndex(), 0);
  EXPECT_EQ(s.finished, -1);
}

TEST(OperationSheet, OnePageSheetValidatesAndClosesAlike) {
  Sheet s(false);
  ASSERT_EQ(s.sheet.tabs()->count(), 1);
  s.first->answer(false);
  s.ok();
  EXPECT_EQ(s.finished, -1);
  s.first->answer(true);
  // Enter is OK as well.
  QTest::keyClick(&s.sheet, Qt::Key_Return);
  EXPECT_EQ(s.log, (Log{"init first", "validate first", "validate first", "close first"}));
  EXPECT_EQ(s.finished, QDialog::Accepted);
}

TEST(OperationSheet, SwitchingTabsDisablesHiddenPages) {
  Sheet s;
  EXPECT_TRUE(s.first->isEnabled());
  EXPECT_FALSE(s.second->isEnabled());
  QTabBar* bar = s.sheet.tabs()->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(1).center());
  EXPECT_EQ(s.sheet.currentPage(), 1);
  EXPECT_FALSE(s.first->isEnabled());
  EXPECT_TRUE(s.second->isEnabled());
  EXPECT_FALSE(s.first->isVisible());
  // Focus cannot reach the hidden page's edit.
  s.first->edit()->setFocus();
  EXPECT_FALSE(s.first->edit()->hasFocus());
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(0).center());
  EXPECT_TRUE(s.first->isEnabled());
  EXPECT_FALSE(s.second->isEnabled());
}

TEST(OperationSheet, HelpButtonNeedsAContextF1DoesNot) {
  {
    Sheet s;
    QTest::mouseClick(s.sheet.helpButton(), Qt::LeftButton);
    QTest::keyClick(&s.sheet, Qt::Key_F1);
    EXPECT_EQ(s.help, (std::vector<int>{68, 68}));
  }
  {
    Sheet s;
    s.sheet.setHelpContext(0);
    QTest::mouseClick(s.sheet.helpButton(), Qt::LeftButton);
    EXPECT_TRUE(s.help.empty());
    QTest::keyClick(&s.sheet, Qt::Key_F1);
    EXPECT_EQ(s.help, std::vector<int>{0});
  }
}

TEST(OperationSheet, CancelSendsNothingToThePages) {
  for (bool escape : {false, true}) {
    Sheet s;
    s.first->answer(true);
    s.second->answer(true);
    if (escape) {
      QTest::keyClick(&s.sheet, Qt::Key_Escape);
    } else {
      QTest::mouseClick(s.sheet.cancelButton(), Qt::LeftButton);
    }
    EXPECT_EQ(s.log, (Log{"init first", "init second"})) << escape;
    EXPECT_EQ(s.finished, QDialog::Rejected) << escape;
  }
}

}  // namespace
}  // namespace dsutils::widgets
