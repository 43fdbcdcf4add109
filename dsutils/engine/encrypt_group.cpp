// Encrypting a group of files for recipients of the local directory.
#include <memory>

#include "dsutils/engine/operation_kit.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

const QString kCode = QStringLiteral("ENC");

}  // namespace

int EncryptGroup(OperationJob* job) {
  if (job == nullptr) return 0;
  job->result = kOpOk;
  OperationKit kit(*job, QStringLiteral("Выполняется операция: зашифровать"), kCode);
  EngineHelper& helper = kit.helper();
  ErrorTextLoader& log = kit.log();
  kit.hold().Open();

  const QStringList& files = job->files;
  if (files.isEmpty()) {
    kit.fail(kOpNoFiles);
    if (kit.interactive()) kit.box(QStringLiteral("Не выбраны файлы для шифрования!"), MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  const bool group = files.size() > 1;
  if (group && kit.interactive() &&
      kit.box(QStringLiteral("\nЗашифровать группу файлов?\nВсего файлов: %1").arg(files.size()),
              MB_YESNO | MB_ICONQUESTION) != IDYES) {
    kit.fail(kOpCancelled);
    return 0;
  }

  std::uint32_t isAuto = 0;
  QStringList saved;
  helper.GetEncryptSettings(isAuto, saved);
  if (saved.isEmpty() && (isAuto != 0 || job->automatic)) {
    if (job->automatic) return kit.fail(kOpNoRecipients);
    if (kit.box(QStringLiteral("Для автоматического шифрования не заданы получатели!\r\nПродолжить?"),
                MB_YESNO | MB_ICONQUESTION) != IDYES)
      return kit.fail(kOpCancelled);
    isAuto = 0;
  }

  const bool throughSheet = kit.interactive() && isAuto == 0;
  EncryptAnswer sheet;
  if (throughSheet) {
    const QString documentName = group ? QStringLiteral("Групповая обработка") : files.first();
    EngineUi* ui = operation_ui();
    if (ui != nullptr) sheet = ui->askEncrypt(EncryptRequest{QStringLiteral("Зашифровать"), 68, documentName, group});
    if (!sheet.accepted) return 1;  // the person chose not to: no failure
  }

  OwnerRecord executor;
  if (helper.GetOwnerRecord(executor)) {
    if (!kit.askKeyMedium(executor)) return 0;
    kit.hold().OpenWithPath(executor.path);
  }

  int code = kit.loadTrustedCertificates();
  if (code != 0) {
    kit.showError(code);
    return kit.fail(code);
  }
  if (const int crl = kit.loadCrlFolder(); crl != 0) kit.showError(crl);

  CryptoSession& session = kit.session();
  std::unique_ptr<QL_CERT_LIST, RecipientListFree> list(session.NewRecipientList(), RecipientListFree{&session});
  if (!list) return kit.fail(ql::QL_ERR_MEMORY);

  QString recipientsText;
  for (const QString& name : throughSheet ? sheet.recipients : saved) {
    QByteArray certificate;
    if (!helper.LoadDirectoryCertificate(name, certificate)) continue;  // gone from the directory
    code = session.AddRecipientCertificate(list.get(), ql::QL_LOOKUP_BYTES, certificate.constData(),
                                           static_cast<long>(certificate.size()));
    QString line;
    if (code == 0) code = DescribeCertificate(session, certificate, line);
    if (code != 0) {
      kit.showError(code);
      return kit.fail(code);
    }
    recipientsText += QStringLiteral("\r\n") + line;
  }

  OperationProgress& progress = kit.progress();
  progress.start();
  log.LogOperation(QStringLiteral("зашифровать"));
  log.LogLine(QStringLiteral("Получатели: %1").arg(recipientsText));

  QString lastName, lastOutput;
  for (const QString& name : files) {
    if (name.isEmpty()) continue;
    std::int64_t size = 0;
    const QString work = OperationKit::regularFile(name, size) ? helper.CreateTmp(name, true) : QString();
    if (work.isEmpty()) {
      progress.stop();
      const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(name);
      kit.box(text, MB_OK | MB_ICONSTOP);
      log.LogLine(text);
      return kit.fail(kOpWorkFolderFailed);
    }
    progress.setFile(name);
    log.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(name));

    QString output = throughSheet && !group && !sheet.outputName.isEmpty()
                         ? GetPathFromName(work) + QLatin1Char('/') + GetFileFromName(sheet.outputName)
                         : work + QStringLiteral(".enc");
    NetStr(output);
    code = session.EncryptFile(list.get(), work, output, &progress);
    if (code == ql::QL_ERR_CANCELLED) {
      progress.stop();
      kit.showError(code);
      log.LogLine(log.GetErrorText(code));
      helper.RemoveTmp(name, work, true);
      return kit.fail(code);
    }
    if (code == 0 && !kit.placeResult(name, work, output)) code = kOpWorkFolderFailed;
    if (code != 0) {
      progress.stop();
      kit.sortFailed(name, work);
      const QString reason = code == kOpWorkFolderFailed
                                 ? QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(name)
                                 : QStringLiteral("Ошибка при шифровании файла.\r\nКод ошибки: %1\r\nФайл: %2")
                                       .arg(log.GetErrorText(code), work);
      if (code == kOpWorkFolderFailed) {
        kit.box(reason, MB_OK | MB_ICONSTOP);
      } else {
        kit.showError(code);
      }
      log.LogLine(reason);
      return kit.fail(code);
    }
    if (group)
      log.LogLine(
          QStringLiteral("\r\nФайл зашифрован.\r\nИсходнный файл: %1\r\nЗашифрованый файл: %2").arg(name, output));
    lastName = name;
    lastOutput = output;
  }

  list.reset();
  progress.stop();
  const QString text =
      group ? QStringLiteral("\r\nОперация шифрования завершена!\r\n\r\nОбработано файлов: %1").arg(files.size())
            : QStringLiteral("\r\nФайл зашифрован!\r\n\r\nИсходный файл: \r\n%1\r\n\r\nЗашифрованный файл: \r\n%2")
                  .arg(lastName, lastOutput);
  if (kit.interactive()) kit.box(text, MB_OK | MB_ICONINFORMATION);
  log.LogLine(text);
  job->result = kOpOk;
  return 1;
}

}  // namespace dsutils
