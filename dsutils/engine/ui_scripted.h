// EngineUi for tests: every call takes the next answer queued for its kind
// and is recorded. A call with no answer queued is counted in unscripted()
// and answered with cancel, so a test notices a question it did not expect.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "dsutils/engine/ui.h"

namespace dsutils {

class ScriptedUi : public EngineUi {
 public:
  struct Message {
    QString text;
    unsigned flags = 0;
    bool progressWasShown = false;  // the operation's display while the box was up
  };

  void queueMessage(int answer) { messageAnswers_.push_back(answer); }
  void queueKeyMedium(KeyMediumAnswer a) { keyMedium_.push_back(std::move(a)); }
  void queueSign(SignAnswer a) { sign_.push_back(std::move(a)); }
  void queueEncrypt(EncryptAnswer a) { encrypt_.push_back(std::move(a)); }
  void queueSignEncrypt(SignEncryptAnswer a) { signEncrypt_.push_back(std::move(a)); }
  void queueRecipients(RecipientsAnswer a) { recipients_.push_back(std::move(a)); }
  void queueDecrypt(DecryptAnswer a) { decrypt_.push_back(std::move(a)); }
  void queueVerifyProtocol(VerifyProtocolAnswer a) { verify_.push_back(a); }
  void queueFolder(std::optional<QString> a) { folder_.push_back(std::move(a)); }
  // An empty optional queues a cancelled save-file dialog.
  void queueSaveFile(std::optional<QString> a) { saveFile_.push_back(std::move(a)); }
  void queueRandomSensor(int a) { random_.push_back(a); }
  // An empty optional queues a cancelled prompt.
  void queuePassword(std::optional<std::string> a) { password_.push_back(std::move(a)); }
  void queueTouchMemory(int a) { touch_.push_back(a); }
  // Cancels the operation at its k-th progress step (1-based, counted over
  // every operation run through this object).
  void cancelAtStep(int k) { cancelAt_ = k; }

  const std::vector<Message>& messages() const { return messages_; }
  const std::vector<KeyMediumRequest>& keyMediumRequests() const { return keyMediumRequests_; }
  const std::vector<std::string>& calls() const { return calls_; }
  const QStringList& progressFiles() const { return files_; }
  const QStringList& openedDocuments() const { return opened_; }
  const QStringList& recipientCaptions() const { return recipientCaptions_; }
  const std::vector<SaveFileRequest>& saveFileRequests() const { return saveRequests_; }
  int progressSteps() const { return steps_; }
  int unscripted() const { return unscripted_; }
  bool progressShown() const { return shownNow_ > 0; }

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
  template <class T>
  T take(std::deque<T>& q, const char* kind, T fallback) {
    calls_.emplace_back(kind);
    if (q.empty()) {
      ++unscripted_;
      return fallback;
    }
    // Moved out through a scope guard, so no half-built local exists (g++ 12
    // at -O2 takes such a local of optional<QString> for uninitialised).
    struct PopFront {
      std::deque<T>& q;
      ~PopFront() { q.pop_front(); }
    } pop{q};
    return std::move(q.front());
  }

  std::deque<int> messageAnswers_;
  std::deque<KeyMediumAnswer> keyMedium_;
  std::deque<SignAnswer> sign_;
  std::deque<EncryptAnswer> encrypt_;
  std::deque<SignEncryptAnswer> signEncrypt_;
  std::deque<RecipientsAnswer> recipients_;
  std::deque<DecryptAnswer> decrypt_;
  std::deque<VerifyProtocolAnswer> verify_;
  std::deque<std::optional<QString>> folder_;
  std::deque<std::optional<QString>> saveFile_;
  std::vector<SaveFileRequest> saveRequests_;
  std::deque<int> random_;
  std::deque<std::optional<std::string>> password_;
  std::deque<int> touch_;
  std::vector<Message> messages_;
  std::vector<KeyMediumRequest> keyMediumRequests_;
  std::vector<std::string> calls_;
  QStringList files_;
  QStringList opened_;
  QStringList recipientCaptions_;
  int steps_ = 0;
  int cancelAt_ = 0;
  int unscripted_ = 0;
  int shownNow_ = 0;
};

}  // namespace dsutils
