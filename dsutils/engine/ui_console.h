// EngineUi for the command line on a machine without a display: texts go to
// standard error, questions take the answer given in the options, passwords
// are read from a file descriptor (never from the arguments, which every
// user of the machine can read). A dialog the options do not answer is
// cancelled, with a line saying so.
#pragma once

#include <cstdio>

#include "dsutils/engine/ui.h"

namespace dsutils {

struct ConsoleUiOptions {
  // The answer to Yes/No questions (IDYES or IDNO); other boxes take their
  // safe answer (OK, Cancel).
  int questionAnswer = IDNO;
  // One password per line; -1: no passwords.
  int passwordFd = -1;
  std::optional<KeyMediumAnswer> keyMedium;
  std::optional<SignAnswer> sign;
  std::optional<EncryptAnswer> encrypt;
  std::optional<SignEncryptAnswer> signEncrypt;
  std::optional<DecryptAnswer> decrypt;
  // "--choose-recipient=NAME", once per name: the recipients sheet accepted
  // with these names; none given: cancelled.
  QStringList chosenRecipients;
  std::optional<QString> folder;
  // The answer of every save-file dialog (--save-as=); none: cancelled.
  std::optional<QString> saveAs;
  bool extractDocument = false;
  bool showProgress = true;
};

class ConsoleUi : public EngineUi {
 public:
  explicit ConsoleUi(ConsoleUiOptions options, std::FILE* out = stderr) : options_(std::move(options)), out_(out) {}

  // Ctrl-C as the Cancel of the progress display: the first SIGINT only
  // marks the request (a handler may do no more), the running operation's
  // next progress step cancels it; a second one ends the process at once.
  static void catchInterrupt();
  static bool interrupted();

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

 private:
  void line(const QString& text);
  template <class T>
  T answer(const std::optional<T>& given, const char* what);

  ConsoleUiOptions options_;
  std::FILE* out_;
};

}  // namespace dsutils
