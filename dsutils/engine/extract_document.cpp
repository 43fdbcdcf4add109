// EngineHelper::ExtractSignedDocument: the document of one signed file
// beside it, from a working copy that leaves the signed file in place.
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/signature_checker.h"

namespace dsutils {

int EngineHelper::ExtractSignedDocument(const QString& file, QString& documentPath) {
  documentPath.clear();
  if (!FileExists(file)) return 0;
  ErrorTextLoader& log = error_text_loader();
  // The checker reads the message through the toolkit's session.
  SessionHold hold(global_crypto_session());
  hold.Open();
  // A copy: the signed file itself is never erased or moved.
  const QString work = CreateTmp(file, false);
  const auto failed = [&](const QString& text, unsigned icon) {
    if (!work.isEmpty()) RemoveTmp(file, work, false);
    log.LogLine(text);
    ShowMessage(text, MB_OK | icon);
    return 0;
  };
  if (work.isEmpty())
    return failed(QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(file), MB_ICONSTOP);
  QString target;
  if (GetExtFromName(file).toLower() == QLatin1String("sga")) {
    QString document;
    QStringList signatures;
    if (ReadSignatureList(work, document, signatures) == 0)
      return failed(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(file), MB_ICONINFORMATION);
    target = GetPathFromName(file) + QLatin1Char('/') + document;
    NetStr(target);
    target = GetUnicalName(target);
    if (!DS_CopyFile(GetPathFromName(work) + QLatin1Char('/') + document, target, true))
      return failed(QStringLiteral("Не удалось создать файл!\r\nФайл: %1").arg(target), MB_ICONSTOP);
  } else {
    target = GetUnicalName(file.endsWith(QLatin1String(".sgn")) ? file.chopped(4) : file);
    SignatureChecker checker;
    QString error;
    const ExtractResult result = checker.ExtractDocumentTo(work, target, error);
    if (result == ExtractResult::kFailed)
      return failed(QStringLiteral("Ошибка при извлечении подписанного документа.\r\nДокумент: %1").arg(file),
                    MB_ICONINFORMATION);
    if (result == ExtractResult::kWriteFailed)
      return failed(QStringLiteral("Не удалось создать файл!\r\nФайл: %1").arg(target), MB_ICONSTOP);
  }
  RemoveTmp(file, work, false);
  documentPath = target;
  return 1;
}

}  // namespace dsutils
