// The engine's one seam to a person. Every box, question, dialog, password,
// progress display and cancel of an operation goes through EngineUi; the
// widget implementation runs the dialogs on the GUI thread, the console one
// serves the command line, the scripted one answers in tests.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "dsutils/engine/password_memory.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/signature_record.h"

namespace dsutils {

// Message-box flags and answers, with the values of the API the texts were
// written for, so a flags word reads the same everywhere.
enum MessageFlags : unsigned {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_TYPEMASK = 0xF,
  MB_ICONSTOP = 0x10,
  MB_ICONQUESTION = 0x20,
  MB_ICONEXCLAMATION = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_ICONMASK = 0xF0,
  MB_TASKMODAL = 0x2000,
  MB_SETFOREGROUND = 0x10000,
};
enum MessageAnswer : int { IDOK = 1, IDCANCEL = 2, IDRETRY = 4, IDYES = 6, IDNO = 7 };

class EngineUi;

// One per running operation: its title, the current file and its cancel
// word. Shown between start() and stop() (or the end of its life).
class OperationProgress {
 public:
  OperationProgress(EngineUi& ui, QString title) : ui_(ui), title_(std::move(title)) {}
  ~OperationProgress() { stop(); }
  OperationProgress(const OperationProgress&) = delete;
  OperationProgress& operator=(const OperationProgress&) = delete;

  void start();
  void stop();
  bool shown() const { return shown_; }
  const QString& title() const { return title_; }
  const QString& file() const { return file_; }
  void setFile(const QString& file);

  // The toolkit's progress report: false when the operation is to stop
  // (the toolkit then ends its call with code 184).
  bool step(int stage, std::uint64_t done, std::uint64_t total);
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

 private:
  EngineUi& ui_;
  QString title_;
  QString file_;
  bool shown_ = false;
  std::atomic<bool> cancelled_{false};
};

struct MessageRequest {
  QString text;
  unsigned flags = MB_OK;
  // The operation whose progress display is to be hidden while the box is up.
  OperationProgress* progress = nullptr;
};

struct KeyMediumRequest {
  QString profile;
  QString mediumPath;
  QString keyFile;
  bool keyFormat31 = false;
  QByteArray certificate;  // the owner's DER certificate (viewing, the key-file rule); empty: none
};
struct KeyMediumAnswer {
  bool accepted = false;
  QString mediumPath;
  QString keyFile;
  bool keyFormat31 = false;
};

struct SignRequest {
  QString documentName;
  bool group = false;
  bool add = false;     // adding a signature to an archive
  QString archivePath;  // add mode
};
struct SignAnswer {
  bool accepted = false;
  QString documentName;
  QString outputName;
  bool includeCertificate = false;
  bool includeSigningTime = false;
  bool detached = false;
  std::optional<OwnerRecord> author;
};

// The sheet with the encrypt page and the recipients page.
struct EncryptRequest {
  QString caption;
  int helpContext = 68;
  QString documentName;
  bool group = false;
};
struct EncryptAnswer {
  bool accepted = false;
  QString outputName;
  QStringList recipients;  // names under which the directory keeps the certificates
};

// The sheet with the sign page and the recipients page.
struct SignEncryptRequest {
  QString caption;
  int helpContext = 69;
  QString documentName;
  bool group = false;
};
struct SignEncryptAnswer {
  bool accepted = false;
  QString outputName;
  std::optional<OwnerRecord> author;
  bool detached = false;
  bool includeCertificate = false;
  bool includeSigningTime = false;
  QStringList recipients;
};

// The sheet with the recipients page alone (a mail message whose addresses
// have no certificate in the directory).
struct RecipientsRequest {
  QString caption;
};
struct RecipientsAnswer {
  bool accepted = false;
  QStringList names;  // names under which the directory keeps the certificates
};

struct DecryptRequest {
  OwnerRecord defaultKey;
  QString inputFile;
  QString sourceName;
  QStringList messageRecipients;
  // The operation's progress display: shown while the recipients are looked
  // up (a directory that does not answer takes its time), hidden after.
  OperationProgress* progress = nullptr;
};
struct DecryptAnswer {
  bool accepted = false;
  QString outputPath;
  OwnerRecord key;
  bool keyFormat31 = false;
};

struct VerifyProtocolRequest {
  // The verified file; for the document of a .sga archive "archive : document".
  QString fileName;
  // The full path of the verified file (printing and opening read it).
  QString documentPath;
  QString protocolText;
  // The checker's records in verification order.
  std::vector<SignatureRecord> records;
  bool allConfirmed = false;
  bool extractDocument = false;
};
struct VerifyProtocolAnswer {
  bool extractDocument = false;
};

struct FileInfoRequest {
  QString fileName;
  QString body;
};

struct RandomSensorRequest {
  QChar character;
  int ordinal = 1;
  int total = 16;
};

// The save-file dialog: `initialPath` is offered as the file name, `filter`
// is in the form "text|patterns|text|patterns|" and kept as the caller wrote it.
struct SaveFileRequest {
  QString initialPath;
  QString filter;
};

struct PasswordRequest {
  enum class Kind { KeyContainer, Token } kind = Kind::KeyContainer;
  QString keyName;
};

class EngineUi {
 public:
  EngineUi() = default;
  virtual ~EngineUi() = default;
  // A copy or an assignment (a test's fresh start of its answers) takes the
  // mail mode, never a password: the memory belongs to the object itself,
  // so a copy starts empty and an assigned object keeps its own.
  EngineUi(const EngineUi& other) : mailMode_(other.mailMode()) {}
  EngineUi& operator=(const EngineUi& other) {
    mailMode_.store(other.mailMode());
    return *this;
  }

  // Answers one of MessageAnswer.
  virtual int showMessage(const MessageRequest& request) = 0;

  virtual KeyMediumAnswer askKeyMedium(const KeyMediumRequest& request) = 0;
  virtual SignAnswer askSign(const SignRequest& request) = 0;
  virtual EncryptAnswer askEncrypt(const EncryptRequest& request) = 0;
  virtual SignEncryptAnswer askSignEncrypt(const SignEncryptRequest& request) = 0;
  virtual RecipientsAnswer askRecipients(const RecipientsRequest& request) = 0;
  virtual DecryptAnswer askDecrypt(const DecryptRequest& request) = 0;
  virtual VerifyProtocolAnswer showVerifyProtocol(const VerifyProtocolRequest& request) = 0;
  virtual void showFileInfo(const FileInfoRequest& request) = 0;
  // Opens a finished document with the desktop's program for its type.
  virtual void openDocument(const QString& path) = 0;
  // The folder chosen, nothing on cancel.
  virtual std::optional<QString> chooseFolder(const QString& initial) = 0;
  // The path chosen in the save-file dialog, nothing on cancel.
  virtual std::optional<QString> chooseSaveFile(const SaveFileRequest& request) = 0;

  // The character code typed, a value below 1 on cancel.
  virtual int randomSensor(const RandomSensorRequest& request) = 0;
  // Fills `out` with the zero-terminated password and answers its length,
  // or -1 on cancel.
  virtual int askPassword(const PasswordRequest& request, PasswordBuffer& out) = 0;
  // A key-medium status message; 1 when the person chose Retry.
  virtual int touchMemoryMessage(int status) = 0;

  // The progress display of one operation.
  virtual void progressStarted(OperationProgress& progress) = 0;
  virtual void progressFile(OperationProgress& progress) = 0;
  virtual void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) = 0;
  virtual void progressStopped(OperationProgress& progress) = 0;

  // The key password this object's prompts remember (password_memory.h),
  // and its mail mode, set by the object's mail members: only in mail mode
  // does the prompt answer by itself with the remembered password.
  PasswordMemory& passwordMemory() { return passwordMemory_; }
  bool mailMode() const { return mailMode_.load(); }
  void setMailMode(bool on) { mailMode_.store(on); }
  // A key load of this object's operation failed: the remembered password
  // may be the wrong one, so it goes.
  virtual void keyLoadFailed() { passwordMemory_.wipe(); }

 private:
  PasswordMemory passwordMemory_;
  std::atomic<bool> mailMode_{false};
};

// Makes `ui` the calling thread's interface until the scope ends (the
// previous one is restored). An operation runner holds one for the life of
// each operation thread, so that its boxes, folder choices and the toolkit's
// prompts reach the person who started that operation.
class OperationUiScope {
 public:
  explicit OperationUiScope(EngineUi* ui);
  ~OperationUiScope();
  OperationUiScope(const OperationUiScope&) = delete;
  OperationUiScope& operator=(const OperationUiScope&) = delete;

 private:
  EngineUi* previous_;
};
// The calling thread's interface: its OperationUiScope's, else
// EngineHelper::ui(); null when neither is set. Everything the engine asks
// or shows goes to this one.
EngineUi* operation_ui();

}  // namespace dsutils
