// The engine's seam to a person, in windows. One per IDSUtil object (and one
// the library installs for the engine as a whole). Every widget is made and
// touched on the GUI thread; the engine calls in from operation workers and
// waits through UiBridge.
#pragma once

#include <QPointer>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "dsutils/engine/ui.h"

class QWidget;

namespace dsutils::widgets {

class COperationSheet;
class CProgressDlg;
class FileDialogService;
class HelpService;
class MediumProbe;
class PromptService;

struct WidgetUiOptions {
  // How long an operation runs before its progress window shows.
  std::chrono::milliseconds showDelay{3000};
  // The file name reaches the window at most once per interval.
  std::chrono::milliseconds fileInterval{100};
  // The key-medium dialog's presence tests (null: the global session's) and
  // the dialogs' file choosers and help (null: the desktop's).
  MediumProbe* mediumProbe = nullptr;
  FileDialogService* files = nullptr;
  HelpService* help = nullptr;
};

// The window that started the operations (DSUtilSetMainWindow): disabled
// while any progress window of the process is up, enabled again when the
// last one closes. GUI thread only.
class HostWindow {
 public:
  static void set(QWidget* window);
  static QWidget* get();
  static void acquire();
  static void release();
  static int holders();
};

class WidgetUi : public EngineUi {
 public:
  explicit WidgetUi(PromptService& prompts, WidgetUiOptions options = {});
  ~WidgetUi() override;
  WidgetUi(const WidgetUi&) = delete;
  WidgetUi& operator=(const WidgetUi&) = delete;

  int showMessage(const MessageRequest& request) override;
  KeyMediumAnswer askKeyMedium(const KeyMediumRequest& request) override;
  SignAnswer askSign(const SignRequest& request) override;
  EncryptAnswer askEncrypt(const EncryptRequest& request) override;
  SignEncryptAnswer askSignEncrypt(const SignEncryptRequest& request) override;
  RecipientsAnswer askRecipients(const RecipientsRequest& request) override;
  DecryptAnswer askDecrypt(const DecryptRequest& request) override;
  VerifyProtocolAnswer showVerifyProtocol(const VerifyProtocolRequest& request) override;
  void showFileInfo(const FileInfoRequest& request) override;
  void openDocument(const QString& path) override;
  std::optional<QString> chooseFolder(const QString& initial) override;
  std::optional<QString> chooseSaveFile(const SaveFileRequest& request) override;
  int randomSensor(const RandomSensorRequest& request) override;
  int askPassword(const PasswordRequest& request, PasswordBuffer& out) override;
  int touchMemoryMessage(int status) override;
  void progressStarted(OperationProgress& progress) override;
  void progressFile(OperationProgress& progress) override;
  void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) override;
  void progressStopped(OperationProgress& progress) override;

  // The open dialogs of the pages (Qt's own when null). Set before use.
  void setFileDialogs(FileDialogService* dialogs) { fileDialogs_ = dialogs; }
  // Called on the GUI thread with every operation sheet just shown (tests
  // drive it from here). Set before use.
  void setSheetShown(std::function<void(COperationSheet&)> shown) { sheetShown_ = std::move(shown); }
  // Opens the help topic of a context (the password dialog's F1 and
  // "Справка"); by default the help pages through the desktop's shell.
  // Before the first prompt.
  void setHelp(std::function<void(int)> help) { help_ = std::move(help); }

  // For tests, on the GUI thread: the open progress window of an operation
  // (null when none), the number open, and how many were ever shown.
  CProgressDlg* dialogFor(const OperationProgress& progress) const;
  int openDialogs() const;
  int shownCount() const;

 private:
  struct Entry {
    std::uint64_t id = 0;
    QPointer<CProgressDlg> dialog;  // GUI thread only
    QString pendingFile;
    bool flushQueued = false;
    std::chrono::steady_clock::time_point lastFile{};
    std::thread::id thread;  // the operation's, which the toolkit's prompts run on
  };
  // Runs `sheet` (pages added) until it closes; `accepted` is called on the
  // GUI thread before the sheet and its pages go.
  bool runSheet(COperationSheet* sheet, const std::function<void()>& accepted);
  // Hides (or shows again) the progress windows of the calling thread's
  // operations while a prompt of theirs is up.
  void holdProgress(bool on);
  void closeDialog(OperationProgress* progress);
  void flushFile(OperationProgress* progress, std::uint64_t id);

  PromptService& prompts_;
  WidgetUiOptions options_;
  FileDialogService* fileDialogs_ = nullptr;
  std::function<void(COperationSheet&)> sheetShown_;
  std::function<void(int)> help_;
  mutable std::mutex mutex_;
  std::map<OperationProgress*, Entry> entries_;
  std::uint64_t nextId_ = 1;
  int shown_ = 0;
};

}  // namespace dsutils::widgets
