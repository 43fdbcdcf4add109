#include "dsutils/widgets/widget_ui.h"

#include <QFile>
#include <QWidget>
#include <cstdio>
#include <vector>

#include "dsutils/engine/touch_memory_messages.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/operation_sheet.h"
#include "dsutils/widgets/password_dialogs.h"
#include "dsutils/widgets/progress_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/random_seed_prompt.h"
#include "dsutils/widgets/recipients_page.h"
#include "dsutils/widgets/shell_service.h"
#include "dsutils/widgets/ui_bridge.h"

namespace dsutils::widgets {

namespace {
QPointer<QWidget> g_host;
int g_holders = 0;

const QString kDocumentTab = QStringLiteral(" Документ ");
const QString kRecipientsTab = QStringLiteral(" Получатели ");
constexpr int kEncryptPageTemplate = 204;
constexpr int kSignPageTemplate = 219;
constexpr int kRecipientsPageTemplate = 205;

FileDialogService& qt_file_dialogs() {
  static auto* service = new QtFileDialogService();  // lives as long as the process
  return *service;
}

void not_yet(const char* what) {
  std::fprintf(stderr, "Dossar: the %s dialog is not available in this build; the operation is cancelled\n", what);
}
}  // namespace

void HostWindow::set(QWidget* window) {
  UiBridge::run([window] {
    if (g_host && g_holders > 0) g_host->setEnabled(true);
    g_host = window;
    if (g_host && g_holders > 0) g_host->setEnabled(false);
  });
}
QWidget* HostWindow::get() { return g_host; }
void HostWindow::acquire() {
  if (g_holders++ == 0 && g_host) g_host->setEnabled(false);
}
void HostWindow::release() {
  if (g_holders > 0 && --g_holders == 0 && g_host) g_host->setEnabled(true);
}
int HostWindow::holders() { return g_holders; }

WidgetUi::WidgetUi(PromptService& prompts, WidgetUiOptions options)
    : prompts_(prompts), options_(options), help_([](int context) { HelpService(shell_service()).show(context); }) {}

WidgetUi::~WidgetUi() {
  std::map<OperationProgress*, Entry> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(entries_);
  }
  UiBridge::run([&left] {
    for (auto& [progress, entry] : left) {
      if (!entry.dialog) continue;
      entry.dialog->closeProgress();
      delete entry.dialog;
      HostWindow::release();
    }
  });
}

int WidgetUi::showMessage(const MessageRequest& request) {
  int answer = safe_answer(request.flags);
  const bool shown = UiBridge::runUntilDone([&](std::function<void()> done) {
    prompts_.open(request.text, request.flags, [&answer, done = std::move(done)](int a) {
      answer = a;
      done();
    });
  });
  if (!shown) std::fprintf(stderr, "Dossar: %s\n", request.text.toUtf8().constData());
  return answer;
}

bool WidgetUi::runSheet(COperationSheet* sheet, const std::function<void()>& accepted) {
  bool ok = false;
  const bool ran = UiBridge::runUntilDone([&](std::function<void()> done) {
    QObject::connect(sheet, &QDialog::finished, sheet, [sheet, &ok, &accepted, done = std::move(done)](int result) {
      // The pages are read before the sheet (their parent) goes.
      if (result == QDialog::Accepted) {
        ok = true;
        accepted();
      }
      sheet->deleteLater();
      done();
    });
    sheet->open();
    if (sheetShown_) sheetShown_(*sheet);
  });
  if (!ran) delete sheet;  // never shown: no application
  return ran && ok;
}

EncryptAnswer WidgetUi::askEncrypt(const EncryptRequest& request) {
  EncryptAnswer answer;
  COperationSheet* sheet = nullptr;
  CEncryptFilePage* document = nullptr;
  CRecipientsPage* recipients = nullptr;
  if (!UiBridge::run([&] {
        sheet = new COperationSheet();
        sheet->setTitle(request.caption);
        sheet->setHelpContext(request.helpContext);
        FileDialogService& files = fileDialogs_ != nullptr ? *fileDialogs_ : qt_file_dialogs();
        document = new CEncryptFilePage(prompts_, files);
        document->setGroup(request.group);
        document->setInput(request.documentName);
        recipients = new CRecipientsPage(prompts_);
        sheet->AddPage(document, kDocumentTab, kEncryptPageTemplate);
        sheet->AddPage(recipients, kRecipientsTab, kRecipientsPageTemplate);
      })) {
    return answer;
  }
  answer.accepted = runSheet(sheet, [&] {
    answer.outputName = document->outputName();
    answer.recipients = recipients->results();
  });
  return answer;
}

SignEncryptAnswer WidgetUi::askSignEncrypt(const SignEncryptRequest& request) {
  SignEncryptAnswer answer;
  COperationSheet* sheet = nullptr;
  CSignPage* document = nullptr;
  CRecipientsPage* recipients = nullptr;
  if (!UiBridge::run([&] {
        sheet = new COperationSheet();
        sheet->setTitle(request.caption);
        sheet->setHelpContext(request.helpContext);
        document = new CSignPage(prompts_);
        document->setGroup(request.group);
        document->setDocument(request.documentName);
        recipients = new CRecipientsPage(prompts_);
        sheet->AddPage(document, kDocumentTab, kSignPageTemplate);
        sheet->AddPage(recipients, kRecipientsTab, kRecipientsPageTemplate);
      })) {
    return answer;
  }
  answer.accepted = runSheet(sheet, [&] {
    answer.outputName = document->outputName();
    answer.author = document->author();
    answer.detached = document->detached();
    answer.includeCertificate = document->includeCertificate();
    answer.includeSigningTime = document->includeSigningTime();
    answer.recipients = recipients->results();
  });
  return answer;
}

RecipientsAnswer WidgetUi::askRecipients(const RecipientsRequest& request) {
  RecipientsAnswer answer;
  COperationSheet* sheet = nullptr;
  CRecipientsPage* recipients = nullptr;
  if (!UiBridge::run([&] {
        sheet = new COperationSheet();
        sheet->setTitle(request.caption);
        sheet->setHelpContext(0);
        recipients = new CRecipientsPage(prompts_);
        sheet->AddPage(recipients, kRecipientsTab, kRecipientsPageTemplate);
      })) {
    return answer;
  }
  answer.accepted = runSheet(sheet, [&] { answer.names = recipients->results(); });
  return answer;
}

int WidgetUi::randomSensor(const RandomSensorRequest& request) {
  holdProgress(true);
  const int answer = RandomSeedPrompt::ask(request.character.unicode(), request.ordinal, request.total);
  holdProgress(false);
  return answer;
}
std::optional<QString> WidgetUi::chooseSaveFile(const SaveFileRequest& request) {
  static QtFileDialogService platform;
  FileDialogService& files = options_.files != nullptr ? *options_.files : platform;
  std::optional<QString> answer;
  // No default extension: the name is kept as the person typed it.
  const FileDialogRequest dialog{true, QString(), request.initialPath, request.filter, QString()};
  const bool shown = UiBridge::runUntilDone([&](std::function<void()> done) {
    files.open(dialog, [&answer, done = std::move(done)](std::optional<QString> a) {
      answer = std::move(a);
      done();
    });
  });
  if (!shown) {
    not_yet("save file");
    return std::nullopt;
  }
  return answer;
}

void WidgetUi::holdProgress(bool on) {
  const std::thread::id me = std::this_thread::get_id();
  std::vector<QPointer<CProgressDlg>> dialogs;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [progress, entry] : entries_)
      if (entry.thread == me && entry.dialog) dialogs.push_back(entry.dialog);
  }
  if (dialogs.empty()) return;
  UiBridge::run([&dialogs, on] {
    for (const QPointer<CProgressDlg>& dlg : dialogs)
      if (dlg) dlg->hold(on);
  });
}

int WidgetUi::askPassword(const PasswordRequest& request, PasswordBuffer& out) {
  out.wipe();
  int length = -1;
  const bool key = request.kind == PasswordRequest::Kind::KeyContainer;
  const bool shown = UiBridge::runUntilDone([&](std::function<void()> done) {
    QDialog* dialog = nullptr;
    std::function<int(PasswordBuffer&)> take;
    if (key) {
      auto* dlg = new CKeyPasswordDlg(help_, HostWindow::get());
      dlg->setKeyName(request.keyName);
      take = [dlg](PasswordBuffer& b) { return dlg->takePassword(b); };
      dialog = dlg;
    } else {
      auto* dlg = new CPasswordDlg(HostWindow::get());
      take = [dlg](PasswordBuffer& b) { return dlg->takePassword(b); };
      dialog = dlg;
    }
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [take = std::move(take), done = std::move(done), &out, &length](int result) {
                       if (result == QDialog::Accepted) length = take(out);
                       done();
                     });
    dialog->open();
  });
  // A dialog that cannot be shown counts as cancelled.
  if (!shown || length < 0) {
    out.wipe();
    return -1;
  }
  return length;
}

int WidgetUi::touchMemoryMessage(int status) {
  const TouchMemoryMessage* message = find_touch_memory_message(status);
  if (message == nullptr) return 0;
  const unsigned attention = MB_TASKMODAL | MB_SETFOREGROUND;
  const unsigned flags =
      message->retry ? (MB_RETRYCANCEL | MB_ICONQUESTION | attention) : (MB_OK | MB_ICONSTOP | attention);
  const int answer = showMessage(MessageRequest{QString::fromUtf8(message->text), flags, nullptr});
  return message->retry && answer == IDRETRY ? 1 : 0;
}

void WidgetUi::progressStarted(OperationProgress& progress) {
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    Entry& e = entries_[&progress];
    e = Entry{};
    id = e.id = nextId_++;
    e.thread = std::this_thread::get_id();
  }
  OperationProgress* key = &progress;
  const QString title = progress.title();
  const QString file = progress.file();
  UiBridge::run([this, key, id, title, file] {
    // Cancel reaches this operation only while its window is open: the
    // window is gone before progressStopped returns.
    auto* dlg = new CProgressDlg(title, options_.showDelay, [this, key, id] {
      {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(key);
        if (it == entries_.end() || it->second.id != id) return;
        key->cancel();
      }
      closeDialog(key);
    });
    dlg->setFileName(file);
    dlg->setOnShown([this] {
      std::lock_guard lock(mutex_);
      ++shown_;
    });
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(key);
      if (it == entries_.end() || it->second.id != id) {
        delete dlg;
        return;
      }
      it->second.dialog = dlg;
    }
    HostWindow::acquire();
  });
}

void WidgetUi::progressFile(OperationProgress& progress) {
  std::uint64_t id = 0;
  std::chrono::milliseconds wait{0};
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(&progress);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    e.pendingFile = progress.file();
    if (e.flushQueued) return;  // the queued update takes the newest name
    e.flushQueued = true;
    id = e.id;
    const auto since = std::chrono::steady_clock::now() - e.lastFile;
    if (since < options_.fileInterval)
      wait = std::chrono::duration_cast<std::chrono::milliseconds>(options_.fileInterval - since);
  }
  OperationProgress* key = &progress;
  UiBridge::post([this, key, id, wait] {
    QPointer<CProgressDlg> dlg;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(key);
      if (it != entries_.end() && it->second.id == id) dlg = it->second.dialog;
    }
    if (wait.count() > 0 && dlg) {
      dlg->callAfter(wait, [this, key, id] { flushFile(key, id); });
      return;
    }
    flushFile(key, id);
  });
}

void WidgetUi::flushFile(OperationProgress* progress, std::uint64_t id) {
  QPointer<CProgressDlg> dlg;
  QString name;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(progress);
    // The operation stopped (or restarted) meanwhile: its object may be gone.
    if (it == entries_.end() || it->second.id != id) return;
    Entry& e = it->second;
    e.flushQueued = false;
    e.lastFile = std::chrono::steady_clock::now();
    name = e.pendingFile;
    dlg = e.dialog;
  }
  if (dlg) dlg->setFileName(name);
}

// Called from the toolkit's inner loop: no widget, no lock, no wait.
void WidgetUi::progressStep(OperationProgress&, int, std::uint64_t, std::uint64_t) {}

void WidgetUi::closeDialog(OperationProgress* progress) {
  QPointer<CProgressDlg> dlg;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(progress);
    if (it == entries_.end()) return;
    dlg = it->second.dialog;
    it->second.dialog = nullptr;
  }
  if (!dlg) return;
  dlg->closeProgress();
  dlg->deleteLater();
  HostWindow::release();
}

void WidgetUi::progressStopped(OperationProgress& progress) {
  OperationProgress* key = &progress;
  // Runs on the GUI thread and returns after it: once back, no window and
  // no queued update refers to this operation any more.
  const bool ran = UiBridge::run([this, key] {
    closeDialog(key);
    std::lock_guard lock(mutex_);
    entries_.erase(key);
  });
  if (!ran) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
  }
}

CProgressDlg* WidgetUi::dialogFor(const OperationProgress& progress) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(const_cast<OperationProgress*>(&progress));
  return it == entries_.end() ? nullptr : it->second.dialog.data();
}

int WidgetUi::openDialogs() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& [key, e] : entries_) n += e.dialog ? 1 : 0;
  return n;
}

int WidgetUi::shownCount() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

}  // namespace dsutils::widgets
