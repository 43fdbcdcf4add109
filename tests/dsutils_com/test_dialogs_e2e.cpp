// End to end, as a person would: the file manager's host runs its sign and
// add-signature commands in this process (ShellHost::run over the engine's
// operations and the real WidgetUi), and the test clicks through the real
// message boxes, the sign dialog and the key-medium dialog (the executor's
// key folder has moved, so it asks). What they write is checked by the
// stock `openssl cms -verify` and GNU tar.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <vector>

#include "dsutils/com/shell_host.h"
#include "dsutils/widgets/key_medium_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/sign_dialog.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using test_support::ProgramResult;
using widgets::CKeyMediumDlg;
using widgets::CSignDlg;
using widgets::dialog_test::click_button;

// A person at the screen: every message box gets Yes (or OK); the sign and
// key-medium dialogs go to the handlers.
class Person : public widgets::dialog_test::ScreenPerson {
 public:
  Person() : ScreenPerson(QMessageBox::Yes) {}
  std::function<void(CSignDlg&)> onSign;
  std::function<void(CKeyMediumDlg&)> onKeyMedium;
  int signDialogs = 0, keyMediumDialogs = 0;

 protected:
  bool take(QWidget* w) override {
    if (auto* sign = dynamic_cast<CSignDlg*>(w)) {
      ++signDialogs;
      if (onSign) onSign(*sign);
      return true;
    }
    if (auto* medium = dynamic_cast<CKeyMediumDlg*>(w)) {
      ++keyMediumDialogs;
      if (onKeyMedium) onKeyMedium(*medium);
      return true;
    }
    return false;
  }
};

// Clicks a button of a dialog; a missing one fails the test and closes the
// dialog, so the operation waiting for it ends.
void press(QDialog& dlg, const QString& text) {
  const bool clicked = click_button(&dlg, text);
  EXPECT_TRUE(clicked) << text.toStdString();
  if (!clicked) dlg.reject();
}

bool program_runs(const std::vector<std::string>& argv) { return test_support::run_program(argv).status == 0; }

class DialogsE2e : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    if (!program_runs({"tar", "--version"}) || !program_runs({DOSSAR_OPENSSL_PROGRAM, "version"})) {
      if (under_ci()) FAIL() << "GNU tar or the openssl command cannot run";
      GTEST_SKIP() << "GNU tar or the openssl command cannot run here";
    }
    const OperationPki& pki = operation_pki(true);
    install_directory(pki);
    set_log_options(1, 1, 0);
    // The executor's key folder has moved: the entry still names the old one.
    platform::reg::RegistryKey exec;
    open_key(exec, "\\Certificats\\Owner\\exec");
    ASSERT_TRUE(exec.SetString("Path", path("old-key-folder").toStdString()));
    ASSERT_TRUE(exec.SetString("Profile", "Исполнитель"));
    // A second personal entry, for the added signature.
    write_file("keys/second.p8", pki.user1.keyPkcs8);
    platform::reg::RegistryKey second;
    open_key(second, "\\Certificats\\Owner\\second");
    ASSERT_TRUE(second.SetString("File", path("keys/second.p8").toStdString()));
    ASSERT_TRUE(second.SetString("Path", random_state_container(1).toStdString()));
    ASSERT_TRUE(second.SetString("Profile", "Второй подписант"));
    ASSERT_TRUE(second.SetDword("SCZI", 0));
    ASSERT_TRUE(
        second.SetBinary("SerNum", pki.user1.der.constData(), static_cast<std::uint32_t>(pki.user1.der.size())));

    person_.onKeyMedium = [this](CKeyMediumDlg& dlg) {
      keyMediumShownWith_ << dlg.mediumCombo()->currentText();
      QLineEdit* edit = dlg.mediumCombo()->lineEdit();
      edit->selectAll();
      QTest::keyClicks(edit, random_state_container());
      press(dlg, QStringLiteral("OK"));
    };
  }

  // The host's command line, run as the file manager starts it: the
  // operation on the host's worker, the windows served meanwhile. A window
  // nobody answers would hold the run: after two minutes the test fails
  // and every window still up is closed, once a second.
  int host(const QString& command, const QString& name) {
    bool late = false;
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      late = true;
      watchdog.setInterval(1000);
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog != nullptr && dialog->isVisible()) dialog->reject();
      }
    });
    watchdog.start(120000);
    ShellHost shell(engine_host_operations(), ui_);
    const int status = shell.run({command, QStringLiteral("--"), name});
    EXPECT_FALSE(late) << "a window was left unanswered";
    return status;
  }

  ProgramResult verify(const QString& signature, const QString& content, const std::string& signerPem) {
    test_support::ProgramOptions options;
    options.preload = test_support::sanitizer_runtime();
    if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    std::vector<std::string> args{DOSSAR_OPENSSL_PROGRAM,
                                  "cms",
                                  "-verify",
                                  "-binary",
                                  "-inform",
                                  "DER",
                                  "-CAfile",
                                  ca_pem(),
                                  "-certfile",
                                  signerPem,
                                  "-in",
                                  signature.toStdString(),
                                  "-out",
                                  path("verified.bin").toStdString()};
    if (!content.isEmpty()) args.insert(args.end(), {"-content", content.toStdString()});
    return test_support::run_program(args, options);
  }
  std::string ca_pem() const { return pem_file(operation_pki(true).ca.certPem, "ca.pem").toStdString(); }

  widgets::BoxPromptService prompts_;
  widgets::dialog_test::PasswordAnsweringUi ui_{prompts_, kKeyPassword};
  Person person_;
  QStringList keyMediumShownWith_;
};

TEST_F(DialogsE2e, SignAFolderOfTwoFilesThenAddASignatureToAnArchive) {
  const OperationPki& pki = operation_pki(true);
  const std::string execPem = pem_file(pki.executor.certPem, "exec.pem").toStdString();
  const std::string secondPem = pem_file(pki.user1.certPem, "second.pem").toStdString();
  std::filesystem::create_directories(path("docs/folder").toStdString());
  write_file("docs/folder/one.txt", "the first document\n");
  write_file("docs/folder/two.txt", "the second document\n");

  // The folder as the file manager passes it: group question, sign dialog
  // (group), key medium, summary.
  person_.onSign = [](CSignDlg& dlg) {
    EXPECT_EQ(dlg.outputEdit()->text(), "*.sgn");
    EXPECT_EQ(dlg.authorCombo()->currentText(), QStringLiteral("Исполнитель"));
    gui_test::screenshot(&dlg, "e2e_sign_group");
    press(dlg, QStringLiteral("Подписать"));
  };
  ASSERT_EQ(host(QStringLiteral("sign"), path("docs/folder")), kHostOk);
  EXPECT_EQ(person_.signDialogs, 1);
  EXPECT_EQ(person_.keyMediumDialogs, 1);
  ASSERT_EQ(keyMediumShownWith_.size(), 1);
  EXPECT_EQ(keyMediumShownWith_[0], path("old-key-folder"));
  ASSERT_GE(person_.boxes.size(), 2);
  EXPECT_TRUE(person_.boxes.first().contains(QStringLiteral("Подписать группу файлов?")));
  for (const char* name : {"one.txt", "two.txt"}) {
    SCOPED_TRACE(name);
    const QString sgn = path(QStringLiteral("docs/folder/%1.sgn").arg(name));
    ASSERT_TRUE(QFile::exists(sgn));
    const ProgramResult r = verify(sgn, QString(), execPem);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_file(path("verified.bin")), read_file(path(QStringLiteral("docs/folder/%1").arg(name))));
  }

  // One file, detached: an archive by the executor.
  person_.onSign = [](CSignDlg& dlg) {
    dlg.detachedBox()->click();
    press(dlg, QStringLiteral("Подписать"));
  };
  write_file("docs/c.txt", "signed twice\n");
  ASSERT_EQ(host(QStringLiteral("sign"), path("docs/c.txt")), kHostOk);
  EXPECT_EQ(person_.signDialogs, 2);
  const QString archive = path("docs/c.txt.sga");
  ASSERT_TRUE(QFile::exists(archive));

  // The second author adds a signature to it.
  person_.onSign = [](CSignDlg& dlg) {
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Добавить подпись"));
    dlg.authorCombo()->setCurrentIndex(dlg.authorCombo()->findText(QStringLiteral("Второй подписант")));
    gui_test::screenshot(&dlg, "e2e_add_signature");
    press(dlg, QStringLiteral("Подписать"));
  };
  // Named by a file URI, as Nemo passes its selection.
  ASSERT_EQ(host(QStringLiteral("add-signature"), QUrl::fromLocalFile(archive).toString()), kHostOk);
  EXPECT_EQ(person_.signDialogs, 3);
  EXPECT_GE(ui_.passwords.load(), 3);

  const QString unpacked = path("unpacked");
  std::filesystem::create_directories(unpacked.toStdString());
  const ProgramResult tar =
      test_support::run_program({"tar", "-xf", archive.toStdString(), "-C", unpacked.toStdString()});
  ASSERT_EQ(tar.status, 0) << tar.output;
  const QString doc = unpacked + "/c.txt";
  ASSERT_EQ(read_file(doc), "signed twice\n");
  for (const auto& [signature, pem] :
       {std::pair{QStringLiteral("c.txt.1"), execPem}, std::pair{QStringLiteral("c.txt.2"), secondPem}}) {
    SCOPED_TRACE(signature.toStdString());
    const ProgramResult r = verify(unpacked + "/" + signature, doc, pem);
    EXPECT_EQ(r.status, 0) << r.output;
  }
  EXPECT_TRUE(work_root_entries().isEmpty());
}

}  // namespace
}  // namespace dsutils::testing
