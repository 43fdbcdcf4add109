// EncryptGroup run as a person runs it: the real sheet of WidgetUi, driven
// with QTest (two recipients chosen, OK), the real engine and toolkit, and
// each recipient opening the result with the stock openssl command.
#include <gtest/gtest.h>

#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <atomic>
#include <thread>

#include "dsutils/engine/operation_kit.h"
#include "dsutils/widgets/operation_sheet.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/recipients_page.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/gui_test.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using test_support::ProgramResult;
using widgets::COperationSheet;
using widgets::CRecipientsPage;

class EncryptSheetE2e : public OperationTest {};

TEST_F(EncryptSheetE2e, TwoRecipientsChosenInTheSheetEachDecryptWithTheStockCommand) {
  const OperationPki& pki = operation_pki(true);
  install_directory(pki);
  const std::string plain = "chosen in the sheet\n";
  write_file("docs/a.txt", plain);

  widgets::ScriptedPromptService prompts;
  prompts.queue(IDOK);  // the closing summary
  QPointer<COperationSheet> shown;
  widgets::WidgetUi ui(prompts);
  ui.setSheetShown([&shown](COperationSheet& sheet) { shown = &sheet; });

  OperationJob job;
  job.files << path("docs/a.txt");
  std::atomic<bool> done{false};
  int returned = -1;
  std::thread worker([&] {
    const OperationUiScope scope(&ui);
    returned = EncryptGroup(&job);
    done = true;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isNull() || done.load(); }, 30000));
  ASSERT_FALSE(shown.isNull()) << "the operation ended without its sheet";
  ASSERT_TRUE(QTest::qWaitForWindowExposed(shown.data()));
  CRecipientsPage* page = dynamic_cast<CRecipientsPage*>(shown->page(1));
  ASSERT_NE(page, nullptr);
  QTabWidget* tabs = shown->tabs();
  QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, Qt::NoModifier, tabs->tabBar()->tabRect(1).center());
  // The two other users, chosen with clicks and Add.
  widgets::SortableListCtrl* list = page->directoryList();
  list->setFocus();
  int chosen = 0;
  for (int r = 0; r < list->rows().rowCount(); ++r) {
    const QString serial = list->rows().text(r, 3);
    if (serial != QStringLiteral("61") && serial != QStringLiteral("62")) continue;
    const QPoint at = list->visualRect(list->rows().index(r, 1)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, chosen == 0 ? Qt::NoModifier : Qt::ControlModifier, at);
    ++chosen;
  }
  ASSERT_EQ(chosen, 2);
  ASSERT_TRUE(page->addButton()->isEnabled());
  QTest::mouseClick(page->addButton(), Qt::LeftButton);
  ASSERT_EQ(page->recipientsList()->rows().rowCount(), 2);
  QTest::mouseClick(shown->okButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 60000));
  worker.join();
  ASSERT_EQ(returned, 1);
  ASSERT_EQ(job.result, kOpOk);
  EXPECT_EQ(prompts.unexpected(), 0);

  const std::string enveloped = read_file(path("docs/a.txt.enc"));
  ASSERT_FALSE(enveloped.empty());
  EXPECT_EQ(enveloped.find(plain), std::string::npos);
  EXPECT_EQ(recipients_of(path("docs/a.txt.enc")), 2);
  // `openssl cms` knows no RUS-GAMMAR content cipher: each recipient
  // unwraps its copy of the content key with `pkeyutl -decrypt` and
  // decrypts the content with `enc -d -rus-gammar` of the provider module.
  struct Reader {
    const PkiParty* party;
    long serial;
  };
  for (const Reader& reader : {Reader{&pki.user1, 0x61}, Reader{&pki.user2, 0x62}}) {
    SCOPED_TRACE(reader.serial);
    const QString key = pem_file(reader.party->keyPem, QStringLiteral("reader.key"));
    Envelope e;
    ASSERT_TRUE(open_envelope(enveloped, reader.serial, e));
    std::string cek;
    ASSERT_NO_FATAL_FAILURE(stock_unwrap_key(DOSSAR_OPENSSL_PROGRAM, e, key, cek));
    const ProgramResult decrypted =
        stock_decrypt_content(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, e, cek, path("plain.out"));
    EXPECT_EQ(decrypted.status, 0) << decrypted.output;
    EXPECT_EQ(read_file(path("plain.out")), plain);
  }
}

}  // namespace
}  // namespace dsutils::testing
