// UnpackGroup: the unpack decision of UnpackFile over every file of a job,
// with the executor's key (loaded once), no per-file dialog and a counted
// summary. Per-file outcomes go to the daily log; only the boxes that end
// the group are shown in automatic runs too.
#include <QFileInfo>
#include <string_view>

#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/unpack_file.h"
#include "quillon2/ql_codes.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

const QString kUnenc = QStringLiteral("UNENC");
const QString kChek = QStringLiteral("CHEK");
const QString kDoc = QStringLiteral("DOC");

// A file's steps go on, the file is done (next entry), or the group ends.
enum class Flow { kNext, kFileDone, kGroupEnds };

struct Counters {
  std::int32_t total = 0, encrypted = 0, signedFiles = 0, unprotected = 0;
  std::int32_t decrypted = 0, verified = 0, extracted = 0;
  std::int32_t decryptErrors = 0, verifyErrors = 0;
};

QString summary_heading(bool interrupted) {
  // The interrupted headings have "\n\n" where the finished one has "\r\n\r\n".
  return interrupted ? QStringLiteral("\r\nГрупповая операция распаковки прервана пользователем!\n\n")
                     : QStringLiteral("\r\nГрупповая операция распаковки завершена!\r\n\r\n");
}

QString summary_files(const Counters& c) {
  return QStringLiteral(
             "Всего файлов: %1\r\n   зашифрованных - %2\r\n   подписанных - %3\r\n   незащищенных - %4\r\n   "
             "испорченных - %5\r\n\r\n")
      .arg(c.total)
      .arg(c.encrypted)
      .arg(c.signedFiles)
      .arg(c.unprotected)
      .arg(0);
}

QString summary_errors(const Counters& c) {
  return QStringLiteral("Файлы с ошибками:\r\n   при расшифровании - %1\r\n   при проверке подписи - %2\r\n")
      .arg(c.decryptErrors)
      .arg(c.verifyErrors);
}

}  // namespace

// Forms C (finished) and A (cancel noticed before a step) count the
// operations; form B (cancel inside a decryption) counts the files.
QString UnpackGroupSummary(char form, std::int32_t total, std::int32_t encrypted, std::int32_t signedFiles,
                           std::int32_t unprotected, std::int32_t decrypted, std::int32_t verified,
                           std::int32_t extracted, std::int32_t decryptErrors, std::int32_t verifyErrors) {
  const Counters c{total,    encrypted, signedFiles,   unprotected, decrypted,
                   verified, extracted, decryptErrors, verifyErrors};
  QString text = summary_heading(form != 'C') + summary_files(c);
  if (form == 'B') {
    text += QStringLiteral(
                "Файлы, прошедшие криптообработку:\r\n   расшифрованные - %1\r\n   с проверенной подписью - %2\r\n\r\n")
                .arg(c.decrypted)
                .arg(c.verified);
  } else {
    text += QStringLiteral(
                "Операции криптообработки:\r\n   расшифрование - %1\r\n   проверка подписи - %2\r\n   извлечение - "
                "%3\r\n\r\n")
                .arg(c.decrypted)
                .arg(c.verified)
                .arg(c.extracted);
  }
  return text + summary_errors(c);
}

namespace {

class GroupRun {
 public:
  explicit GroupRun(OperationJob& job)
      : job_(job),
        kit_(job, QStringLiteral("Выполняется операция: распаковка"), kUnenc),
        helper_(kit_.helper()),
        session_(kit_.session()),
        log_(kit_.log()),
        progress_(kit_.progress()) {}

  int run();

 private:
  QString summary(char form) const {
    return UnpackGroupSummary(form, n_.total, n_.encrypted, n_.signedFiles, n_.unprotected, n_.decrypted, n_.verified,
                              n_.extracted, n_.decryptErrors, n_.verifyErrors);
  }
  // A box that is shown in automatic runs too.
  void box(const QString& text, unsigned flags) {
    const bool shown = progress_.shown();
    if (shown) progress_.stop();
    helper_.ShowMessage(text, flags, &progress_);
    if (shown) progress_.start();
  }
  int endGroup(int result) {
    progress_.stop();
    job_.result = result;
    return 0;
  }
  QString sourceCode() const { return decrypted_ ? kUnenc : kChek; }
  // The current file sorted under `code` (as a failure or not); the source
  // goes where processed sources go, and back to its place when that fails;
  // the working folder away.
  void settle(const QString& code, bool failed, const QString& file) {
    QString placed = file;
    helper_.GroupSortFile(source_, placed, code, failed, &progress_);
    const bool sourcePlaced = helper_.GroupSortFileEx(source_, work_, placed, sourceCode(), &progress_) != 0;
    helper_.RemoveTmp(source_, work_, !sourcePlaced);
  }
  // The source back from the working folder, nothing sorted.
  void putBack() { helper_.RemoveTmp(source_, work_, true); }
  Flow cancelled(char form);
  Flow unprotected(const QString& text);
  Flow decrypt();
  Flow loadKey();
  Flow verify();
  Flow verifyFailure();
  Flow extract();
  Flow decryptedOnly();
  Flow file(const QString& name);

  OperationJob& job_;
  OperationKit kit_;
  EngineHelper& helper_;
  CryptoSession& session_;
  ErrorTextLoader& log_;
  OperationProgress& progress_;
  Counters n_;
  OwnerRecord executor_;
  CertificateInfo executorInfo_;
  bool executorDecoded_ = false;
  bool keysLoaded_ = false;
  QString source_, work_, current_, first_, firstFile_;
  bool decrypted_ = false, verified_ = false;
};

Flow GroupRun::cancelled(char form) {
  progress_.stop();
  const QString text = summary(form);
  if (kit_.interactive()) helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION, &progress_);
  log_.LogLine(text);
  job_.result = kOpCancelled;
  return Flow::kGroupEnds;
}

Flow GroupRun::unprotected(const QString& text) {
  ++n_.unprotected;
  ++n_.verifyErrors;
  settle(kChek, true, current_);
  log_.LogLine(text);
  return Flow::kFileDone;
}

Flow GroupRun::loadKey() {
  const auto keyFailure = [this](int code) {
    settle(kUnenc, true, current_);
    kit_.showError(code);
    job_.result = code;
    return Flow::kGroupEnds;
  };
  const bool shown = progress_.shown();
  if (shown) progress_.stop();
  if (!executor_.path.isEmpty() && !kit_.askKeyMedium(executor_)) {
    settle(kUnenc, true, current_);
    job_.result = kOpCancelled;
    return Flow::kGroupEnds;
  }
  // A key of a medium is read with the medium as the session's container;
  // the reopened session trusts the directory's CA certificates again.
  if (executor_.sczi != 0 && !executor_.path.isEmpty()) {
    kit_.hold().OpenWithPath(executor_.path);
    if (const int code = kit_.loadTrustedCertificates(); code != ql::QL_OK) return keyFailure(code);
    // So do its revocation lists, which the files verified after it need.
    if (const int code = kit_.loadCrlFolder(); code != ql::QL_OK) kit_.showError(code);
  }
  if (!executor_.serNum.isEmpty()) {
    const int code = session_.AddCertificate(reinterpret_cast<const unsigned char*>(executor_.serNum.constData()),
                                             executor_.serNum.size());
    if (code != ql::QL_OK) return keyFailure(code);
  }
  int code = ql::QL_OK;
  if (executor_.sczi == 0) {
    // The remembered password only for the key file it was typed for.
    PasswordBuffer password;
    const int n = CryptoSession::RememberedPasswordFor(executor_.file, password);
    code = session_.LoadKeyFile(
        executor_.file, std::string_view(reinterpret_cast<const char*>(password.data()), static_cast<std::size_t>(n)));
  } else if (executor_.file.isEmpty()) {
    code = session_.LoadKeysFromMedium(executor_.path, QString());
  } else {
    code = session_.LoadKeyFromMedium(executor_.path, executor_.file);
  }
  if (code != ql::QL_OK) return keyFailure(code);
  keysLoaded_ = true;
  if (shown) progress_.start();
  return Flow::kNext;
}

Flow GroupRun::decrypt() {
  if (first_.isEmpty()) first_ = kUnenc;
  if (!decrypted_ && !verified_) ++n_.encrypted;
  if (firstFile_.isEmpty()) firstFile_ = current_;
  // Refused before any key is touched.
  if (!executorDecoded_ || !IsEncryptedForOwner(current_, executorInfo_, &progress_)) {
    settle(kUnenc, true, current_);
    log_.LogLine(QStringLiteral("Ошибка расшифрования.\r\n Документ зашифрован не на исполнителя. \r\nДокумент: %1 ")
                     .arg(current_));
    ++n_.decryptErrors;
    return Flow::kFileDone;
  }
  if (!keysLoaded_) {
    if (const Flow f = loadKey(); f != Flow::kNext) return f;
  }
  const QString output = current_.endsWith(QLatin1String(".enc")) ? current_.chopped(4) : GetUnicalName(current_);
  const int code = session_.DecryptFile(current_, output, &progress_);
  if (code == ql::QL_OK) {
    current_ = output;
    log_.LogLine(QStringLiteral("Документ расшифрован! \r\nИсходный документ: %1 \r\nРасшифрованный документ: %2 ")
                     .arg(GetFileFromName(source_), GetFileFromName(output)));
    if (!decrypted_) ++n_.decrypted;
    decrypted_ = true;
    return Flow::kNext;
  }
  if (code == kOpCancelled) {
    progress_.stop();
    putBack();
    return cancelled('B');
  }
  QFile::remove(output);
  settle(kUnenc, true, current_);
  log_.LogLine(
      QStringLiteral("Ошибка расшифрования! \r\nФайл: %1 \r\nКод ошибки: %2 ").arg(current_, log_.GetErrorText(code)));
  ++n_.decryptErrors;
  return Flow::kFileDone;
}

Flow GroupRun::verifyFailure() {
  ++n_.verifyErrors;
  settle(kChek, true, current_);
  log_.LogLine(QStringLiteral("Ошибка при проверке подписи. \r\nФайл: %1").arg(current_));
  return Flow::kFileDone;
}

Flow GroupRun::verify() {
  if (first_.isEmpty()) first_ = kChek;
  if (!decrypted_ && !verified_) ++n_.signedFiles;
  if (firstFile_.isEmpty()) firstFile_ = current_;
  // Verification is in memory, and the toolkit takes at most INT_MAX bytes.
  if (QFileInfo(current_).size() > kMaxVerifiableBytes) return verifyFailure();
  // The CA certificates and revocation lists were loaded for the run (and
  // again when the key's medium reopened the session): loading them per file
  // added another copy of each to the session's store every time.
  SignatureChecker checker;
  checker.setProgress(&progress_);
  if (GetExtFromName(current_) != QLatin1String("sga")) {
    if (!checker.CheckFile(current_, true)) return verifyFailure();
  } else {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(current_, document, signatures) == 0) {
      ++n_.verifyErrors;
      settle(kChek, true, current_);
      log_.LogLine(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(current_));
      return Flow::kFileDone;
    }
    const QString folder = GetPathFromName(current_);
    for (const QString& s : signatures) checker.signatureFiles().append(folder + QLatin1Char('/') + s);
    checker.setFileName(current_);
    if (!checker.VerifySignaturesEx(folder + QLatin1Char('/') + document, true)) return verifyFailure();
  }
  if (checker.records().empty()) {
    ++n_.verifyErrors;
    settle(kChek, true, current_);
    log_.LogLine(QStringLiteral("Документ не защищен или испорчен.\r\nФайл: %1").arg(current_));
    return Flow::kFileDone;
  }
  QString protocol;
  if (!checker.BuildProtocol(current_, protocol)) {
    ++n_.verifyErrors;
    settle(kChek, true, current_);
    log_.LogLine(protocol);
    return Flow::kFileDone;
  }
  if (!verified_) ++n_.verified;
  log_.LogLine(protocol);
  verified_ = true;
  if (job_.unpackDocument != 0) return Flow::kNext;
  const QString text =
      decrypted_ ? QStringLiteral(
                       "Документ расшифрован и проверен!\r\nЗашифрованный документ: "
                       "%1\r\nПодписанный документ: %2")
                       .arg(GetFileFromName(source_), GetFileFromName(current_))
                 : QStringLiteral("Документ проверен!\r\nПодписанный документ: %1").arg(GetFileFromName(current_));
  settle(kChek, false, current_);
  log_.LogLine(text);
  return Flow::kFileDone;
}

Flow GroupRun::extract() {
  SignatureChecker checker;
  checker.setProgress(&progress_);
  QString extracted;
  const auto failed = [this](const QString& text) {
    settle(kDoc, true, current_);
    log_.LogLine(text);
    return Flow::kFileDone;
  };
  if (GetExtFromName(current_) != QLatin1String("sga")) {
    const QString document = current_.endsWith(QLatin1String(".sgn")) ? current_.chopped(4) : current_;
    extracted = GetPathFromName(work_) + QLatin1Char('/') + GetFileFromName(document);
    NetStr(extracted);
    if (extracted == current_ || extracted == work_) extracted = GetUnicalName(extracted);
    QString error;
    const ExtractResult result = checker.ExtractDocumentTo(current_, extracted, error, false);
    if (result == ExtractResult::kFailed)
      return failed(QStringLiteral("Ошибка при извлечении подписанного документа.\r\nДокумент: %1")
                        .arg(GetFileFromName(current_)));
    if (result == ExtractResult::kWriteFailed) {
      progress_.stop();
      box(QStringLiteral("Не удалось создать файл!"), MB_OK | MB_ICONSTOP);
      log_.LogLine(QStringLiteral("Не удалось создать файл!\r\nФайл: %1").arg(extracted));
      // The source was taken into the working folder: it goes back.
      putBack();
      job_.result = kOpWorkFolderFailed;
      return Flow::kGroupEnds;
    }
  } else {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(current_, document, signatures) == 0)
      return failed(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(current_));
    extracted = GetPathFromName(current_) + QLatin1Char('/') + document;
  }
  QString placed = extracted;
  if (helper_.GroupSortFile(source_, placed, kDoc, false, &progress_) == 0)
    return failed(
        QStringLiteral("Ошибка при извлечении подписанного документа.\r\nДокумент: %1").arg(GetFileFromName(current_)));
  const bool sourcePlaced = helper_.GroupSortFileEx(source_, work_, extracted, sourceCode(), &progress_) != 0;
  helper_.RemoveTmp(source_, work_, !sourcePlaced);
  ++n_.extracted;
  const QString text = decrypted_
                           ? QStringLiteral(
                                 "Документ расшифрован и проверен!\r\nЗашифрованный документ: %1\r\nПодписанный "
                                 "документ: %2\r\nИзвлеченный документ: %3")
                                 .arg(GetFileFromName(source_), GetFileFromName(current_), GetFileFromName(extracted))
                           : QStringLiteral(
                                 "Подпись проверена, документ извлечен!\r\nПодписанный документ: %1\r\nИзвлеченный "
                                 "документ: %2")
                                 .arg(GetFileFromName(current_), GetFileFromName(extracted));
  log_.LogLine(text);
  return Flow::kFileDone;
}

Flow GroupRun::decryptedOnly() {
  settle(kUnenc, false, current_);
  log_.LogLine(
      QStringLiteral("Файл успешно расшифрован! \r\n\r\nЗашифрованный документ: %1\r\nРасшифрованный документ: %2")
          .arg(GetFileFromName(source_), GetFileFromName(current_)));
  return Flow::kFileDone;
}

Flow GroupRun::file(const QString& name) {
  source_ = name;
  NetStr(source_);
  progress_.setFile(GetFileFromName(source_));
  log_.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(source_));
  work_ = helper_.CreateTmp(source_, true);
  if (work_.isEmpty()) {
    const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(source_);
    progress_.stop();
    if (kit_.interactive()) helper_.ShowMessage(text, MB_OK | MB_ICONSTOP, &progress_);
    log_.LogLine(text);
    job_.result = kOpWorkFolderFailed;
    return Flow::kGroupEnds;
  }
  current_ = work_;
  first_.clear();
  firstFile_.clear();
  decrypted_ = verified_ = false;
  for (;;) {
    if (progress_.cancelled()) {
      putBack();
      return cancelled('A');
    }
    const int kind = session_.GetFileType(current_);
    Flow flow = Flow::kNext;
    switch (DecideUnpackStep(kind, decrypted_, verified_, GetExtFromName(current_) == QLatin1String("sga"))) {
      case UnpackStep::kKindUnreadable:
        // Nothing can be done with it: the source goes back, and the file
        // counts as one whose signature could not be checked.
        putBack();
        ++n_.verifyErrors;
        log_.LogLine(QStringLiteral("%1\r\nФайл: %2").arg(log_.GetErrorText(session_.LastResult()), source_));
        return Flow::kFileDone;
      case UnpackStep::kUnsupported:
        return unprotected(
            QStringLiteral("Данный тип зашифрованного сообщения не поддерживается!\r\nФайл: %1").arg(current_));
      case UnpackStep::kUnprotected:
        return unprotected(QStringLiteral("Документ: %1 \r\nне подписан и не зашифрован или испорчен!").arg(current_));
      case UnpackStep::kDecrypt:
        flow = decrypt();
        break;
      case UnpackStep::kVerify:
        flow = verify();
        break;
      case UnpackStep::kDecryptedOnly:
        return decryptedOnly();
      case UnpackStep::kExtract:
        return extract();
    }
    if (flow != Flow::kNext) return flow;
  }
}

int GroupRun::run() {
  if (!helper_.CheckOwner()) {
    job_.result = kOpNoExecutorInDirectory;
    return 0;
  }
  kit_.hold().Open();
  n_.total = static_cast<std::int32_t>(job_.files.size());
  if (n_.total == 0) {
    if (kit_.interactive())
      helper_.ShowMessage(QStringLiteral("Не выбраны файлы для распаковки!"), MB_OK | MB_ICONINFORMATION);
    return endGroup(kOpNoFiles);
  }
  if (const int code = kit_.loadTrustedCertificates(); code != ql::QL_OK) {
    kit_.showError(code);
    return endGroup(code);
  }
  if (const int code = kit_.loadCrlFolder(); code != ql::QL_OK) kit_.showError(code);
  if (!helper_.GetOwnerRecord(executor_)) {
    box(QStringLiteral("Не задан исполнитель в локальном справочнике!"), MB_OK | MB_ICONSTOP);
    return endGroup(kOpNoExecutorInDirectory);
  }
  // Read and decoded once for the run, not once per encrypted file.
  executorDecoded_ =
      !executor_.serNum.isEmpty() && session_.GetCertificateInfo(executor_.serNum, executorInfo_) == ql::QL_OK;
  if (n_.total >= 2 && kit_.interactive() &&
      helper_.ShowMessage(QStringLiteral("\nРаспаковать группу файлов ?\nВсего файлов: %1").arg(n_.total),
                          MB_YESNO | MB_ICONQUESTION) != IDYES)
    return endGroup(kOpCancelled);
  LogOptions options;
  helper_.GetLogOptions(options);
  job_.unpackDocument = static_cast<std::int32_t>(options.UnPackDoc);
  progress_.start();
  log_.LogOperation(QStringLiteral("распаковка"));
  for (const QString& name : job_.files) {
    if (name.isEmpty()) continue;
    if (file(name) == Flow::kGroupEnds) {
      progress_.stop();
      return 0;
    }
  }
  progress_.stop();
  const QString text = summary('C');
  job_.result = n_.decryptErrors == 0 && n_.verifyErrors == 0 ? kOpOk : kOpFinishedWithErrors;
  if (kit_.interactive()) helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND, &progress_);
  log_.LogLine(text);
  return 1;
}

}  // namespace

int UnpackGroup(OperationJob* job) {
  if (job == nullptr) return 0;
  job->result = kOpOk;
  GroupRun run(*job);
  return run.run();
}

}  // namespace dsutils
