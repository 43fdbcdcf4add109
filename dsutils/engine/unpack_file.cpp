#include "dsutils/engine/unpack_file.h"

#include <QFileInfo>
#include <string_view>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/ui_scripted.h"
#include "quillon2/ql_codes.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

const QString kUnenc = QStringLiteral("UNENC");
const QString kChek = QStringLiteral("CHEK");
const QString kDoc = QStringLiteral("DOC");

// Step results: go on with the decision loop, or end the run with this value.
constexpr int kContinue = -1;

bool is_sga(const QString& path) { return GetExtFromName(path) == QLatin1String("sga"); }

class UnpackRun {
 public:
  UnpackRun(OperationJob& job, EngineUi& ui)
      : job_(job),
        ui_(ui),
        helper_(engine_helper()),
        session_(global_crypto_session()),
        log_(error_text_loader()),
        hold_(session_),
        progress_(ui, QStringLiteral("Выполняется операция: распаковка")) {}

  int run();

 private:
  int end(int result, int value) {
    progress_.stop();
    job_.result = result;
    return value;
  }
  QString sourceCode() const { return decrypted_ ? kUnenc : kChek; }
  void report(const QString& text) {
    log_.LogLine(text);
    helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION, &progress_);
  }
  // The file sorted as a failure under `operation`, the source given its
  // place from the kept copy, the working folder away.
  void sortFailed(const QString& operation, const QString& file) {
    QString placed = file;
    helper_.GroupSortFile(source_, placed, operation, true, &progress_);
    helper_.GroupSortFileEx(source_, work_, placed, sourceCode(), &progress_);
    helper_.RemoveTmp(source_, work_, false);
  }
  int toolkitFailure(int code, const QString& operation) {
    progress_.stop();
    log_.ShowError(code, &progress_);
    log_.LogLine(log_.GetErrorText(code));
    sortFailed(operation, current_);
    return end(code, 0);
  }
  int loadKey(const OwnerRecord& key);
  int decrypt();
  int verify();
  int verifyFailure();
  int extract();
  int decryptedOnly();
  QStringList recipients(const QString& path);

  OperationJob& job_;
  EngineUi& ui_;
  EngineHelper& helper_;
  CryptoSession& session_;
  ErrorTextLoader& log_;
  SessionHold hold_;
  OperationProgress progress_;
  QString source_, work_, current_, first_, signedDoc_, decryptedOut_;
  bool decrypted_ = false;
  bool verified_ = false;
};

QStringList UnpackRun::recipients(const QString& path) {
  QStringList out;
  QL_MESSAGE* message = nullptr;
  int kind = 0;
  if (session_.ReadMessageFile(path, &kind, &message) == ql::QL_OK && kind == ql::QL_KIND_ENVELOPED) {
    const int n = session_.GetRecipientCount(message);
    for (int i = 0; i < n; ++i) out.append(session_.GetRecipientSerial(message, i));
  }
  session_.FreeMessage(message);
  return out;
}

int UnpackRun::loadKey(const OwnerRecord& key) {
  // A key of a medium is read with the medium as the session's container.
  if (key.sczi != 0 && !key.path.isEmpty()) hold_.OpenWithPath(key.path);
  if (!key.serNum.isEmpty()) {
    const int code =
        session_.AddCertificate(reinterpret_cast<const unsigned char*>(key.serNum.constData()), key.serNum.size());
    if (code != ql::QL_OK) return code;
  }
  if (const int code = LoadTrustedCertificates(helper_, session_); code != ql::QL_OK) return code;
  if (const QString crl = helper_.GetCrlSettings(); !crl.isEmpty()) {
    if (const int code = session_.LoadCrlFolder(crl); code != ql::QL_OK) return code;
  }
  // The remembered password only for the key file it was typed for;
  // otherwise the key's own prompt asks.
  PasswordBuffer password;
  const int n = key.sczi == 0 ? CryptoSession::RememberedPasswordFor(key.file, password) : 0;
  return LoadOwnerKey(session_, key,
                      std::string_view(reinterpret_cast<const char*>(password.data()), static_cast<std::size_t>(n)));
}

int UnpackRun::decrypt() {
  if (first_.isEmpty()) first_ = kUnenc;
  decrypted_ = true;
  DecryptRequest request;
  helper_.GetOwnerRecord(request.defaultKey);
  request.inputFile = current_;
  request.sourceName = source_;
  request.messageRecipients = recipients(current_);
  request.progress = &progress_;
  const DecryptAnswer answer = ui_.askDecrypt(request);
  progress_.stop();
  if (!answer.accepted) {
    helper_.RemoveTmp(source_, work_, true);
    return end(kOpCancelled, 0);
  }
  progress_.start();
  OwnerRecord key = answer.key;
  if (!key.name.isEmpty()) {
    OwnerRecord filled;
    filled.name = key.name;
    if (helper_.GetOwnerRecord(filled)) key = filled;
  }
  progress_.stop();
  if (!key.path.isEmpty() && session_.IsKeyMediumPresent(key.path) == 0) {
    const KeyMediumAnswer medium = ui_.askKeyMedium({key.profile, key.path, key.file, key.sczi != 0, key.serNum});
    if (!medium.accepted) {
      sortFailed(kUnenc, current_);
      return end(kOpKeyMediumCancelled, 0);
    }
    key.path = medium.mediumPath;
    if (!medium.keyFile.isEmpty()) key.file = medium.keyFile;
    key.sczi = medium.keyFormat31 ? 1 : 0;
  }
  if (const int code = loadKey(key); code != ql::QL_OK) return toolkitFailure(code, kUnenc);
  progress_.start();
  QString output = GetPathFromName(current_) + QLatin1Char('/') + GetFileFromName(answer.outputPath);
  NetStr(output);
  // The output never replaces the file being decrypted nor the working copy.
  if (GetFileFromName(answer.outputPath).isEmpty() || output == current_ || output == work_)
    output = GetUnicalName(output + QStringLiteral(".out"));
  const int code = session_.DecryptFile(current_, output, &progress_);
  if (code == ql::QL_OK) {
    if (decryptedOut_.isEmpty()) decryptedOut_ = answer.outputPath;
    current_ = output;
    return kContinue;
  }
  progress_.stop();
  sortFailed(kUnenc, current_);
  log_.ShowError(code, &progress_);
  log_.LogLine(log_.GetErrorText(code));
  return end(code, 0);
}

int UnpackRun::verifyFailure() {
  progress_.stop();
  sortFailed(kChek, current_);
  report(QStringLiteral("Ошибка при проверке подписи. \r\nФайл: %1").arg(current_));
  return end(kOpFinishedWithErrors, 0);
}

int UnpackRun::verify() {
  if (first_.isEmpty()) first_ = kChek;
  verified_ = true;
  // Verification is in memory, and the toolkit takes at most INT_MAX bytes.
  if (QFileInfo(current_).size() > kMaxVerifiableBytes) return verifyFailure();
  SignatureChecker checker;
  checker.setProgress(&progress_);
  if (const int code = LoadTrustedCertificates(helper_, session_); code != ql::QL_OK)
    return toolkitFailure(code, kChek);
  if (const QString crl = helper_.GetCrlSettings(); !crl.isEmpty()) {
    if (const int code = session_.LoadCrlFolder(crl); code != ql::QL_OK) log_.ShowError(code, &progress_);
  }
  QString caption = current_;
  if (!is_sga(current_)) {
    if (!checker.CheckFile(current_, false)) return verifyFailure();
  } else {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(current_, document, signatures) == 0) {
      progress_.stop();
      sortFailed(kChek, current_);
      report(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(current_));
      return end(kOpFinishedWithErrors, 0);
    }
    const QString folder = GetPathFromName(current_);
    for (const QString& s : signatures) checker.signatureFiles().append(folder + QLatin1Char('/') + s);
    checker.setFileName(current_);
    if (!checker.VerifySignaturesEx(folder + QLatin1Char('/') + document, false)) return verifyFailure();
    caption = current_ + QStringLiteral(" : ") + document;
  }
  // An empty record list would build as confirmed: nothing was signed.
  if (checker.records().empty()) {
    progress_.stop();
    sortFailed(kChek, current_);
    report(QStringLiteral("Документ не защищен или испорчен.\r\nФайл: %1").arg(current_));
    return end(kOpFinishedWithErrors, 0);
  }
  progress_.stop();
  QString shown;
  const bool confirmed = checker.BuildProtocol(current_, shown);
  LogOptions options;
  helper_.GetLogOptions(options);
  VerifyProtocolRequest request;
  request.fileName = caption;
  request.documentPath = current_;
  request.protocolText = shown;
  for (const auto& record : checker.records()) request.records.push_back(*record);
  request.allConfirmed = confirmed;
  request.extractDocument = confirmed && options.UnPackDoc != 0;
  const VerifyProtocolAnswer answer = ui_.showVerifyProtocol(request);
  progress_.start();
  // Built afresh: appending to the shown text would double every block.
  QString protocol;
  if (!checker.BuildProtocol(current_, protocol)) {
    progress_.stop();
    sortFailed(kChek, current_);
    log_.LogLine(protocol);
    return end(kOpFinishedWithErrors, 0);
  }
  QString placed = current_;
  if (answer.extractDocument) {
    log_.LogLine(protocol);
    helper_.GroupSortFile(source_, placed, kChek, false, &progress_);
    signedDoc_ = current_;
    return kContinue;
  }
  progress_.stop();
  helper_.GroupSortFile(source_, placed, kChek, false, &progress_);
  helper_.GroupSortFileEx(source_, work_, placed, sourceCode(), &progress_);
  helper_.RemoveTmp(source_, work_, false);
  log_.LogLine(protocol);
  return end(kOpOk, 1);
}

int UnpackRun::extract() {
  SignatureChecker checker;
  checker.setProgress(&progress_);
  QString extracted;
  const auto failed = [this](const QString& text) {
    progress_.stop();
    sortFailed(kDoc, current_);
    report(text);
    return end(kOpFinishedWithErrors, 0);
  };
  if (!is_sga(current_)) {
    const QString document = current_.endsWith(QLatin1String(".sgn")) ? current_.chopped(4) : current_;
    extracted = GetPathFromName(work_) + QLatin1Char('/') + GetFileFromName(document);
    NetStr(extracted);
    // Written from the mapped message: no copy of a large document beside it.
    QString error;
    const ExtractResult result = checker.ExtractDocumentTo(current_, extracted, error, false);
    if (result == ExtractResult::kFailed)
      return failed(QStringLiteral("Ошибка при извлечении подписанного документа.\r\nДокумент: %1").arg(current_));
    if (result == ExtractResult::kWriteFailed) {
      progress_.stop();
      helper_.ShowMessage(QStringLiteral("Не удалось создать файл!"), MB_OK | MB_ICONSTOP);
      log_.LogLine(QStringLiteral("Не удалось создать файл!\r\nФайл: %1").arg(extracted));
      // The source was taken into the working folder: it goes back.
      helper_.RemoveTmp(source_, work_, true);
      return end(kOpWorkFolderFailed, 1);
    }
  } else {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(current_, document, signatures) == 0)
      return failed(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(current_));
    extracted = GetPathFromName(current_) + QLatin1Char('/') + document;
  }
  SortSettings sort;
  helper_.GetSortSettings(kDoc, sort, &progress_);
  QString finalName =
      (sort.Result == 0 ? GetPathFromName(source_) : sort.ResultPath) + QLatin1Char('/') + GetFileFromName(extracted);
  NetStr(finalName);
  if (session_.IsKeyMediumPresent(finalName) != 0 &&
      helper_.ShowMessage(QStringLiteral("Файл с таким именем уже существует: \r\n %1\r\n\r\nЗаменить?").arg(finalName),
                          MB_YESNO | MB_ICONQUESTION) != IDYES) {
    progress_.stop();
    helper_.GroupSortFileEx(source_, work_, extracted, sourceCode(), &progress_);
    helper_.RemoveTmp(source_, work_, false);
    report(QStringLiteral("Операция извлечения документа отменена пользователем.\r\nПодписанный документ: %1")
               .arg(source_));
    return end(kOpCancelled, 1);
  }
  QString placed = extracted;
  if (helper_.GroupSortFile(source_, placed, kDoc, false, &progress_) == 0)
    return failed(QStringLiteral("Ошибка при извлечении подписанного документа.\r\nДокумент: %1").arg(current_));
  helper_.GroupSortFileEx(source_, work_, extracted, sourceCode(), &progress_);
  helper_.RemoveTmp(source_, work_, false);
  const QString text = decrypted_
                           ? QStringLiteral(
                                 "Документ расшифрован и проверен!\r\nЗашифрованный документ: %1\r\nПодписанный "
                                 "документ: %2\r\nИзвлеченный документ: %3")
                                 .arg(GetFileFromName(source_), GetFileFromName(signedDoc_), GetFileFromName(extracted))
                           : QStringLiteral(
                                 "Подпись проверена, документ извлечен!\r\nПодписанный документ: %1\r\nИзвлеченный "
                                 "документ: %2")
                                 .arg(GetFileFromName(signedDoc_), GetFileFromName(extracted));
  log_.LogLine(text);
  if (helper_.ShowMessage(text + QStringLiteral("\n\nОткрыть документ?"), MB_YESNO | MB_ICONINFORMATION, &progress_) ==
      IDYES)
    ui_.openDocument(placed);
  return end(kOpOk, 1);
}

int UnpackRun::decryptedOnly() {
  if (!DS_CopyFile(current_, decryptedOut_, false)) {
    // The decrypted file stays sorted as a failure; no success is claimed.
    progress_.stop();
    sortFailed(kUnenc, current_);
    helper_.ShowMessage(QStringLiteral("Не удалось создать файл!"), MB_OK | MB_ICONSTOP);
    log_.LogLine(QStringLiteral("Не удалось создать файл!\r\nФайл: %1").arg(decryptedOut_));
    return end(kOpWorkFolderFailed, 0);
  }
  helper_.GroupSortFileEx(source_, work_, decryptedOut_, kUnenc, &progress_);
  helper_.RemoveTmp(source_, work_, false);
  report(QStringLiteral("Файл успешно расшифрован! \r\n\r\n %1 ").arg(decryptedOut_));
  return end(kOpOk, 1);
}

int UnpackRun::run() {
  source_ = job_.files.value(0);
  if (source_.isEmpty()) {
    job_.result = kOpNoFiles;
    return 0;
  }
  NetStr(source_);
  hold_.Open();
  // A signed file too large for the in-memory verification is refused
  // before anything is touched.
  const int sourceKind = session_.GetFileType(source_);
  if ((sourceKind == ql::QL_KIND_SIGNED || is_sga(source_)) && QFileInfo(source_).size() > kMaxVerifiableBytes) {
    log_.ShowError(ql::QL_ERR_ARGUMENT, &progress_);
    log_.LogLine(QStringLiteral("%1\r\nФайл: %2").arg(log_.GetErrorText(ql::QL_ERR_ARGUMENT), source_));
    job_.result = ql::QL_ERR_ARGUMENT;
    return 0;
  }
  work_ = helper_.CreateTmp(source_, true);
  if (work_.isEmpty()) {
    const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(source_);
    helper_.ShowMessage(text, MB_OK | MB_ICONSTOP);
    log_.LogLine(text);
    job_.result = kOpWorkFolderFailed;
    return 0;
  }
  if (session_.IsKeyMediumPresent(work_) == 0) {
    helper_.RemoveTmp(source_, work_, true);
    job_.result = kOpWorkFolderFailed;
    return 0;
  }
  log_.LogOperation(QStringLiteral("распаковка"));
  progress_.start();
  log_.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(source_));
  progress_.setFile(GetFileFromName(work_));
  current_ = work_;
  for (;;) {
    const int kind = session_.GetFileType(current_);
    int step = kContinue;
    switch (DecideUnpackStep(kind, decrypted_, verified_, is_sga(current_))) {
      case UnpackStep::kKindUnreadable: {
        // A kind that cannot be read ends the run; asking again would never end.
        const int code = session_.LastResult() != ql::QL_OK ? session_.LastResult() : ql::QL_ERR_ARGUMENT;
        return toolkitFailure(code, first_.isEmpty() ? kChek : first_);
      }
      case UnpackStep::kUnsupported: {
        progress_.stop();
        QString placed = work_;
        helper_.GroupSortFile(source_, placed, kUnenc, true, &progress_);
        helper_.GroupSortFileEx(source_, work_, work_, kUnenc, &progress_);
        helper_.RemoveTmp(source_, work_, false);
        report(QStringLiteral("Данный тип зашифрованного сообщения не поддерживается!\r\nФайл: %1").arg(work_));
        return end(kOpFinishedWithErrors, 0);
      }
      case UnpackStep::kDecrypt:
        step = decrypt();
        break;
      case UnpackStep::kVerify:
        step = verify();
        break;
      case UnpackStep::kUnprotected: {
        progress_.stop();
        QString placed = work_;
        helper_.GroupSortFile(source_, placed, kChek, true, &progress_);
        helper_.RemoveTmp(source_, work_, false);
        report(QStringLiteral("Документ: %1 \r\nне подписан и не зашифрован или испорчен!").arg(work_));
        return end(kOpFinishedWithErrors, 0);
      }
      case UnpackStep::kDecryptedOnly:
        return decryptedOnly();
      case UnpackStep::kExtract:
        return extract();
    }
    if (step != kContinue) return step;
  }
}

}  // namespace

UnpackStep DecideUnpackStep(int kind, bool decrypted, bool verified, bool sga) {
  if (kind < 0) return UnpackStep::kKindUnreadable;
  // A file is verified once per run; what follows its verification is the
  // document's extraction, whatever the file's kind.
  if (verified) return UnpackStep::kExtract;
  if (kind == ql::QL_KIND_SIGNED_ENVELOPED) return UnpackStep::kUnsupported;
  if (kind == ql::QL_KIND_ENVELOPED) return UnpackStep::kDecrypt;
  if (kind == ql::QL_KIND_SIGNED || sga) return UnpackStep::kVerify;
  return decrypted ? UnpackStep::kDecryptedOnly : UnpackStep::kUnprotected;
}

int VerifyFile(const QString& path, QString& protocol) {
  EngineHelper& helper = engine_helper();
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  if (const int code = hold.Open(); code != ql::QL_OK) return code;
  if (const int code = LoadTrustedCertificates(helper, session); code != ql::QL_OK) return code;
  if (const QString crl = helper.GetCrlSettings(); !crl.isEmpty()) {
    if (const int code = session.LoadCrlFolder(crl); code != ql::QL_OK) return code;
  }
  SignatureChecker checker;
  bool walked = false;
  if (!is_sga(path)) {
    if (QFileInfo(path).size() > kMaxVerifiableBytes) return ql::QL_ERR_ARGUMENT;
    walked = checker.CheckFile(path, true);
  } else {
    // The archive is unpacked in a working folder, never beside the file.
    const QString work = helper.CreateTmp(path, false);
    if (work.isEmpty()) return kOpWorkFolderFailed;
    QString document;
    QStringList signatures;
    if (helper.ReadSignatureList(work, document, signatures) != 0) {
      const QString folder = GetPathFromName(work);
      for (const QString& s : signatures) checker.signatureFiles().append(folder + QLatin1Char('/') + s);
      checker.setFileName(path);
      walked = checker.VerifySignaturesEx(folder + QLatin1Char('/') + document, true);
    }
    helper.RemoveTmp(path, work, false);
  }
  const bool confirmed = checker.BuildProtocol(path, protocol);
  return walked && !checker.records().empty() && confirmed ? kOpOk : kOpFinishedWithErrors;
}

int UnpackFile(OperationJob* job) {
  if (job == nullptr) return 0;
  // With no interface installed every question is answered with cancel.
  ScriptedUi cancelling;
  EngineUi* ui = operation_ui();
  UnpackRun run(*job, ui != nullptr ? *ui : cancelling);
  return run.run();
}

}  // namespace dsutils
