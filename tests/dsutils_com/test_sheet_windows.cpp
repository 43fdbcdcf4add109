// The three sheets as the engine gets them through WidgetUi: asked from a
// worker thread, shown on the GUI thread, checked for their texts, pictured,
// and answered with OK or Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/operation_sheet.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/recipients_page.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils_com/recipient_directory.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dsutils::testing::add_other_user;
using dsutils::testing::add_personal_entry;
using dsutils::testing::make_user_certificate;
using dsutils::testing::serial_text;
using dsutils::testing::set_executor_entry;

class SheetWindows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ready_ = dsutils::testing::start_test_crypto(); }
  void SetUp() override {
    ASSERT_TRUE(ready_);
    ASSERT_TRUE(dir_.isValid());
    qputenv("DOSSAR_REGISTRY_DB", (dir_.path() + "/registry.db").toUtf8());
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
    for (long serial : {0x61L, 0x62L}) {
      const QByteArray der = make_user_certificate(QStringLiteral("Получатель %1").arg(serial, 0, 16), serial);
      ASSERT_FALSE(der.isEmpty());
      ASSERT_TRUE(add_other_user(serial_text(serial), der, QStringLiteral("Псевдоним %1").arg(serial, 0, 16)));
    }
    const QByteArray own = make_user_certificate(QStringLiteral("Исполнитель"), 0x71);
    ASSERT_TRUE(add_personal_entry(serial_text(0x71), own, QStringLiteral("Мой ключ")));
    ASSERT_TRUE(set_executor_entry(serial_text(0x71)));
    document_ = dir_.path() + QStringLiteral("/документ.txt");
  }
  void TearDown() override {
    qunsetenv("DOSSAR_REGISTRY_DB");
    qunsetenv("XDG_CONFIG_HOME");
  }

  // Runs `ask` on a worker; `drive` gets the shown sheet on this (the GUI)
  // thread and closes it.
  template <class Answer>
  Answer run(const std::function<Answer(WidgetUi&)>& ask, const std::function<void(COperationSheet&)>& drive) {
    QPointer<COperationSheet> shown;
    WidgetUi ui(prompts_);
    ui.setFileDialogs(&files_);
    ui.setSheetShown([&shown](COperationSheet& sheet) { shown = &sheet; });
    Answer answer;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      answer = ask(ui);
      finished = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.isNull() || finished.load(); }, 10000));
    if (shown) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(shown.data()));
      drive(*shown);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, 10000));
    worker.join();
    return answer;
  }

  static void expect_sheet_texts(COperationSheet& sheet, const QString& title, const QStringList& tabs) {
    EXPECT_EQ(sheet.windowTitle(), title);
    EXPECT_EQ(sheet.okButton()->text(), QStringLiteral("Зашифровать"));
    EXPECT_EQ(sheet.cancelButton()->text(), QStringLiteral("Отмена"));
    EXPECT_EQ(sheet.helpButton()->text(), QStringLiteral("Справка"));
    ASSERT_EQ(sheet.tabs()->count(), tabs.size());
    for (int i = 0; i < tabs.size(); ++i) EXPECT_EQ(sheet.tabs()->tabText(i), tabs[i]);
    EXPECT_TRUE(sheet.windowFlags() & Qt::WindowStaysOnTopHint);
  }
  static QStringList group_titles(QWidget* root) {
    QStringList out;
    for (QGroupBox* g : root->findChildren<QGroupBox*>())
      if (!g->title().isEmpty() && g->isVisibleTo(root)) out << g->title();
    return out;
  }
  static QStringList labels(QWidget* root) {
    QStringList out;
    for (QLabel* l : root->findChildren<QLabel*>())
      if (!l->text().isEmpty()) out << l->text();
    return out;
  }
  // The recipients page of the sheet, its first directory row chosen.
  static CRecipientsPage* choose_first(COperationSheet& sheet) {
    CRecipientsPage* page = nullptr;
    for (int i = 0; i < sheet.pageCount(); ++i)
      if (auto* p = dynamic_cast<CRecipientsPage*>(sheet.page(i))) page = p;
    if (page == nullptr) return nullptr;
    sheet.tabs()->setCurrentWidget(page);
    page->directoryList()->selectRow(0, true);
    page->OnAdd();
    return page;
  }

  static inline bool ready_ = false;
  QTemporaryDir dir_;
  QString document_;
  ScriptedPromptService prompts_;
  ScriptedFileDialogService files_;
};

TEST_F(SheetWindows, EncryptSheet) {
  const EncryptAnswer answer = run<EncryptAnswer>(
      [this](WidgetUi& ui) {
        return ui.askEncrypt(EncryptRequest{QStringLiteral("Зашифровать"), 68, document_, false});
      },
      [](COperationSheet& sheet) {
        expect_sheet_texts(sheet, QStringLiteral("Зашифровать"),
                           {QStringLiteral(" Документ "), QStringLiteral(" Получатели ")});
        EXPECT_EQ(sheet.helpContext(), 68);
        auto* page = dynamic_cast<CEncryptFilePage*>(sheet.page(0));
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(group_titles(page), QStringList{QStringLiteral("Файл для шифрования ")});
        EXPECT_EQ(labels(page), QStringList{QStringLiteral("Имя файла с зашифрованными данными")});
        gui_test::expect_no_clipped_text(&sheet);
        gui_test::screenshot(&sheet, "operation_sheet_encrypt");
        CRecipientsPage* recipients = choose_first(sheet);
        ASSERT_NE(recipients, nullptr);
        QStringList titles = group_titles(recipients);
        titles.sort();
        EXPECT_EQ(titles, (QStringList{QStringLiteral(" Локальный справочник сертификатов "),
                                       QStringLiteral(" Сертификаты получателей ")}));
        gui_test::expect_no_clipped_text(&sheet);
        gui_test::screenshot(&sheet, "operation_sheet_encrypt_recipients");
        QTest::mouseClick(sheet.okButton(), Qt::LeftButton);
      });
  EXPECT_TRUE(answer.accepted);
  EXPECT_EQ(answer.outputName, document_ + QStringLiteral(".enc"));
  EXPECT_EQ(answer.recipients, QStringList{QStringLiteral("61")});
  EXPECT_TRUE(prompts_.seen().empty());
}

TEST_F(SheetWindows, SignEncryptSheet) {
  const SignEncryptAnswer answer = run<SignEncryptAnswer>(
      [this](WidgetUi& ui) {
        return ui.askSignEncrypt(SignEncryptRequest{QStringLiteral("Подписать и зашифровать"), 69, document_, false});
      },
      [](COperationSheet& sheet) {
        expect_sheet_texts(sheet, QStringLiteral("Подписать и зашифровать"),
                           {QStringLiteral(" Документ "), QStringLiteral(" Получатели ")});
        EXPECT_EQ(sheet.helpContext(), 69);
        auto* page = dynamic_cast<CSignPage*>(sheet.page(0));
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->detachedBox()->text(), QStringLiteral("Сформировать отсоединенную подпись"));
        EXPECT_EQ(page->certificateBox()->text(), QStringLiteral("Включить сертификат в подпись"));
        EXPECT_EQ(page->timeBox()->text(), QStringLiteral("Включить метку времени в подпись"));
        // The executor is the chosen author.
        EXPECT_EQ(page->authorCombo()->currentText(), QStringLiteral("Мой ключ"));
        // The format choice exists but is not shown.
        bool hiddenFormat = false;
        for (QGroupBox* g : page->findChildren<QGroupBox*>())
          if (g->title() == QStringLiteral(" Формат выходных данных: ")) hiddenFormat = !g->isVisibleTo(page);
        EXPECT_TRUE(hiddenFormat);
        gui_test::expect_no_clipped_text(&sheet);
        gui_test::screenshot(&sheet, "operation_sheet_sign_encrypt");
        ASSERT_NE(choose_first(sheet), nullptr);
        QTest::mouseClick(sheet.okButton(), Qt::LeftButton);
      });
  EXPECT_TRUE(answer.accepted);
  EXPECT_EQ(answer.outputName.toStdString(), (document_ + sign_page_extension(answer.detached)).toStdString());
  ASSERT_TRUE(answer.author.has_value());
  EXPECT_EQ(answer.author->name, QStringLiteral("71"));
  EXPECT_EQ(answer.recipients, QStringList{QStringLiteral("61")});
}

TEST_F(SheetWindows, MailSheetHasTheRecipientsPageAlone) {
  const RecipientsAnswer answer = run<RecipientsAnswer>(
      [](WidgetUi& ui) { return ui.askRecipients(RecipientsRequest{QStringLiteral("Задайте получателя")}); },
      [](COperationSheet& sheet) {
        expect_sheet_texts(sheet, QStringLiteral("Задайте получателя"), {QStringLiteral(" Получатели ")});
        EXPECT_EQ(sheet.helpContext(), 0);
        ASSERT_NE(choose_first(sheet), nullptr);
        gui_test::expect_no_clipped_text(&sheet);
        gui_test::screenshot(&sheet, "operation_sheet_mail");
        QTest::mouseClick(sheet.okButton(), Qt::LeftButton);
      });
  EXPECT_TRUE(answer.accepted);
  EXPECT_EQ(answer.names, QStringList{QStringLiteral("61")});
}

TEST_F(SheetWindows, CancelAnswersNotAccepted) {
  const EncryptAnswer answer = run<EncryptAnswer>(
      [this](WidgetUi& ui) {
        return ui.askEncrypt(EncryptRequest{QStringLiteral("Зашифровать"), 68, document_, false});
      },
      [](COperationSheet& sheet) { QTest::mouseClick(sheet.cancelButton(), Qt::LeftButton); });
  EXPECT_FALSE(answer.accepted);
  EXPECT_TRUE(answer.recipients.isEmpty());
}

}  // namespace
}  // namespace dsutils::widgets
