// The key-medium and sign questions and the folder chooser of WidgetUi:
// each dialog is made, shown with open() and destroyed on the GUI thread,
// while the operation's worker waits for the answer.
#include <QPointer>
#include <cstdio>
#include <memory>

#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/key_medium_dialog.h"
#include "dsutils/widgets/sign_dialog.h"
#include "dsutils/widgets/ui_bridge.h"
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
