// End to end, as a person would: UnpackFile of a signed-then-encrypted file
// runs on a worker thread with the real WidgetUi; the test clicks through
// the real decrypt window, the real protocol window and the message boxes.
// With the extract box ticked the document comes out; cleared, it does not.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "dsutils/engine/unpack_file.h"
#include "dsutils/widgets/decrypt_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/verify_protocol_dialog.h"
#include "dsutils/widgets/widget_ui.h"
#include "platform/registry/registry_key.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dsutils::testing::bytes;
using dsutils::testing::UnpackFixture;

const std::string kDocument = "the document inside, signed and sealed\n";

// A person at the screen: boxes get No (or OK); the two windows go to the
// handlers.
class Person : public dialog_test::ScreenPerson {
 public:
  Person() : ScreenPerson(QMessageBox::No) {}
  std::function<void(CDecryptDlg&)> onDecrypt;
  std::function<void(CVerifyProtocolDlg&)> onProtocol;
  int decryptWindows = 0, protocolWindows = 0;

 protected:
  bool take(QWidget* w) override {
    if (auto* d = dynamic_cast<CDecryptDlg*>(w)) {
      ++decryptWindows;
      if (onDecrypt) onDecrypt(*d);
      return true;
    }
    if (auto* p = dynamic_cast<CVerifyProtocolDlg*>(w)) {
      ++protocolWindows;
      if (onProtocol) onProtocol(*p);
      return true;
    }
    return false;
  }
};

class UnpackDialogsE2e : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("keys")));
    const std::vector<unsigned char> p8 = test_support::encrypted_pkcs8(partyA().key.get(), "pw-a");
    write_file("keys/a.p8", std::string(p8.begin(), p8.end()));
    set_owner(bytes(partyA().der), path("keys/a.p8"));
    directory_user("2A", bytes(partyA().der));
    platform::reg::RegistryKey log;
    open_key(log, "\\Property\\Log");
    ASSERT_TRUE(log.SetDword("UnPackDoc", 1));
    write_file("docs/doc.txt", kDocument);
    ASSERT_EQ(sign(path("docs/doc.txt"), path("docs/doc.txt.sgn"), {&partyA()}, true), quillon2::QL_OK);
    ASSERT_EQ(encrypt(path("docs/doc.txt.sgn"), path("docs/doc.txt.sgn.enc"), partyA()), quillon2::QL_OK);
    ASSERT_TRUE(QFile::remove(path("docs/doc.txt")));
    ASSERT_TRUE(QFile::remove(path("docs/doc.txt.sgn")));
    // A new operation's toolkit: the key comes from its file.
    restart_toolkit(false);
  }

  int unpack() {
    OperationJob job;
    job.files = QStringList{path("docs/doc.txt.sgn.enc")};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      const OperationUiScope scope(&ui_);
      UnpackFile(&job);
      done.store(true);
    });
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 120000);
    worker.join();
    EXPECT_TRUE(ended);
    return job.result;
  }

  void run_case(bool extract) {
    person_.onDecrypt = [this](CDecryptDlg& dlg) {
      EXPECT_EQ(dlg.list()->rows().rowCount(), 1);
      EXPECT_EQ(dlg.list()->rows().row(0).image, kDecryptExecutor);
      EXPECT_EQ(dlg.outputEdit()->text(), path("docs/doc.txt.sgn"));
      EXPECT_TRUE(dialog_test::click_button(&dlg, QStringLiteral("Расшифровать")));
    };
    person_.onProtocol = [extract](CVerifyProtocolDlg& dlg) {
      EXPECT_EQ(dlg.rows().rowCount(), 1);
      EXPECT_EQ(dlg.rows().text(0, 1), QStringLiteral("Party A"));
      EXPECT_EQ(dlg.rows().text(0, 5), QStringLiteral("Подпись подтверждена"));
      EXPECT_TRUE(dlg.extractBox()->isEnabled());
      EXPECT_TRUE(dlg.extractBox()->isChecked()) << "UnPackDoc is on";
      if (!extract) dlg.extractBox()->click();
      EXPECT_TRUE(dialog_test::click_button(&dlg, extract ? QStringLiteral("Продолжить") : QStringLiteral("Закрыть")));
    };
    EXPECT_EQ(unpack(), kOpOk);
    EXPECT_EQ(person_.decryptWindows, 1);
    EXPECT_EQ(person_.protocolWindows, 1);
  }

  BoxPromptService prompts_;
  dialog_test::PasswordAnsweringUi ui_{prompts_, "pw-a"};
  Person person_;
};

TEST_F(UnpackDialogsE2e, TheTickedBoxExtractsTheDocument) {
  run_case(true);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
  ASSERT_FALSE(person_.boxes.isEmpty());
  EXPECT_TRUE(person_.boxes.last().startsWith(QStringLiteral("Документ расшифрован и проверен!")))
      << person_.boxes.last().toStdString();
}

TEST_F(UnpackDialogsE2e, TheClearedBoxLeavesTheSignedFile) {
  run_case(false);
  EXPECT_FALSE(QFile::exists(path("docs/doc.txt")));
  EXPECT_TRUE(QFile::exists(path("docs/doc.txt.sgn"))) << "the decrypted signed file stays";
}

}  // namespace
}  // namespace dsutils::widgets
