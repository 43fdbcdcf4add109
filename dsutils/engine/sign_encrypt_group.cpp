// Signing each file of a job and encrypting the signed result for
// recipients of the local directory: a.txt becomes a.txt.sgn.enc (or
// a.txt.sga.enc with a detached signature). Everything is made in the
// working folder; the finished file is placed by the "ENC" sorting rules.
#include <memory>

#include "dsutils/engine/operation_kit.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

const QString kEnc = QStringLiteral("ENC");
const QString kSgn = QStringLiteral("SGN");

// The failed file sorted under `code`, the source given its place from the
// kept copy (and copied back when that fails), the working folder away.
void sort_failed(EngineHelper& helper, OperationProgress& progress, const QString& source, const QString& work,
                 const QString& file, const QString& code) {
  QString placed = file;
  helper.GroupSortFile(source, placed, code, true, &progress);
  const bool sourcePlaced = helper.GroupSortFileEx(source, work, placed, code, &progress) != 0;
  helper.RemoveTmp(source, work, !sourcePlaced);
}

}  // namespace

int SignEncryptGroup(OperationJob* job) {
  EngineHelper& helper = engine_helper();
  if (!helper.CheckOwner()) {
    if (job != nullptr) job->result = kOpNoExecutorInDirectory;
    return 0;
  }
  if (job == nullptr) return 0;
  job->result = kOpOk;
  OperationKit kit(*job, QStringLiteral("Выполняется операция: подписать и зашифровать"), kEnc);
  kit.hold().Open();

  const QStringList& files = job->files;
  if (files.isEmpty()) {
    kit.fail(kOpNoFiles);
    if (kit.interactive())
      kit.box(QStringLiteral("Не выбраны файлы для подписи и шифрования!"), MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  const bool group = files.size() > 1;
  if (group && kit.interactive() &&
      kit.box(QStringLiteral("\nПодписать и зашифровать группу файлов?\nВсего файлов: %1").arg(files.size()),
              MB_YESNO | MB_ICONQUESTION) != IDYES)
    return kit.fail(kOpCancelled);

  std::uint32_t isAuto = 0;
  QStringList saved;
  helper.GetEncryptSettings(isAuto, saved);
  const bool throughSheet = kit.interactive() && isAuto == 0;
  SignEncryptAnswer answer;
  if (throughSheet) {
    const QString documentName = group ? QStringLiteral("Групповая обработка") : files.first();
    EngineUi* ui = operation_ui();
    if (ui != nullptr)
      answer =
          ui->askSignEncrypt(SignEncryptRequest{QStringLiteral("Подписать и зашифровать"), 69, documentName, group});
    if (!answer.accepted) return kit.fail(kOpCancelled);
  } else {
    LogOptions options;
    helper.GetLogOptions(options);
    answer.accepted = true;
    answer.detached = options.IsSgn != 0;
    answer.includeCertificate = options.IsCert != 0;
    answer.includeSigningTime = options.IsTime != 0;
    OwnerRecord executor;
    if (helper.GetOwnerRecord(executor)) answer.author = executor;
  }
  if (!answer.author) {
    kit.box(QStringLiteral("Не задан автор подписи!"), MB_OK | MB_ICONSTOP);
    return kit.fail(kOpNoExecutorEntry);
  }
  OwnerRecord& author = *answer.author;

  // The recipients before the key: without one whose certificate the
  // directory holds, nothing is asked and no file is touched.
  QList<QByteArray> certificates;
  for (const QString& name : throughSheet ? answer.recipients : saved) {
    QByteArray certificate;
    if (helper.LoadDirectoryCertificate(name, certificate)) certificates.append(certificate);
  }
  if (certificates.isEmpty()) return kit.fail(kOpNoRecipients);

  if (!kit.askKeyMedium(author)) return kit.fail(kOpCancelled);
  int code = kit.loadAuthorKey(author);
  if (code == 0) code = kit.loadTrustedCertificates();
  // Unlike encryption alone, a revocation list that cannot be read ends the run.
  if (code == 0) code = kit.loadCrlFolder();
  if (code != 0) {
    kit.showError(code);
    return kit.fail(code);
  }

  CryptoSession& session = kit.session();
  std::unique_ptr<QL_SIGN_SET, SignSetFree> set(session.NewSignatureSet(), SignSetFree{&session});
  if (!set) {
    kit.box(QStringLiteral("Не удалось создать контекст подписи!"), MB_OK | MB_ICONSTOP);
    return kit.fail(kOpNoSignature);
  }
  if (author.serNum.isEmpty()) return kit.fail(kOpNoSignature);
  QString authorText;
  code = session.AddSignerCertificate(set.get(), ql::QL_LOOKUP_BYTES, author.serNum.constData(),
                                      static_cast<long>(author.serNum.size()));
  if (code == 0) code = DescribeCertificate(session, author.serNum, authorText);
  if (code != 0) {
    kit.showError(code);
    return kit.fail(code);
  }

  std::unique_ptr<QL_CERT_LIST, RecipientListFree> list(session.NewRecipientList(), RecipientListFree{&session});
  if (!list) {
    kit.box(QStringLiteral("Не удалось создать контекст шифрования!"), MB_OK | MB_ICONSTOP);
    return kit.fail(kOpNoMemory);
  }
  QString recipientsText;
  for (const QByteArray& certificate : certificates) {
    code = session.AddRecipientCertificate(list.get(), ql::QL_LOOKUP_BYTES, certificate.constData(),
                                           static_cast<long>(certificate.size()));
    QString line;
    if (code == 0) code = DescribeCertificate(session, certificate, line);
    if (code != 0) {
      kit.showError(code);
      return kit.fail(code);
    }
    recipientsText += line + QStringLiteral("\r\n");
  }
  const SigningOptions options{answer.includeCertificate ? 1 : 0, answer.includeSigningTime ? 1 : 0};

  OperationProgress& progress = kit.progress();
  ErrorTextLoader& log = kit.log();
  progress.start();
  log.LogOperation(QStringLiteral("подписать и зашифровать"));
  log.LogLine(QStringLiteral("Автор подписи:\r\n %1").arg(authorText));
  log.LogLine(QStringLiteral("Получатели:\r\n %1").arg(recipientsText));

  // An explicit name is for a one-file job: a group's files each go beside
  // their sources.
  QString explicitName;
  if (!group) explicitName = throughSheet ? answer.outputName : job->params.outputName;

  QString lastName, lastFinal;
  for (const QString& name : files) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) continue;
    progress.setFile(name);
    log.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(name));
    std::int64_t size = 0;
    const bool regular = OperationKit::regularFile(name, size);
    // A signature the toolkit could not verify again is never made.
    if (regular && size > kMaxSignableBytes) {
      progress.stop();
      kit.showError(ql::QL_ERR_ARGUMENT);
      log.LogLine(QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nФайл: %2")
                      .arg(log.GetErrorText(ql::QL_ERR_ARGUMENT), name));
      return kit.fail(ql::QL_ERR_ARGUMENT);
    }
    const QString work = regular ? helper.CreateTmp(name, true) : QString();
    if (work.isEmpty()) {
      progress.stop();
      const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(name);
      kit.box(text, MB_OK | MB_ICONSTOP);
      log.LogLine(text);
      return kit.fail(kOpWorkFolderFailed);
    }
    const QString target = InFolderOf(work, name + (answer.detached ? QStringLiteral(".1") : QStringLiteral(".sgn")));
    code = session.SignFile(set.get(), work, target, answer.detached ? 1 : 0, options, &progress);
    if (code != 0) {
      progress.stop();
      kit.showError(code);
      const QString text = QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nФайл: %2")
                               .arg(log.GetErrorText(code), name);
      log.LogLine(text);
      sort_failed(helper, progress, name, work, work, kSgn);
      kit.box(text, MB_OK | MB_ICONSTOP);
      return kit.fail(code);
    }
    QString signedFile = target;
    if (answer.detached) {
      signedFile = InFolderOf(work, name + QStringLiteral(".sga"));
      if (helper.WriteSignatureList(work, signedFile) == 0 || !helper.FileExists(signedFile)) {
        progress.stop();
        sort_failed(helper, progress, name, work, work, kEnc);
        const QString text =
            QStringLiteral("Не удалось создать архив! Возможно не установлен модуль TAR.EXE\r\nИсходный файл: %1")
                .arg(work);
        kit.box(text, MB_OK | MB_ICONSTOP);
        log.LogLine(text);
        return kit.fail(kOpArchiveFailed);
      }
    }
    // Encrypted in the working folder: nothing beside the source until the
    // file is whole.
    QString finalFile = signedFile + QStringLiteral(".enc");
    code = session.EncryptFile(list.get(), signedFile, finalFile, &progress);
    if (code == ql::QL_ERR_CANCELLED) {
      progress.stop();
      kit.showError(code);
      log.LogLine(log.GetErrorText(code));
      helper.RemoveTmp(name, work, true);
      return kit.fail(code);
    }
    if (code != 0) {
      progress.stop();
      sort_failed(helper, progress, name, work, signedFile, kEnc);
      const QString text = QStringLiteral("Ошибка при шифровании файла.\r\nКод ошибки: %1\r\nФайл: %2")
                               .arg(log.GetErrorText(code), signedFile);
      log.LogLine(text);
      if (kit.interactive()) kit.box(text, MB_OK | MB_ICONSTOP);
      return kit.fail(code);
    }
    bool placed = false;
    if (!explicitName.isEmpty()) {
      QString wanted = explicitName;
      NetStr(wanted);
      placed = DS_CopyFile(finalFile, wanted, false);
      if (placed) finalFile = wanted;
    } else {
      placed = helper.GroupSortFile(name, finalFile, kEnc, false, &progress) != 0;
    }
    if (!placed) {
      progress.stop();
      sort_failed(helper, progress, name, work, finalFile, kEnc);
      const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(name);
      kit.box(text, MB_OK | MB_ICONSTOP);
      log.LogLine(text);
      return kit.fail(kOpWorkFolderFailed);
    }
    const bool sourcePlaced = helper.GroupSortFileEx(name, work, finalFile, kSgn, &progress) != 0;
    helper.RemoveTmp(name, work, !sourcePlaced && name != finalFile);
    if (group)
      log.LogLine(
          QStringLiteral("Файл подписан и зашифрован.\r\nИсходный файл: %1\r\nКонечный файл: %2").arg(name, finalFile));
    lastName = name;
    lastFinal = finalFile;
  }

  list.reset();
  set.reset();
  progress.stop();
  const QString text =
      group ? QStringLiteral("\r\nОперация подписи и шифрования завершена!\r\n\r\nОбработано файлов: %1")
                  .arg(files.size())
            : QStringLiteral("Файл подписан и зашифрован!\r\n\r\nИсходный файл: \r\n%1\r\n\r\nКонечный файл: \r\n%2")
                  .arg(lastName, lastFinal);
  log.LogLine(text);
  job->result = kOpOk;
  if (kit.interactive()) kit.box(text, MB_OK | MB_ICONINFORMATION);
  return 1;
}

}  // namespace dsutils
