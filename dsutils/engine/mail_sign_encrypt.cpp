// MailSignEncrypt: the attachments of an outgoing message signed, encrypted
// or both, each result beside its attachment. No dialog before the start,
// no sorting, and the first attachment that fails ends the run with that
// attachment put back and its error text set.
#include <openssl/x509.h>

#include <QFile>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "dsutils/engine/mail.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/ui_console.h"

namespace dsutils {

namespace {

namespace ql = quillon2;

std::atomic<int> g_releases{0};
#ifdef QCRYPTO_TEST_HOOKS
std::mutex g_hook_mutex;
std::function<void(int)> g_attachment_hook;
#endif

}  // namespace

void MailJobDone::release() {
  if (released_) return;
  released_ = true;
  g_releases.fetch_add(1, std::memory_order_relaxed);
  job_.done.release();
}

// The test hook as each attachment is taken up (nothing in a shipped build).
void mail_attachment_taken(int index) {
#ifdef QCRYPTO_TEST_HOOKS
  std::function<void(int)> hook;
  {
    const std::lock_guard<std::mutex> guard(g_hook_mutex);
    hook = g_attachment_hook;
  }
  if (hook) hook(index);
#else
  (void)index;
#endif
}

#ifdef QCRYPTO_TEST_HOOKS
int mail_done_releases() { return g_releases.load(std::memory_order_relaxed); }
void set_mail_attachment_hook(std::function<void(int)> hook) {
  const std::lock_guard<std::mutex> guard(g_hook_mutex);
  g_attachment_hook = std::move(hook);
}
#endif

// The interface of the calling thread; without one a console that answers
// every question safely, so a run nobody watches still ends.
EngineUi& mail_ui() {
  if (EngineUi* ui = operation_ui()) return *ui;
  static ConsoleUi* fallback = [] {
    ConsoleUiOptions options;
    options.showProgress = false;
    return new ConsoleUi(options);  // kept for the process
  }();
  return *fallback;
}

// One PEM certificate as DER: ASCII only, one "CERTIFICATE" block, nothing
// but blanks around it, and base64 that decodes to exactly one certificate.
// Empty for anything else.
QByteArray PemCertificateToDer(const QString& text) {
  constexpr qsizetype kMaxPemChars = 64 * 1024;
  if (text.isEmpty() || text.size() > kMaxPemChars) return {};
  for (const QChar c : text) {
    if (c.unicode() > 0x7E || (c.unicode() < 0x20 && c != '\n' && c != '\r' && c != '\t')) return {};
  }
  const QByteArray ascii = text.toLatin1().trimmed();
  static const QByteArray kBegin = "-----BEGIN CERTIFICATE-----";
  static const QByteArray kEnd = "-----END CERTIFICATE-----";
  if (!ascii.startsWith(kBegin) || !ascii.endsWith(kEnd)) return {};
  const QByteArray body = ascii.mid(kBegin.size(), ascii.size() - kBegin.size() - kEnd.size());
  if (body.contains('-')) return {};  // a second block inside
  QByteArray compact;
  compact.reserve(body.size());
  for (const char c : body) {
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact.append(c);
  }
  const auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.isEmpty()) return {};
  const auto* p = reinterpret_cast<const unsigned char*>(decoded.decoded.constData());
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(decoded.decoded.size()));
  const bool whole =
      x != nullptr && p == reinterpret_cast<const unsigned char*>(decoded.decoded.constData()) + decoded.decoded.size();
  X509_free(x);
  return whole ? decoded.decoded : QByteArray();
}

namespace {

const QString kCannotCreateText = QStringLiteral("Не удалось создать файл!");

QString title_for(const MailJob& job) {
  if (job.sign && job.encrypt) return QStringLiteral("Выполняется операция: подписать и зашифровать");
  if (job.encrypt) return QStringLiteral("Выполняется операция: зашифровать");
  return QStringLiteral("Выполняется операция: подписать");
}

class MailOut {
 public:
  explicit MailOut(MailJob& job)
      : job_(job),
        helper_(engine_helper()),
        session_(global_crypto_session()),
        log_(error_text_loader()),
        hold_(session_),
        progress_(mail_ui(), title_for(job)) {}

  int run();

 private:
  int fail() {
    progress_.stop();
    job_.success = false;
    return 0;
  }
  int box(const QString& text, unsigned flags = MB_OK | MB_ICONSTOP) {
    return helper_.ShowMessage(text, flags, &progress_);
  }
  int failWith(const QString& text) {
    box(text);
    return fail();
  }
  int failCode(int code) {
    log_.ShowError(code, &progress_);
    return fail();
  }
  bool prepareKey();
  // Adds `certificate` under the rule that the executor is added once.
  int addRecipient(const QByteArray& certificate);
  // False when the run ended (the failure is written).
  bool buildRecipients();
  // One attachment; false ends the run (its record is written).
  bool attachment(AttachmentRecord& record);
  bool signStep(AttachmentRecord& record, const QString& path, QString& signedFile);
  bool encryptStep(AttachmentRecord& record, const QString& input, bool fromAttachment);
  // A per-attachment failure: the box, the log line, the input put back.
  bool attachmentFailed(const QString& boxText, int code, const QString& logText, const QString& input,
                        const QString& work);

  MailJob& job_;
  EngineHelper& helper_;
  CryptoSession& session_;
  ErrorTextLoader& log_;
  SessionHold hold_;
  OperationProgress progress_;
  OwnerRecord executor_;
  LogOptions logOptions_;
  bool sign_ = false, encrypt_ = false;
  std::unique_ptr<QL_SIGN_SET, SignSetFree> set_{nullptr, SignSetFree{nullptr}};
  std::unique_ptr<QL_CERT_LIST, RecipientListFree> list_{nullptr, RecipientListFree{nullptr}};
  bool executorAdded_ = false;
};

bool MailOut::prepareKey() {
  if (session_.IsKeyMediumPresent(executor_.path) != 1) {
    const KeyMediumAnswer answer = mail_ui().askKeyMedium(
        KeyMediumRequest{executor_.profile, executor_.path, executor_.file, executor_.sczi != 0, executor_.serNum});
    if (!answer.accepted) return false;
    if (!answer.mediumPath.isEmpty()) executor_.path = answer.mediumPath;
    if (!answer.keyFile.isEmpty()) executor_.file = answer.keyFile;
    executor_.sczi = answer.keyFormat31 ? 1 : 0;
  }
  return true;
}

int MailOut::addRecipient(const QByteArray& certificate) {
  if (helper_.CompareCertificates(certificate, executor_.serNum, &progress_) == 1) {
    if (executorAdded_) return 0;
    executorAdded_ = true;
  }
  return session_.AddRecipientCertificate(list_.get(), ql::QL_LOOKUP_BYTES, certificate.constData(),
                                          static_cast<long>(certificate.size()));
}

bool MailOut::buildRecipients() {
  list_ = std::unique_ptr<QL_CERT_LIST, RecipientListFree>(session_.NewRecipientList(), RecipientListFree{&session_});
  if (!list_) {
    failWith(QStringLiteral("Не удалось создать контекст шифрования!"));
    return false;
  }
  QString missing;
  for (const RecipientPair& pair : *job_.recipients) {
    QByteArray certificate;
    if (!pair.certificate.isEmpty()) {
      certificate = PemCertificateToDer(pair.certificate);
      if (certificate.isEmpty()) {
        log_.LogLine(QStringLiteral("Сертификат получателя %1 не является сертификатом в формате PEM: "
                                    "сертификат ищется по адресу.")
                         .arg(pair.email));
      } else {
        // Stored for the next message; a clash with another certificate
        // keeps the stored one, and this message is still for the one given.
        helper_.ImportCertificate(certificate, pair.email, &progress_, EngineHelper::ImportClash::kKeepStored);
      }
    }
    if (certificate.isEmpty() && !pair.email.isEmpty()) helper_.FindCertificateByEmail(pair.email, certificate);
    if (certificate.isEmpty()) {
      missing += pair.email + QLatin1Char('\n');
      continue;
    }
    if (const int code = addRecipient(certificate); code != 0) {
      failCode(code);
      return false;
    }
  }
  if (!missing.isEmpty()) {
    const QString question =
        QStringLiteral("Сертификат получателя не найден!\r\n\r\nПолучатели: \r\n%1\r\n\r\nХотите задать получателя?")
            .arg(missing);
    if (box(question, MB_YESNO | MB_ICONSTOP) != IDYES) {
      fail();
      return false;
    }
    const RecipientsAnswer answer = mail_ui().askRecipients(RecipientsRequest{QStringLiteral("Задайте получателя")});
    if (!answer.accepted) {
      fail();
      return false;
    }
    for (const QString& name : answer.names) {
      QByteArray certificate;
      if (!helper_.LoadDirectoryCertificate(name, certificate)) continue;
      if (const int code = addRecipient(certificate); code != 0) {
        failCode(code);
        return false;
      }
    }
  }
  // Read afresh: the sender's own copy of the message follows the setting
  // as it is now.
  MailSettings mail;
  helper_.GetMailSettings(mail);
  if (!executorAdded_ && mail.EncOwner != 0) {
    executorAdded_ = true;
    const int code = session_.AddRecipientCertificate(list_.get(), ql::QL_LOOKUP_BYTES, executor_.serNum.constData(),
                                                      static_cast<long>(executor_.serNum.size()));
    if (code != 0) {
      failCode(code);
      return false;
    }
  }
  return true;
}

bool MailOut::attachmentFailed(const QString& boxText, int code, const QString& logText, const QString& input,
                               const QString& work) {
  progress_.stop();
  if (code != 0)
    log_.ShowError(code, &progress_);
  else
    box(boxText);
  log_.LogLine(logText);
  if (!work.isEmpty()) helper_.RemoveTmp(input, work, true);
  return false;
}

bool MailOut::signStep(AttachmentRecord& record, const QString& path, QString& signedFile) {
  std::int64_t size = 0;
  const bool regular = OperationKit::regularFile(path, size);
  const QString work = regular && size <= kMaxSignableBytes ? helper_.CreateTmp(path, true) : QString();
  if (work.isEmpty()) {
    record.errorText = kTmpFolderText;
    return attachmentFailed(kTmpFolderText, 0, kTmpFolderText, path, QString());
  }
  const bool detached = logOptions_.IsSgn != 0;
  const QString target = InFolderOf(work, work + (detached ? QStringLiteral(".1") : QStringLiteral(".sgn")));
  const SigningOptions options{logOptions_.IsCert != 0 ? 1 : 0, logOptions_.IsTime != 0 ? 1 : 0};
  if (const int code = session_.SignFile(set_.get(), work, target, detached ? 1 : 0, options, &progress_); code != 0) {
    record.errorText = log_.GetErrorText(code);
    return attachmentFailed(QString(), code,
                            QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nФайл: %2")
                                .arg(log_.GetErrorText(code), GetFileFromName(path)),
                            path, work);
  }
  QString result = target;
  if (detached) {
    result = InFolderOf(work, work + QStringLiteral(".sga"));
    if (helper_.WriteSignatureList(work, result) == 0) {
      record.errorText = kTmpFolderText;
      return attachmentFailed(kTmpFolderText, 0, kTmpFolderText, path, work);
    }
  }
  const QString placed = InFolderOf(path, result);
  if (!DS_CopyFile(result, placed, false)) {
    record.errorText = kCannotCreateText;
    return attachmentFailed(kCannotCreateText, 0, kCannotCreateText + QStringLiteral("\r\nФайл: %1").arg(placed), path,
                            work);
  }
  helper_.RemoveTmp(path, work, false);
  log_.LogLine(QStringLiteral("Документ подписан!\r\nИсходный путь: %1\r\nПодписаный документ: %2")
                   .arg(GetFileFromName(path), GetFileFromName(placed)));
  record.processedName = placed;
  signedFile = placed;
  return true;
}

bool MailOut::encryptStep(AttachmentRecord& record, const QString& input, bool fromAttachment) {
  std::int64_t size = 0;
  // The signed file stays beside the attachment: only the attachment itself
  // is taken away.
  const QString work = OperationKit::regularFile(input, size) ? helper_.CreateTmp(input, fromAttachment) : QString();
  if (work.isEmpty()) {
    if (fromAttachment) record.errorText = kTmpFolderText;
    return attachmentFailed(kTmpFolderText, 0, kTmpFolderText, input, QString());
  }
  const QString encrypted = work + QStringLiteral(".enc");
  if (const int code = session_.EncryptFile(list_.get(), work, encrypted, &progress_); code != 0) {
    if (fromAttachment) record.errorText = log_.GetErrorText(code);
    return attachmentFailed(QString(), code,
                            code == kOpCancelled ? log_.GetErrorText(code)
                                                 : QStringLiteral("Ошибка при шифровании файла.\r\nКод ошибки: "
                                                                  "%1\r\nФайл: %2")
                                                       .arg(log_.GetErrorText(code), input),
                            input, work);
  }
  const QString placed = InFolderOf(input, encrypted);
  if (!DS_CopyFile(encrypted, placed, false)) {
    record.errorText = kCannotCreateText;
    return attachmentFailed(kCannotCreateText, 0, kCannotCreateText + QStringLiteral("\r\nФайл: %1").arg(placed), input,
                            work);
  }
  helper_.RemoveTmp(input, work, false);
  log_.LogLine(QStringLiteral("Файл зашифрован.\r\nИсходный файл: %1\r\nКонечный файл: %2")
                   .arg(GetFileFromName(input), GetFileFromName(encrypted)));
  record.processedName = placed;
  return true;
}

bool MailOut::attachment(AttachmentRecord& record) {
  QString path = record.path;
  NetStr(path);
  record.processedName = record.path;
  progress_.setFile(GetFileFromName(path));
  log_.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(GetFileFromName(path)));
  QString input = path;
  if (sign_ && !signStep(record, path, input)) return false;
  if (encrypt_ && !encryptStep(record, input, input == path)) return false;
  return true;
}

int MailOut::run() {
  job_.success = false;
  if (!helper_.CheckOwner()) return 0;
  hold_.Open();
  sign_ = job_.sign;
  encrypt_ = job_.encrypt;
  if (!sign_ && !encrypt_) {
    job_.success = true;
    return 1;
  }
  if (job_.attachments == nullptr || job_.attachments->isEmpty())
    return failWith(QStringLiteral("Не заданы файлы для обработки!"));
  if (job_.recipients == nullptr || job_.recipients->isEmpty())
    return failWith(QStringLiteral("Не задан получатель сообщения!"));
  if (!helper_.GetOwnerRecord(executor_))
    return failWith(QStringLiteral("Не определен  автор подписи в локальном справочнике!"));
  if (!prepareKey()) return fail();
  // The session runs with the executor's container whatever the key's form:
  // the container also seeds the toolkit's generator.
  hold_.OpenWithPath(executor_.path);
  int code = LoadOwnerKey(session_, executor_);
  if (code == 0) code = LoadTrustedCertificates(helper_, session_);
  if (code == 0) {
    const QString crl = helper_.GetCrlSettings();
    if (!crl.isEmpty()) code = session_.LoadCrlFolder(crl);
  }
  if (code != 0) return failCode(code);

  if (sign_) {
    set_ = std::unique_ptr<QL_SIGN_SET, SignSetFree>(session_.NewSignatureSet(), SignSetFree{&session_});
    if (!set_) return failWith(QStringLiteral("Не удалось создать контекст подписи!"));
    if (executor_.serNum.isEmpty()) return fail();
    code = session_.AddSignerCertificate(set_.get(), ql::QL_LOOKUP_BYTES, executor_.serNum.constData(),
                                         static_cast<long>(executor_.serNum.size()));
    if (code != 0) return failCode(code);
  }
  if (encrypt_ && !buildRecipients()) return 0;
  helper_.GetLogOptions(logOptions_);

  log_.LogOperation(sign_ && encrypt_ ? QStringLiteral("подписать и зашифровать почту")
                    : encrypt_        ? QStringLiteral("зашифровать почту")
                                      : QStringLiteral("подписать почту"));
  progress_.start();
  int index = 0;
  for (AttachmentRecord& record : *job_.attachments) {
    mail_attachment_taken(index++);
    if (!attachment(record)) return fail();
  }
  progress_.stop();
  job_.success = true;
  return 1;
}

}  // namespace

int MailSignEncrypt(MailJob* job) {
  if (job == nullptr) return 0;
  MailJobDone done(*job);
  try {
    MailOut run(*job);
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
