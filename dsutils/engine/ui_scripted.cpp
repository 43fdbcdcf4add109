#include "dsutils/engine/ui_scripted.h"

#include <cstring>

namespace dsutils {
namespace {

int cancel_answer(unsigned flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_YESNO:
      return IDNO;
    case MB_OK:
      return IDOK;
    default:
      return IDCANCEL;
  }
}

}  // namespace

int ScriptedUi::showMessage(const MessageRequest& request) {
  messages_.push_back({request.text, request.flags, request.progress && request.progress->shown()});
  return take(messageAnswers_, "message", cancel_answer(request.flags));
}

KeyMediumAnswer ScriptedUi::askKeyMedium(const KeyMediumRequest& request) {
  keyMediumRequests_.push_back(request);
  return take(keyMedium_, "keyMedium", {});
}
SignAnswer ScriptedUi::askSign(const SignRequest&) { return take(sign_, "sign", {}); }
EncryptAnswer ScriptedUi::askEncrypt(const EncryptRequest&) { return take(encrypt_, "encrypt", {}); }
SignEncryptAnswer ScriptedUi::askSignEncrypt(const SignEncryptRequest&) {
  return take(signEncrypt_, "signEncrypt", {});
}
RecipientsAnswer ScriptedUi::askRecipients(const RecipientsRequest& request) {
  recipientCaptions_.append(request.caption);
  return take(recipients_, "recipients", {});
}
DecryptAnswer ScriptedUi::askDecrypt(const DecryptRequest&) { return take(decrypt_, "decrypt", {}); }

VerifyProtocolAnswer ScriptedUi::showVerifyProtocol(const VerifyProtocolRequest& request) {
  return take(verify_, "verifyProtocol", VerifyProtocolAnswer{request.extractDocument});
}

void ScriptedUi::showFileInfo(const FileInfoRequest&) { calls_.emplace_back("fileInfo"); }

void ScriptedUi::openDocument(const QString& path) {
  calls_.emplace_back("openDocument");
  opened_.append(path);
}

std::optional<QString> ScriptedUi::chooseFolder(const QString&) {
  return take(folder_, "folder", std::optional<QString>());
}

std::optional<QString> ScriptedUi::chooseSaveFile(const SaveFileRequest& request) {
  saveRequests_.push_back(request);
  return take(saveFile_, "saveFile", std::optional<QString>());
}

int ScriptedUi::randomSensor(const RandomSensorRequest&) { return take(random_, "randomSensor", 0); }

int ScriptedUi::askPassword(const PasswordRequest&, PasswordBuffer& out) {
  const auto answer = take(password_, "password", std::optional<std::string>());
  out.wipe();
  if (!answer || answer->size() >= out.size()) return -1;
  std::memcpy(out.data(), answer->data(), answer->size());
  return static_cast<int>(answer->size());
}

int ScriptedUi::touchMemoryMessage(int) { return take(touch_, "touchMemory", 0); }

void ScriptedUi::progressStarted(OperationProgress&) { ++shownNow_; }
void ScriptedUi::progressFile(OperationProgress& progress) { files_.push_back(progress.file()); }

void ScriptedUi::progressStep(OperationProgress& progress, int, std::uint64_t, std::uint64_t) {
  ++steps_;
  if (cancelAt_ > 0 && steps_ == cancelAt_) progress.cancel();
}

void ScriptedUi::progressStopped(OperationProgress&) { --shownNow_; }

}  // namespace dsutils
