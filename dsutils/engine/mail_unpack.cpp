// MailUnpack: the attachments of a received message decrypted (with the
// executor's key, loaded once), verified and extracted, each reported in its
// record and in the protocol file. A failed attachment never ends the run;
// a cancel, a key that cannot be had or a working folder that cannot be made
// does, with the attachment in hand put back first.
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "dsutils/engine/mail.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/unpack_file.h"
#include "quillon2/ql_codes.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

std::mutex g_clock_mutex;
std::function<QDateTime()> g_clock;

QDateTime mail_now() {
  const std::lock_guard<std::mutex> guard(g_clock_mutex);
  return g_clock ? g_clock() : QDateTime::currentDateTime();
}

// clang-format off
const std::array<MailOutcomeRow, 11> kOutcomes{{
    {MailOutcome::kNotForExecutor, "E_UNENC", "Файл зашифрован не на исполнителя.",
     "Ошибка расшифрования.\r\n Файл зашифрован не на исполнителя. \r\nФайл: %1 ", "%3"},
    {MailOutcome::kDecryptionError, "E_UNENC", "",
     "Ошибка расшифрования почты. \r\nФайл: %1 \r\nКод ошибки: %2 ",
     "Ошибка расшифрования почты. \r\nФайл: %1 \r\nКод ошибки: %2 "},
    {MailOutcome::kUnsupported, "E_UNENC", "Данный тип зашифрованного сообщения не поддерживается!",
     "Данный тип зашифрованного сообщения не поддерживается!\r\nФайл: %1",
     "Данный тип зашифрованного сообщения не поддерживается!\r\nФайл: %1"},
    {MailOutcome::kUnprotected, "E_CHEK", "Документ не защищен или испорчен.",
     "Документ не защищен или испорчен. \r\nФайл: %1", "Документ не защищен или испорчен. \r\nФайл: %1",
     false, false, false, true},
    {MailOutcome::kArchiveCheck, "E_CHEK", "Ошибка при распаковке TAR архива.",
     "Ошибка при распаковке TAR архива. \r\nФайл: %1", "Ошибка при распаковке TAR архива. \r\nФайл: %1"},
    {MailOutcome::kCheckError, "E_CHEK", "Ошибка при проверке подписи.",
     "Ошибка при проверке подписи. \r\nФайл: %1", "Ошибка при проверке подписи. \r\nФайл: %1", true},
    {MailOutcome::kNotSigned, "E_CHEK", "Файл не подписан или испорчен!",
     "Файл не подписан или испорчен! \r\nФайл: %1", "Файл не подписан или испорчен! \r\nФайл: %1", true},
    {MailOutcome::kUnconfirmed, "E_CHEK", "Обнаружены неподтвержденные подписи!", "", "%3\n%4"},
    // The archive was read whole by its check: a second read fails only when
    // the working file changed in between (another program, a full disk).
    {MailOutcome::kArchiveExtraction, "E_UNENC", "Ошибка при распаковке TAR архива.",
     "Ошибка при распаковке TAR архива.\r\nФайл: %1", "Ошибка при распаковке TAR архива.\r\nФайл: %1",
     false, true},
    {MailOutcome::kExtractionError, "E_DOC", "",
     "Ошибка при извлечении подписанного файла.\r\nКод ошибки: %2\r\nФайл: %1",
     "Ошибка при извлечении подписанного файла.\r\nКод ошибки: %2\r\nФайл: %1", true, false, true},
    {MailOutcome::kCannotCreate, "", "Не удалось создать файл при извлечении документа!",
     "Не удалось создать файл!", "Не удалось создать файл!"},
}};
// clang-format on

const QString kCancelText = QStringLiteral("Групповая операция распаковки почты прервана пользователем!");
const QString kDash35 = QString(35, QLatin1Char('-'));

// The protocol file: created new (never through a link, never over a file
// that appeared under the name), written as given, closed once.
class Protocol {
 public:
  ~Protocol() { close(); }
  bool create(const QString& root) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      QString wanted = root + QLatin1Char('/') + QLatin1String(kMailProtocolName);
      NetStr(wanted);
      const QString name = GetUnicalName(wanted);
      if (name.isEmpty()) return false;
      fd_ = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ >= 0) {
        path_ = name;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }
  void write(const QString& text) {
    if (fd_ < 0) return;
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        return;
      }
      done += n;
    }
  }
  void close() {
    if (fd_ < 0) return;
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (failed_)
      error_text_loader().LogLine(QStringLiteral("Не удалось записать файл протокола!\r\nФайл: %1").arg(path_));
  }
  const QString& path() const { return path_; }

 private:
  int fd_ = -1;
  bool failed_ = false;
  QString path_;
};

enum class Flow { kNext, kDone, kRunEnds };

class MailIn {
 public:
  explicit MailIn(MailJob& job)
      : job_(job),
        helper_(engine_helper()),
        session_(global_crypto_session()),
        log_(error_text_loader()),
        hold_(session_),
        progress_(mail_ui(), QStringLiteral("Выполняется операция: распаковка почты")) {}
  ~MailIn() {
    // The key loaded for this message goes with the run, on every path.
    if (hold_.isOpen()) session_.ClearKeys();
  }
  MailIn(const MailIn&) = delete;
  MailIn& operator=(const MailIn&) = delete;

  int run();

 private:
  int endRun() {
    progress_.stop();
    protocol_.close();
    job_.success = false;
    return 0;
  }
  void line(const QString& text) {
    log_.LogLine(text);
    protocol_.write(text + QLatin1Char('\n'));
  }
  void startProgress() {
    if (!progressClosed_) progress_.start();
  }
  void sortEmail(const QString& file, const char* code, bool error) {
    if (job_.sorting && code[0] != 0) helper_.GroupSortEmail(file, QLatin1String(code), error, &progress_);
  }
  // The attachment back at its place from the copy kept when it was taken
  // up (the working copy may have changed since), the folder away; from the
  // working copy when the kept one cannot be copied.
  void putBack() {
    const QString kept = GetPathFromName(firstWork_) + QStringLiteral("/Src/") + GetFileFromName(firstWork_);
    const bool restored = DS_CopyFile(kept, path_, false) ? helper_.RemoveTmp(path_, firstWork_, false) == 1
                                                          : helper_.RemoveTmp(path_, firstWork_, true) == 1;
    if (restored) record_->processedName = path_;
  }
  Flow outcome(MailOutcome which, const QString& detail = QString(), const QString& verification = QString());
  Flow cancelled(bool inDecryption);
  Flow keyEnd(int code);
  Flow loadKey();
  Flow decrypt();
  Flow check();
  Flow extract();
  Flow decryptedOnly();
  Flow verifiedEnd();
  Flow attachment(AttachmentRecord& record);

  MailJob& job_;
  EngineHelper& helper_;
  CryptoSession& session_;
  ErrorTextLoader& log_;
  SessionHold hold_;
  OperationProgress progress_;
  Protocol protocol_;
  OwnerRecord executor_;
  bool keysLoaded_ = false;
  bool progressClosed_ = false;
  AttachmentRecord* record_ = nullptr;
  QString path_, firstWork_, work_;
  bool decrypted_ = false, verified_ = false;
};

Flow MailIn::outcome(MailOutcome which, const QString& detail, const QString& verification) {
  const MailOutcomeRow& row = mail_outcome(which);
  const QString shortText = row.shortText[0] != 0 ? QString::fromUtf8(row.shortText) : detail;
  const QString file = row.fullWorkPath ? work_ : GetFileFromName(path_);
  // One pass, so a file name holding "%2" stays as it is.
  const QString values[4] = {file, detail, shortText, verification};
  const auto fill = [&values](const char* format) {
    const QString in = QString::fromUtf8(format);
    QString text;
    for (qsizetype i = 0; i < in.size(); ++i) {
      if (in[i] == QLatin1Char('%') && i + 1 < in.size() && in[i + 1] >= QLatin1Char('1') &&
          in[i + 1] <= QLatin1Char('4')) {
        text += values[in[i + 1].unicode() - '1'];
        ++i;
      } else {
        text += in[i];
      }
    }
    return text;
  };
  record_->status = 0;
  record_->errorText = shortText;
  if (row.logText[0] != 0) log_.LogLine(fill(row.logText));
  protocol_.write(fill(row.protocolText) + QLatin1Char('\n'));
  if (row.box) helper_.ShowMessage(fill(row.logText), MB_OK | MB_ICONINFORMATION, &progress_);
  if (row.closesProgress) {
    progress_.stop();
    progressClosed_ = true;
  }
  sortEmail(work_, row.sortCode, true);
  if (row.restores || !decrypted_) {
    // Not yet decrypted, the working file is the attachment itself: it goes
    // back from the working copy, byte for byte.
    putBack();
    return Flow::kDone;
  }
  const QString target = InFolderOf(path_, work_);
  if (DS_CopyFile(work_, target, false)) {
    record_->processedName = target;
    helper_.RemoveTmp(path_, firstWork_, false);
  } else {
    putBack();
  }
  return Flow::kDone;
}

Flow MailIn::cancelled(bool inDecryption) {
  progress_.stop();
  if (inDecryption) sortEmail(work_, "E_UNENC", true);
  putBack();
  record_->status = 0;
  record_->errorText = kCancelText;
  const QString text = QStringLiteral("\r\n") + kCancelText + QStringLiteral("\n\n");
  helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION, &progress_);
  log_.LogLine(text);
  protocol_.write(text + QLatin1Char('\n'));
  return Flow::kRunEnds;
}

Flow MailIn::keyEnd(int code) {
  progress_.stop();
  putBack();
  record_->status = 0;
  if (code != 0) {
    record_->errorText = log_.GetErrorText(code);
    log_.ShowError(code, &progress_);
    line(log_.GetErrorText(code));
  } else {
    record_->errorText = kCancelText;
    line(kCancelText);
  }
  return Flow::kRunEnds;
}

Flow MailIn::loadKey() {
  if (session_.IsKeyMediumPresent(executor_.path) != 1) {
    progress_.stop();
    const KeyMediumAnswer answer = mail_ui().askKeyMedium(
        KeyMediumRequest{executor_.profile, executor_.path, executor_.file, executor_.sczi != 0, executor_.serNum});
    startProgress();
    if (!answer.accepted) return keyEnd(0);
    if (!answer.mediumPath.isEmpty()) executor_.path = answer.mediumPath;
    if (!answer.keyFile.isEmpty()) executor_.file = answer.keyFile;
    executor_.sczi = answer.keyFormat31 ? 1 : 0;
  }
  // A key of a medium is read with the medium as the session's container;
  // the reopened session trusts the directory's CA certificates again.
  if (executor_.sczi != 0 && !executor_.path.isEmpty()) {
    hold_.OpenWithPath(executor_.path);
    if (const int code = LoadTrustedCertificates(helper_, session_); code != ql::QL_OK) return keyEnd(code);
  }
  if (!executor_.serNum.isEmpty()) {
    const int code = session_.AddCertificate(reinterpret_cast<const unsigned char*>(executor_.serNum.constData()),
                                             executor_.serNum.size());
    if (code != ql::QL_OK) return keyEnd(code);
  }
  progress_.stop();
  int code = ql::QL_OK;
  if (executor_.sczi == 0) {
    // The remembered password only for the key file it was typed for.
    PasswordBuffer password;
    const int n = CryptoSession::RememberedPasswordFor(executor_.file, password);
    code = session_.LoadKeyFile(
        executor_.file, std::string_view(reinterpret_cast<const char*>(password.data()), static_cast<std::size_t>(n)));
  } else {
    code = LoadOwnerKey(session_, executor_);
  }
  startProgress();
  if (code != ql::QL_OK) return keyEnd(code);
  keysLoaded_ = true;
  return Flow::kNext;
}

Flow MailIn::decrypt() {
  if (!IsEncryptedForOwner(work_, executor_.serNum, &progress_)) return outcome(MailOutcome::kNotForExecutor);
  if (!keysLoaded_) {
    if (const Flow f = loadKey(); f != Flow::kNext) return f;
  }
  const QString output = GetExtFromName(work_) == QLatin1String("enc") ? work_.chopped(4) : work_;
  // Into a name of its own first, so a cancel or a failure leaves the
  // working file as it was whatever the toolkit does with its output.
  const QString into = InFolderOf(work_, QStringLiteral(".dsm-decrypt~") + GetFileFromName(output));
  const int code = session_.DecryptFile(work_, into, &progress_);
  if (code == kOpCancelled) {
    QFile::remove(into);
    return cancelled(true);
  }
  if (code != ql::QL_OK) {
    QFile::remove(into);
    return outcome(MailOutcome::kDecryptionError, log_.GetErrorText(code));
  }
  if (::rename(QFile::encodeName(into).constData(), QFile::encodeName(output).constData()) != 0) {
    QFile::remove(into);
    return outcome(MailOutcome::kCannotCreate);
  }
  const QString target = InFolderOf(path_, output);
  if (!DS_CopyFile(output, target, false)) return outcome(MailOutcome::kCannotCreate);
  record_->processedName = target;
  work_ = output;
  decrypted_ = true;
  return Flow::kNext;
}

Flow MailIn::check() {
  if (QFileInfo(work_).size() > kMaxVerifiableBytes) return outcome(MailOutcome::kCheckError);
  SignatureChecker checker;
  checker.setProgress(&progress_);
  if (GetExtFromName(work_) == QLatin1String("sga")) {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(work_, document, signatures) == 0) return outcome(MailOutcome::kArchiveCheck);
    const QString folder = GetPathFromName(work_);
    for (const QString& s : signatures) checker.signatureFiles().append(folder + QLatin1Char('/') + s);
    checker.setFileName(work_);
    if (!checker.VerifySignaturesEx(folder + QLatin1Char('/') + document, false))
      return outcome(MailOutcome::kCheckError);
  } else if (!checker.CheckFile(work_, false)) {
    return outcome(MailOutcome::kCheckError);
  }
  if (checker.records().empty()) return outcome(MailOutcome::kNotSigned);
  QString verification;
  if (!checker.BuildProtocol(work_, verification)) return outcome(MailOutcome::kUnconfirmed, QString(), verification);
  protocol_.write(QStringLiteral("%1\n%2\n").arg(QStringLiteral("Подписи подтверждены!"), verification));
  verified_ = true;
  sortEmail(work_, "E_CHEK", false);
  return job_.extract ? Flow::kNext : verifiedEnd();
}

Flow MailIn::verifiedEnd() {
  const QString target = InFolderOf(path_, work_);
  if (!DS_CopyFile(work_, target, false)) return outcome(MailOutcome::kCannotCreate);
  record_->processedName = target;
  line(decrypted_ ? QStringLiteral("Файл расшифрован и проверен!\r\nЗашифрованный файл: %1\r\nПодписанный файл: %2")
                        .arg(GetFileFromName(path_), GetFileFromName(target))
                  : QStringLiteral("Файл проверен!\r\nПодписаный файл: %1").arg(GetFileFromName(target)));
  helper_.RemoveTmp(path_, firstWork_, false);
  return Flow::kDone;
}

Flow MailIn::extract() {
  const bool sga = GetExtFromName(work_) == QLatin1String("sga");
  QString document;
  if (sga) {
    QString name;
    QStringList signatures;
    if (helper_.ReadSignatureList(work_, name, signatures) == 0) return outcome(MailOutcome::kArchiveExtraction);
    document = GetPathFromName(work_) + QLatin1Char('/') + name;
  } else {
    document = work_.endsWith(QLatin1String(".sgn")) ? work_.chopped(4) : work_;
    SignatureChecker checker;
    checker.setProgress(&progress_);
    QString error;
    const ExtractResult result = checker.ExtractDocumentTo(work_, document, error);
    if (result == ExtractResult::kFailed) return outcome(MailOutcome::kExtractionError, error);
    if (result == ExtractResult::kWriteFailed) return outcome(MailOutcome::kCannotCreate);
  }
  const QString target = InFolderOf(path_, document);
  if (!DS_CopyFile(document, target, false)) return outcome(MailOutcome::kCannotCreate);
  record_->processedName = target;
  sortEmail(work_, "E_DOC", false);
  if (!sga) {
    // The signed file placed beside the attachment by the decryption gives
    // way to its document.
    const QString signedBeside = InFolderOf(path_, work_);
    if (signedBeside != target && signedBeside != path_ && helper_.FileExists(signedBeside))
      session_.EraseFile(signedBeside);
  }
  const QString p = GetFileFromName(path_), w = GetFileFromName(work_), d = GetFileFromName(document);
  if (decrypted_) {
    line((sga ? QStringLiteral("Файл расшифрован и проверен!\r\nЗашифрованный файл: %1\r\nПодписанный файл: "
                               "%2\r\nИзвлеченный файл: %3")
              : QStringLiteral("Файл расшифрован и проверен!\r\nЗашифрованный файл: %1\r\nПодписанный файл: "
                               "%2\r\nИзвлеченнный файл: %3"))
             .arg(p, w, d));
  } else {
    line((sga ? QStringLiteral("Файл проверен!\r\nПодписанный файл: %1\r\nИзвлеченный файл: %2")
              : QStringLiteral("Файл проверен!\r\nПодписаный файл: %1\r\nИзвлеченный файл: %2"))
             .arg(w, d));
  }
  helper_.RemoveTmp(path_, firstWork_, false);
  return Flow::kDone;
}

Flow MailIn::decryptedOnly() {
  sortEmail(work_, "E_UNENC", false);
  line(QStringLiteral("Зашифрованный файл распакован. \r\nИсходный файл: %1\r\nРезультирующцй файл: %2")
           .arg(GetFileFromName(path_), GetFileFromName(work_)));
  helper_.RemoveTmp(path_, firstWork_, false);
  return Flow::kDone;
}

Flow MailIn::attachment(AttachmentRecord& record) {
  record_ = &record;
  path_ = record.path;
  NetStr(path_);
  record.status = 1;
  record.processedName = record.path;
  const QString file = GetFileFromName(path_);
  progress_.setFile(file);
  log_.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(file));
  protocol_.write(QStringLiteral("\n%1\nОбрабатывается файл: %2\n").arg(kDash35, file));
  std::int64_t size = 0;
  firstWork_ = OperationKit::regularFile(path_, size) ? helper_.CreateTmp(path_, true) : QString();
  if (firstWork_.isEmpty()) {
    progress_.stop();
    record.status = 0;
    record.errorText = kTmpFolderText;
    helper_.ShowMessage(kTmpFolderText, MB_OK | MB_ICONSTOP, &progress_);
    line(kTmpFolderText);
    return Flow::kRunEnds;
  }
  work_ = firstWork_;
  decrypted_ = verified_ = false;
  for (;;) {
    int kind = session_.GetFileType(work_);
    if (verified_ && kind == ql::QL_KIND_SIGNED) kind = ql::QL_KIND_OTHER;
    if (progress_.cancelled()) return cancelled(false);
    Flow flow = Flow::kNext;
    if (kind < 0) {
      // Nothing can be said about it: back in its place, with the toolkit's word.
      const QString text = log_.GetErrorText(session_.LastResult());
      putBack();
      record.status = 0;
      record.errorText = text;
      line(QStringLiteral("%1\r\nФайл: %2").arg(text, file));
      return Flow::kDone;
    }
    const bool sga = GetExtFromName(work_) == QLatin1String("sga");
    if (kind == ql::QL_KIND_ENVELOPED) {
      flow = decrypt();
    } else if (kind == ql::QL_KIND_SIGNED || (kind == ql::QL_KIND_OTHER && sga && !verified_)) {
      flow = check();
    } else if (kind == ql::QL_KIND_SIGNED_ENVELOPED) {
      // No second copy of the working file: the attachment goes back as it came.
      return outcome(MailOutcome::kUnsupported);
    } else if (verified_) {
      return extract();
    } else if (decrypted_) {
      return decryptedOnly();
    } else {
      return outcome(MailOutcome::kUnprotected);
    }
    if (flow != Flow::kNext) return flow;
  }
}

int MailIn::run() {
  job_.success = false;
  // The protocols of earlier messages go first, whatever this run does.
  helper_.RemoveOldMailProtocols(mail_now());
  if (!helper_.CheckOwner()) return 0;
  hold_.Open();
  if (job_.attachments == nullptr) return 0;
  if (job_.attachments->isEmpty()) {
    helper_.ShowMessage(QStringLiteral("Не выбраны файлы для распаковки!"), MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  if (const int code = LoadTrustedCertificates(helper_, session_); code != ql::QL_OK) {
    log_.ShowError(code);
    return 0;
  }
  if (const QString crl = helper_.GetCrlSettings(); !crl.isEmpty()) {
    if (const int code = session_.LoadCrlFolder(crl); code != ql::QL_OK) log_.ShowError(code);
  }
  if (!helper_.GetOwnerRecord(executor_)) {
    helper_.ShowMessage(QStringLiteral("Не задан исполнитель в локальном справочнике!"), MB_OK | MB_ICONSTOP);
    return 0;
  }
  progress_.start();
  log_.LogOperation(QStringLiteral("распаковка почты"));

  job_.error = 0;
  job_.resultText.clear();
  bool carriesProtocol = false;
  for (const AttachmentRecord& record : *job_.attachments) {
    if (GetFileFromName(record.path).toLower() == QLatin1String("dsm_protocol.txt")) carriesProtocol = true;
  }
  if (carriesProtocol) {
    job_.error = 1;
  } else {
    const QString root = helper_.TmpRoot();
    if (root.isEmpty() || !protocol_.create(root)) {
      helper_.ShowMessage(QStringLiteral("Не удалось создать файл протокола!"), MB_OK | MB_ICONINFORMATION, &progress_);
      return endRun();
    }
    job_.resultText = protocol_.path();
    const QString dashes = QString(100, QLatin1Char('-')) + QStringLiteral("\r\n");
    protocol_.write(dashes);
    protocol_.write(QStringLiteral("   %1 Протокол распаковки почтового сообщения\n")
                        .arg(mail_now().toString(QStringLiteral("dd-MM-yyyy HH:mm"))));
    protocol_.write(dashes);
  }

  int index = 0;
  for (AttachmentRecord& record : *job_.attachments) {
    if (record.path.isEmpty()) continue;
    mail_attachment_taken(index++);
    const Flow flow = attachment(record);
    if (flow == Flow::kRunEnds) return endRun();
    // A result made elsewhere is copied to the attachment's folder.
    if (!record.processedName.isEmpty() && GetPathFromName(record.processedName) != GetPathFromName(path_) &&
        helper_.FileExists(record.processedName)) {
      const QString target = InFolderOf(path_, record.processedName);
      if (DS_CopyFile(record.processedName, target, false)) record.processedName = target;
    }
  }
  progress_.stop();
  log_.LogLine(QStringLiteral("\r\nОперация распаковки почты завершена!\r\n\r\n"));
  protocol_.close();
  job_.success = true;
  return 1;
}

}  // namespace

const std::array<MailOutcomeRow, 11>& mail_outcome_table() { return kOutcomes; }

const MailOutcomeRow& mail_outcome(MailOutcome outcome) {
  for (const MailOutcomeRow& row : kOutcomes) {
    if (row.outcome == outcome) return row;
  }
  throw std::logic_error("mail outcome without a row");
}

void SetMailClock(std::function<QDateTime()> clock) {
  const std::lock_guard<std::mutex> guard(g_clock_mutex);
  g_clock = std::move(clock);
}

int MailUnpack(MailJob* job) {
  if (job == nullptr) return 0;
  MailJobDone done(*job);
  try {
    MailIn run(*job);
    return run.run();
  } catch (const std::exception& e) {
    job->success = false;
    error_text_loader().LogLine(QStringLiteral("Операция с почтой прервана: %1").arg(QString::fromUtf8(e.what())));
  } catch (...) {
    job->success = false;
  }
  return 0;
}

}  // namespace dsutils
