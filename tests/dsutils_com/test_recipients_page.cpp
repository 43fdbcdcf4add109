// The recipients page over a scratch directory of real certificates: the
// fill, the saved recipients, the moves between the lists, validation,
// closing and the button states.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/recipients_page.h"
#include "tests/dsutils_com/recipient_directory.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dsutils::testing::add_other_user;
using dsutils::testing::add_personal_entry;
using dsutils::testing::make_user_certificate;
using dsutils::testing::serial_text;
using dsutils::testing::set_executor_entry;
using dsutils::testing::store_users_bytes;
using dsutils::testing::stored_users;

const QString kOnlyExecutor =
    QStringLiteral("В списке получателей задан только сертификат Исполнителя!\n\nДобавить других получателей?");
const QString kNone = QStringLiteral("Не заданы сертификаты получателей!");

class RecipientsPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_ = new QTemporaryDir();
    qputenv("DOSSAR_REGISTRY_DB", (suite_->path() + "/suite.db").toUtf8());
    ready_ = dsutils::testing::start_test_crypto();
    session_ = new CryptoSession();
    session_->Open();
  }
  static void TearDownTestSuite() {
    session_->Close();
    delete session_;
    delete suite_;
    qunsetenv("DOSSAR_REGISTRY_DB");
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << "the test crypto could not start";
    ASSERT_TRUE(dir_.isValid());
    qputenv("DOSSAR_REGISTRY_DB", (dir_.path() + "/registry.db").toUtf8());
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
  }
  void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }

  // Users "Пользователь 61".."Пользователь 6n" with aliases, in this order.
  void users(int n, int first = 0x61) {
    for (int i = 0; i < n; ++i) {
      const long serial = first + i;
      const QByteArray der = make_user_certificate(QStringLiteral("Пользователь %1").arg(serial, 0, 16), serial);
      ASSERT_FALSE(der.isEmpty());
      ASSERT_TRUE(add_other_user(serial_text(serial), der, QStringLiteral("Псевдоним %1").arg(serial, 0, 16)));
    }
  }
  // Personal entries 71 (the executor when `executor`) and 72.
  void personal(bool executor) {
    for (long serial : {0x71L, 0x72L}) {
      const QByteArray der = make_user_certificate(QStringLiteral("Личный %1").arg(serial, 0, 16), serial);
      ASSERT_FALSE(der.isEmpty());
      ASSERT_TRUE(add_personal_entry(serial_text(serial), der, QStringLiteral("Свой %1").arg(serial, 0, 16)));
    }
    if (executor) {
      ASSERT_TRUE(set_executor_entry(serial_text(0x71)));
    }
  }
  std::unique_ptr<CRecipientsPage> page() {
    auto p = std::make_unique<CRecipientsPage>(prompts_);
    p->setDescriber(session_);
    p->initPage();
    return p;
  }
  static QStringList column(const SortableListCtrl& list, int c) {
    QStringList out;
    for (int r = 0; r < list.rows().rowCount(); ++r) out << list.rows().text(r, c);
    return out;
  }
  static std::vector<int> images(const SortableListCtrl& list) {
    std::vector<int> out;
    for (int r = 0; r < list.rows().rowCount(); ++r) out.push_back(list.rows().row(r).image);
    return out;
  }
  static bool validate(CRecipientsPage& p) {
    bool accepted = false;
    p.command(ID_PAGE_VALIDATE, &accepted);
    return accepted;
  }

  static inline QTemporaryDir* suite_ = nullptr;
  static inline CryptoSession* session_ = nullptr;
  static inline bool ready_ = false;
  QTemporaryDir dir_;
  ScriptedPromptService prompts_;
};

TEST_F(RecipientsPage, FillOrderColumnsAndImages) {
  users(2);
  personal(true);
  auto p = page();
  const SortableListCtrl& d = *p->directoryList();
  ASSERT_EQ(d.rows().rowCount(), 4);
  EXPECT_EQ(column(d, 0), (QStringList{"1", "2", "3", "4"}));
  EXPECT_EQ(column(d, 1), (QStringList{"Пользователь 61", "Пользователь 62", "Личный 71", "Личный 72"}));
  EXPECT_EQ(column(d, 2), (QStringList{"Тестовый УЦ", "Тестовый УЦ", "Тестовый УЦ", "Тестовый УЦ"}));
  EXPECT_EQ(column(d, 3), (QStringList{"61", "62", "71", "72"}));
  EXPECT_EQ(column(d, 6), (QStringList{"Псевдоним 61", "Псевдоним 62", "Свой 71", "Свой 72"}));
  EXPECT_FALSE(d.rows().text(0, 4).isEmpty());
  EXPECT_FALSE(d.rows().text(0, 5).isEmpty());
  EXPECT_EQ(images(d), (std::vector<int>{0, 0, 1, 2}));
  EXPECT_TRUE(p->fillComplete());
  // The headings, verbatim.
  const QStringList headings{"№",        "Владелец", "Издатель", "Серийный номер", "Начало периода", "Конец периода",
                             "Псевдоним"};
  for (int c = 0; c < 7; ++c) {
    EXPECT_EQ(d.rows().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headings[c]);
    EXPECT_EQ(p->recipientsList()->rows().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headings[c]);
  }
  EXPECT_EQ(p->addButton()->text(), QStringLiteral("Добавить"));
  EXPECT_EQ(p->removeButton()->text(), QStringLiteral("Удалить"));
  EXPECT_EQ(p->clearButton()->text(), QStringLiteral("Очистить"));
  EXPECT_EQ(p->viewButton()->text(), QStringLiteral("Просмотр"));
}

TEST_F(RecipientsPage, WithoutExecutorPersonalRowsHaveImageZero) {
  users(1);
  personal(false);
  auto p = page();
  EXPECT_EQ(images(*p->directoryList()), (std::vector<int>{0, 0, 0}));
}

TEST_F(RecipientsPage, SavedRecipientsArePreselected) {
  users(3);
  personal(true);
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"62", "71"}));
  const QByteArray before = stored_users();
  auto p = page();
  EXPECT_EQ(column(*p->recipientsList(), 3), (QStringList{"62", "71"}));
  EXPECT_EQ(column(*p->recipientsList(), 0), (QStringList{"1", "2"}));
  EXPECT_EQ(column(*p->directoryList(), 3), (QStringList{"61", "63", "72"}));
  EXPECT_EQ(column(*p->directoryList(), 0), (QStringList{"1", "2", "3"}));
  EXPECT_EQ(images(*p->recipientsList()), (std::vector<int>{0, 1}));
  EXPECT_EQ(stored_users(), before);
  EXPECT_TRUE(p->clearButton()->isEnabled());
}

TEST_F(RecipientsPage, ADeletedNameIsPrunedAndWrittenBack) {
  users(2);
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"7F", "62", "7E"}));
  auto p = page();
  EXPECT_EQ(column(*p->recipientsList(), 3), QStringList{"62"});
  std::uint32_t isAuto = 0;
  QStringList saved;
  SavedListState state = SavedListState::Unreadable;
  ASSERT_TRUE(engine_helper().GetEncryptSettings(isAuto, saved, &state));
  EXPECT_EQ(state, SavedListState::Read);
  EXPECT_EQ(saved, QStringList{"62"});
}

TEST_F(RecipientsPage, AnUndecodableCertificateChangesNothingStored) {
  users(2);
  ASSERT_TRUE(add_other_user(QStringLiteral("63"), QByteArray("not a certificate"), QString()));
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"63", "62", "7F"}));
  const QByteArray before = stored_users();
  auto p = page();
  EXPECT_FALSE(p->fillComplete());
  EXPECT_EQ(column(*p->directoryList(), 3), QStringList{"61"});
  EXPECT_EQ(column(*p->recipientsList(), 3), QStringList{"62"});
  EXPECT_EQ(stored_users(), before);
}

TEST_F(RecipientsPage, AnExecutorThatCannotBeDescribedIsListedAsNoExecutor) {
  users(1);
  personal(false);
  ASSERT_TRUE(add_personal_entry(QStringLiteral("7A"), QByteArray("broken"), QStringLiteral("Сломанный")));
  ASSERT_TRUE(set_executor_entry(QStringLiteral("7A")));
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"61", "7D"}));
  const QByteArray before = stored_users();
  auto p = page();
  EXPECT_FALSE(p->fillComplete());
  EXPECT_EQ(column(*p->directoryList(), 3), (QStringList{"71", "72"}));
  EXPECT_EQ(images(*p->directoryList()), (std::vector<int>{0, 0}));
  EXPECT_EQ(column(*p->recipientsList(), 3), QStringList{"61"});
  EXPECT_EQ(stored_users(), before);
}

TEST_F(RecipientsPage, ADamagedSavedListStaysByteIdentical) {
  users(2);
  const QByteArray damaged(
      "\x03\x00\x01"
      "a",
      4);
  ASSERT_TRUE(store_users_bytes(damaged));
  auto p = page();
  EXPECT_FALSE(p->savedListReadable());
  EXPECT_EQ(p->recipientsList()->rows().rowCount(), 0);
  EXPECT_EQ(stored_users(), damaged);
  // Closing with recipients chosen writes nothing either.
  p->directoryList()->selectRow(0, true);
  p->OnAdd();
  p->closePage();
  EXPECT_EQ(stored_users(), damaged);
}

TEST_F(RecipientsPage, FiveHundredRecipientsAreSavedAndReadBack) {
  QStringList names;
  for (int i = 0; i < 500; ++i) names << serial_text(0x100000 + i) + QStringLiteral("0123456789ABCDEF");
  ASSERT_TRUE(engine_helper().SetEncryptUsers(names));
  EXPECT_GT(stored_users().size(), 4096);
  std::uint32_t isAuto = 0;
  QStringList back;
  SavedListState state = SavedListState::Unreadable;
  ASSERT_TRUE(engine_helper().GetEncryptSettings(isAuto, back, &state));
  EXPECT_EQ(state, SavedListState::Read);
  EXPECT_EQ(back, names);
}

TEST_F(RecipientsPage, RemovingTheFirstOfFiveRenumbers) {
  users(5);
  auto p = page();
  p->directoryList()->selectRow(0, true);
  p->OnAdd();
  EXPECT_EQ(column(*p->directoryList(), 0), (QStringList{"1", "2", "3", "4"}));
  EXPECT_EQ(column(*p->directoryList(), 3), (QStringList{"62", "63", "64", "65"}));
  EXPECT_EQ(column(*p->recipientsList(), 3), QStringList{"61"});
  EXPECT_FALSE(p->addButton()->isEnabled());
  EXPECT_TRUE(p->clearButton()->isEnabled());
  // And back.
  p->recipientsList()->selectRow(0, true);
  p->OnRemove();
  EXPECT_EQ(column(*p->directoryList(), 0), (QStringList{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(column(*p->directoryList(), 3), (QStringList{"62", "63", "64", "65", "61"}));
  EXPECT_FALSE(p->removeButton()->isEnabled());
}

TEST_F(RecipientsPage, DoubleClicksAndClearMoveRows) {
  users(3);
  auto p = page();
  p->resize(900, 600);
  p->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(p.get()));
  SortableListCtrl* d = p->directoryList();
  const QRect second = d->visualRect(d->rows().index(1, 1));
  // A person's double click: a click, then the second press.
  QTest::mouseClick(d->viewport(), Qt::LeftButton, Qt::NoModifier, second.center());
  QTest::mouseDClick(d->viewport(), Qt::LeftButton, Qt::NoModifier, second.center());
  EXPECT_EQ(column(*p->recipientsList(), 3), QStringList{"62"});
  SortableListCtrl* r = p->recipientsList();
  const QPoint first = r->visualRect(r->rows().index(0, 1)).center();
  QTest::mouseClick(r->viewport(), Qt::LeftButton, Qt::NoModifier, first);
  QTest::mouseDClick(r->viewport(), Qt::LeftButton, Qt::NoModifier, first);
  EXPECT_EQ(r->rows().rowCount(), 0);
  d->selectAll();
  p->OnAdd();
  EXPECT_EQ(r->rows().rowCount(), 3);
  p->OnClear();
  EXPECT_EQ(r->rows().rowCount(), 0);
  EXPECT_EQ(d->rows().rowCount(), 3);
  EXPECT_FALSE(p->clearButton()->isEnabled());
  EXPECT_FALSE(p->removeButton()->isEnabled());
}

TEST_F(RecipientsPage, ResultFollowsTheUsersSortOrder) {
  users(3);
  auto p = page();
  p->directoryList()->selectAll();
  p->OnAdd();
  ASSERT_EQ(column(*p->recipientsList(), 3), (QStringList{"61", "62", "63"}));
  p->recipientsList()->SortByColumn(3, false);  // descending
  ASSERT_TRUE(validate(*p));
  p->closePage();
  EXPECT_EQ(p->results(), (QStringList{"63", "62", "61"}));
  EXPECT_TRUE(prompts_.seen().empty());
}

TEST_F(RecipientsPage, Validation) {
  struct Case {
    const char* name;
    bool executor;
    QStringList chosen;
    std::vector<int> answers;
    bool accepts;
    std::vector<QString> boxes;
  };
  const Case cases[] = {
      {"two, one the executor", true, {"61", "71"}, {}, true, {}},
      {"one other user", true, {"61"}, {}, true, {}},
      {"the executor alone, Yes: add more", true, {"71"}, {IDYES}, false, {kOnlyExecutor}},
      {"the executor alone, No: encrypt for it", true, {"71"}, {IDNO}, true, {kOnlyExecutor}},
      {"one recipient and no executor", false, {"61"}, {}, true, {}},
      {"none", true, {}, {IDOK}, false, {kNone}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qputenv("DOSSAR_REGISTRY_DB", (dir_.path() + "/" + c.name + ".db").toUtf8());
    users(1);
    personal(c.executor);
    ASSERT_TRUE(engine_helper().SetEncryptUsers(c.chosen));
    ScriptedPromptService prompts;
    for (int a : c.answers) prompts.queue(a);
    CRecipientsPage p(prompts);
    p.setDescriber(session_);
    p.initPage();
    ASSERT_EQ(p.recipientsList()->rows().rowCount(), c.chosen.size());
    EXPECT_EQ(validate(p), c.accepts);
    std::vector<QString> boxes;
    for (const auto& s : prompts.seen()) boxes.push_back(s.text);
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(prompts.unexpected(), 0);
  }
}

TEST_F(RecipientsPage, FocusRulesForAddAndRemove) {
  users(3);
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"63"}));
  auto p = page();
  p->show();
  p->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(p.get()));
  SortableListCtrl* d = p->directoryList();
  SortableListCtrl* r = p->recipientsList();

  d->clearSelection();
  d->setFocus();
  EXPECT_EQ(p->focusFlag(), 1);
  EXPECT_FALSE(p->addButton()->isEnabled()) << "no selection";
  d->selectRow(0, true);
  EXPECT_TRUE(p->addButton()->isEnabled());
  EXPECT_FALSE(p->removeButton()->isEnabled());
  // Focus going to Add keeps it enabled (the click lands).
  p->addButton()->setFocus();
  EXPECT_TRUE(p->addButton()->isEnabled());
  // Focus going elsewhere disables it.
  d->setFocus();
  p->viewButton()->setFocus();
  EXPECT_FALSE(p->addButton()->isEnabled());

  r->selectRow(0, true);
  r->setFocus();
  EXPECT_EQ(p->focusFlag(), 0);
  EXPECT_TRUE(p->removeButton()->isEnabled());
  EXPECT_FALSE(p->addButton()->isEnabled());
  p->removeButton()->setFocus();
  EXPECT_TRUE(p->removeButton()->isEnabled());
  r->setFocus();
  d->setFocus();
  EXPECT_FALSE(p->removeButton()->isEnabled());
}

TEST_F(RecipientsPage, ViewNeedsExactlyOneRecipient) {
  users(2);
  ASSERT_TRUE(engine_helper().SetEncryptUsers({"61", "62"}));
  auto p = page();
  std::vector<QByteArray> shown;
  p->setViewer([&shown](const QByteArray& der) { shown.push_back(der); });
  p->recipientsList()->selectAll();
  p->OnView();
  EXPECT_TRUE(shown.empty());
  p->recipientsList()->clearSelection();
  p->recipientsList()->selectRow(1, true);
  p->OnView();
  ASSERT_EQ(shown.size(), 1u);
  QByteArray expected;
  ASSERT_TRUE(engine_helper().LoadDirectoryCertificate(QStringLiteral("62"), expected));
  EXPECT_EQ(shown[0], expected);
}

TEST_F(RecipientsPage, ColumnWidthsAreSavedOnClose) {
  users(1);
  {
    auto p = page();
    p->recipientsList()->setColumnWidth(1, 333);
    p->directoryList()->setColumnWidth(1, 222);
    p->closePage();
  }
  auto again = page();
  EXPECT_EQ(again->recipientsList()->GetSavedColumnWidth(1), 333);
  EXPECT_EQ(again->directoryList()->GetSavedColumnWidth(1), 222);
}

}  // namespace
}  // namespace dsutils::widgets
