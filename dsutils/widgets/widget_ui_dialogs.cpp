// The key-medium and sign questions and the folder chooser of WidgetUi:
// each dialog is made, shown with open() and destroyed on the GUI thread,
// while the operation's worker waits for the answer.
#include <QFile>
#include <QPointer>
#include <cstdio>
#include <memory>

#include "dsutils/engine/error_text.h"
#include "dsutils/widgets/application_chooser.h"
#include "dsutils/widgets/decrypt_dialog.h"
#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/key_medium_dialog.h"
#include "dsutils/widgets/shell_service.h"
#include "dsutils/widgets/sign_dialog.h"
#include "dsutils/widgets/ui_bridge.h"
#include "dsutils/widgets/verify_protocol_dialog.h"
#include "dsutils/widgets/widget_ui.h"

namespace dsutils::widgets {

namespace {

void no_window(const char* what) {
  std::fprintf(stderr, "Dossar: no window system for the %s dialog; the operation is cancelled\n", what);
}

// Shows `dialog` (made on the GUI thread by `make`) and waits for it to
// finish; `finished` reads it there. The dialog is destroyed on the GUI
// thread before this returns. False when there is no GUI thread.
template <class Dialog>
bool run_dialog(const std::function<std::unique_ptr<Dialog>()>& make,
                const std::function<void(Dialog&, bool)>& finished) {
  std::unique_ptr<Dialog> dialog;
  const bool ran = UiBridge::runUntilDone([&](std::function<void()> done) {
    dialog = make();
    Dialog* d = dialog.get();
    QObject::connect(d, &QDialog::finished, d, [d, &finished, done = std::move(done)](int result) {
      finished(*d, result == QDialog::Accepted);
      done();
    });
    d->open();
  });
  UiBridge::run([&dialog] { dialog.reset(); });
  return ran;
}

}  // namespace

KeyMediumAnswer WidgetUi::askKeyMedium(const KeyMediumRequest& request) {
  MediumProbe& probe = options_.mediumProbe != nullptr ? *options_.mediumProbe : session_medium_probe();
  KeyMediumAnswer answer{false, request.mediumPath, request.keyFile, request.keyFormat31};
  // A medium that is there needs no question: the prefilled values stand.
  if (!IsMediumMissing(request.mediumPath, probe)) {
    answer.accepted = true;
    return answer;
  }
  const bool ran = run_dialog<CKeyMediumDlg>(
      [&] {
        auto dlg = std::make_unique<CKeyMediumDlg>(probe, prompts_, HostWindow::get(), options_.files);
        dlg->setRequest(request);
        return dlg;
      },
      [&answer](CKeyMediumDlg& dlg, bool accepted) { answer = dlg.answer(accepted); });
  if (!ran) no_window("key medium");
  return answer;
}

SignAnswer WidgetUi::askSign(const SignRequest& request) {
  SignAnswer answer;
  const bool ran = run_dialog<CSignDlg>(
      [&] {
        auto dlg =
            std::make_unique<CSignDlg>(SignDialogServices{&prompts_, options_.files, options_.help}, HostWindow::get());
        dlg->setRequest(request);
        return dlg;
      },
      [&answer](CSignDlg& dlg, bool accepted) { answer = dlg.answer(accepted); });
  if (!ran) no_window("sign");
  return answer;
}

VerifyProtocolAnswer WidgetUi::showVerifyProtocol(const VerifyProtocolRequest& request) {
  // Without a window the document is not extracted: nobody agreed to it.
  VerifyProtocolAnswer answer{false};
  const bool ran = run_dialog<CVerifyProtocolDlg>(
      [&] {
        ProtocolServices services;
        services.prompts = &prompts_;
        services.help = help_;
        auto dlg = std::make_unique<CVerifyProtocolDlg>(std::move(services), HostWindow::get());
        dlg->setRequest(request);
        return dlg;
      },
      [&answer](CVerifyProtocolDlg& dlg, bool) { answer = dlg.answer(); });
  if (!ran) no_window("verification protocol");
  return answer;
}

DecryptAnswer WidgetUi::askDecrypt(const DecryptRequest& request) {
  DecryptAnswer answer;
  // The progress window is up while the recipients are looked up (an LDAP
  // directory may take its time-outs), and gone before the dialog shows.
  const bool progress = request.progress != nullptr && !request.progress->shown();
  if (progress) request.progress->start();
  std::unique_ptr<CDecryptDlg> made;
  bool filled = false;
  const bool ran = UiBridge::run([&] {
    DecryptDialogServices services;
    services.prompts = &prompts_;
    services.files = options_.files;
    services.help = help_;
    made = std::make_unique<CDecryptDlg>(std::move(services), HostWindow::get());
    made->setRequest(request);
    filled = made->OnInitDialog();
  });
  if (request.progress != nullptr) request.progress->stop();
  if (!ran || !filled) {
    // An unreadable message was shown with its error: nothing to decrypt.
    UiBridge::run([&made] { made.reset(); });
    if (!ran) no_window("decrypt");
    return answer;
  }
  const bool shown = run_dialog<CDecryptDlg>(
      [&] { return std::move(made); }, [&answer](CDecryptDlg& dlg, bool accepted) { answer = dlg.answer(accepted); });
  if (!shown) no_window("decrypt");
  return answer;
}

void WidgetUi::showFileInfo(const FileInfoRequest& request) {
  const bool ran = run_dialog<CFileInfoDlg>(
      [&] {
        auto dlg = std::make_unique<CFileInfoDlg>(HostWindow::get());
        dlg->setTexts(request.fileName, request.body);
        return dlg;
      },
      [](CFileInfoDlg&, bool) {});
  if (!ran) no_window("file information");
}

void WidgetUi::openDocument(const QString& path) {
  // The document is finished and kept whatever happens here: a desktop
  // without a program for its type offers the chooser; the operation waits
  // until it is closed.
  ShellService& shell = shell_service();
  std::string error;
  bool noApplication = false;
  if (shell.open(QFile::encodeName(path).toStdString(), &error, &noApplication)) return;
  if (!noApplication) {
    error_text_loader().LogLine(QStringLiteral("%1: %2").arg(path, QString::fromStdString(error)));
    return;
  }
  const bool ran = UiBridge::runUntilDone(
      [&](std::function<void()> done) { open_application_chooser(path, shell, HostWindow::get(), std::move(done)); });
  if (!ran) no_window("program chooser");
}

std::optional<QString> WidgetUi::chooseFolder(const QString& initial) {
  std::optional<QString> chosen;
  std::unique_ptr<InitialFolderBrowser> browser;
  const bool ran = UiBridge::runUntilDone([&](std::function<void()> done) {
    browser = std::make_unique<InitialFolderBrowser>();
    browser->SetFlags(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT);
    browser->SetInitialFolder(initial);
    InitialFolderBrowser* b = browser.get();
    b->Open([b, &chosen, done = std::move(done)](bool ok) {
      if (ok) chosen = b->GetFolderPath();
      done();
    });
  });
  UiBridge::run([&browser] { browser.reset(); });
  if (!ran) no_window("folder");
  return chosen;
}

}  // namespace dsutils::widgets
