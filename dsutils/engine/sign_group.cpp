// Signing a group of files into .sgn or .sga files, and adding a signature
// to a .sga archive.
#include <QDir>
#include <climits>
#include <memory>

#include "dsutils/engine/operation_kit.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

const QString kCode = QStringLiteral("SGN");

using SignSetOwner = std::unique_ptr<QL_SIGN_SET, SignSetFree>;

QString work_folder_failure(const QString& name) {
  return QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(name);
}

// The chosen author, or the executor when the dialog named none.
bool author_of(OperationKit& kit, SignAnswer& answer) {
  if (answer.author) return true;
  OwnerRecord author;
  if (!kit.helper().GetOwnerRecord(author)) {
    kit.box(QStringLiteral("Не определен  автор подписи в локальном справочнике!"), MB_OK | MB_ICONSTOP);
    return kit.fail(kOpNoExecutorEntry);
  }
  answer.author = author;
  return true;
}

// The sign dialog's answer of an automatic run: the defaults of the dialog
// (Property\Log) and the executor as author.
bool automatic_answer(OperationKit& kit, const QString& documentName, SignAnswer& answer) {
  LogOptions options;
  kit.helper().GetLogOptions(options);
  answer.accepted = true;
  answer.documentName = documentName;
  answer.detached = options.IsSgn != 0;
  answer.includeCertificate = options.IsCert != 0;
  answer.includeSigningTime = options.IsTime != 0;
  const QString& out = kit.job().outputPath;
  answer.outputName = !out.isEmpty() ? out : documentName + (answer.detached ? ".sga" : ".sgn");
  answer.author.reset();
  return author_of(kit, answer);
}

// The key, the trusted certificates and the revocation lists; a toolkit
// failure is shown in every mode.
bool prepare_signer(OperationKit& kit, OwnerRecord& author, bool crlFatal) {
  if (!kit.askKeyMedium(author)) return false;
  int code = kit.loadAuthorKey(author);
  if (code == 0) code = kit.loadTrustedCertificates();
  if (code == 0) {
    const int crl = kit.loadCrlFolder();
    if (crl != 0 && !crlFatal) {
      kit.showError(crl);
    } else {
      code = crl;
    }
  }
  if (code == 0) return true;
  kit.showError(code);
  return kit.fail(code);
}

struct SignFileNames {
  QString target;   // what the toolkit writes, in the working folder
  QString archive;  // detached: the archive, in the working folder
  QString wanted;   // single mode: where the person wants the result
};

SignFileNames names_for(const QString& name, const QString& work, bool group, const SignAnswer& answer) {
  SignFileNames n;
  if (answer.detached) {
    n.target = InFolderOf(work, name + QStringLiteral(".1"));
    const QString archive = group ? name + QStringLiteral(".sga") : answer.outputName;
    n.archive = InFolderOf(work, archive);
    n.wanted = archive;
  } else {
    QString sgn = answer.outputName;
    const bool signedAlready = GetExtFromName(name).compare(QLatin1String("sgn"), Qt::CaseInsensitive) == 0;
    if (group) sgn = signedAlready ? name : name + QStringLiteral(".sgn");
    n.target = InFolderOf(work, sgn);
    n.wanted = sgn;
  }
  return n;
}

// A signature is made only by an executor the directory knows: false, with
// that written as the job's result, when it does not know the executor, and
// false for a null job; otherwise the job starts with the result kOpOk.
bool start_signing(EngineHelper& helper, OperationJob* job) {
  if (!helper.CheckOwner()) {
    if (job != nullptr) job->result = kOpNoExecutorInDirectory;
    return false;
  }
  if (job == nullptr) return false;
  job->result = kOpOk;
  return true;
}

}  // namespace

int SignGroup(OperationJob* job) {
  EngineHelper& helper = engine_helper();
  if (!start_signing(helper, job)) return 0;
  OperationKit kit(*job, QStringLiteral("Выполняется операция: подписать"), kCode);
  kit.hold().Open();

  const QStringList& files = job->files;
  if (files.isEmpty()) {
    kit.fail(kOpNoFiles);
    if (kit.interactive()) kit.box(QStringLiteral("Не выбраны файлы для подписи!"), MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  const bool group = files.size() > 1;
  if (group && kit.interactive() &&
      kit.box(QStringLiteral("\nПодписать группу файлов?\nВсего файлов: %1").arg(files.size()),
              MB_YESNO | MB_ICONQUESTION) != IDYES) {
    kit.fail(kOpCancelled);
    return 0;
  }

  const QString documentName = group ? QStringLiteral("Групповая обработка") : files.first();
  SignAnswer answer;
  if (kit.interactive()) {
    EngineUi* ui = operation_ui();
    if (ui != nullptr) answer = ui->askSign(SignRequest{documentName, group, false, QString()});
    if (!answer.accepted) {
      kit.fail(kOpCancelled);
      return 0;
    }
    if (!author_of(kit, answer)) return 0;
  } else if (!automatic_answer(kit, documentName, answer)) {
    return 0;
  }
  OwnerRecord& author = *answer.author;
  if (!prepare_signer(kit, author, true)) return 0;

  CryptoSession& session = kit.session();
  SignSetOwner set(session.NewSignatureSet(), SignSetFree{&session});
  if (!set) {
    kit.box(QStringLiteral("Не удалось создать контекст подписи!"), MB_OK | MB_ICONSTOP);
    return kit.fail(kOpNoSignature);
  }
  QString authorText;
  int code = session.AddSignerCertificate(set.get(), ql::QL_LOOKUP_BYTES, author.serNum.constData(),
                                          static_cast<long>(author.serNum.size()));
  if (code == 0) code = DescribeCertificate(session, author.serNum, authorText);
  if (code != 0) {
    kit.showError(code);
    return kit.fail(code);
  }
  const SigningOptions options{answer.includeCertificate ? 1 : 0, answer.includeSigningTime ? 1 : 0};

  OperationProgress& progress = kit.progress();
  ErrorTextLoader& log = kit.log();
  progress.start();
  log.LogOperation(QStringLiteral("подписать"));
  log.LogLine(QStringLiteral("Автор подписи:\r\n %1").arg(authorText));

  for (const QString& name : files) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) continue;
    progress.setFile(name);
    log.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(name));

    // A file the toolkit could not verify again is refused before anything
    // of it is copied or erased.
    std::int64_t size = 0;
    const bool regular = OperationKit::regularFile(name, size);
    if (regular && size > kMaxSignableBytes) {
      progress.stop();
      const QString text = QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nИсходный файл: %2")
                               .arg(log.GetErrorText(ql::QL_ERR_ARGUMENT), name);
      kit.showError(ql::QL_ERR_ARGUMENT);
      log.LogLine(text);
      return kit.fail(ql::QL_ERR_ARGUMENT);
    }
    const QString work = regular ? helper.CreateTmp(name, true) : QString();
    if (work.isEmpty()) {
      progress.stop();
      const QString text = work_folder_failure(name);
      if (kit.interactive()) kit.box(text, MB_OK | MB_ICONSTOP);
      log.LogLine(text);
      return kit.fail(kOpWorkFolderFailed);
    }

    const SignFileNames n = names_for(name, work, group, answer);
    code = session.SignFile(set.get(), work, n.target, answer.detached ? 1 : 0, options, &progress);
    if (code != 0) {
      progress.stop();
      kit.sortFailed(name, work);
      const QString text = QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nИсходный файл: %2")
                               .arg(log.GetErrorText(code), name);
      if (kit.interactive()) {
        if (!group) kit.box(text, MB_OK | MB_ICONSTOP);
        kit.showError(code);
      }
      log.LogLine(text);
      return kit.fail(code);
    }
    QString result = n.target;
    if (answer.detached) {
      if (helper.WriteSignatureList(work, n.archive) == 0 || !helper.FileExists(n.archive)) {
        progress.stop();
        kit.sortFailed(name, work);
        const QString text =
            QStringLiteral("Не удалось создать архив! Возможно не установлен модуль TAR.EXE\r\nИсходный файл: %1")
                .arg(name);
        if (kit.interactive()) {
          if (!group) kit.box(text, MB_OK | MB_ICONSTOP);
          kit.showError(0);
        }
        log.LogLine(text);
        return kit.fail(kOpArchiveFailed);
      }
      result = n.archive;
    }

    // Every copy that places the result is checked: the working folder
    // holds the only signed copy until then.
    bool placed = false;
    if (group) {
      placed = helper.GroupSortFile(name, result, kCode, false, &progress) != 0;
    } else {
      placed = result == n.wanted || DS_CopyFile(result, n.wanted, false);
      if (placed) result = n.wanted;
    }
    if (!placed) {
      progress.stop();
      kit.sortFailed(name, work);
      const QString text = work_folder_failure(name);
      if (kit.interactive()) kit.box(text, MB_OK | MB_ICONSTOP);
      log.LogLine(text);
      return kit.fail(kOpWorkFolderFailed);
    }
    kit.finish(name, work, result);

    if (group) {
      log.LogLine(QStringLiteral("Документ успешно подписан!\r\nИсходный документ: %1\r\nПодписанный документ: %2")
                      .arg(name, result));
    } else {
      progress.stop();
      const QString text =
          QStringLiteral(
              "Документ успешно подписан!\r\n\r\nИсходный документ: \r\n%1\r\n\r\nПодписанный документ: \r\n%2")
              .arg(name, result);
      if (kit.interactive()) kit.box(text, MB_OK | MB_ICONINFORMATION);
      log.LogLine(text);
    }
  }

  set.reset();
  progress.stop();
  if (group) {
    const QString text =
        QStringLiteral("\r\nОперация формирования подписи завершена!\r\n\r\nОбработано файлов: %1").arg(files.size());
    log.LogLine(text);
    if (kit.interactive()) kit.box(text, MB_OK | MB_ICONINFORMATION);
  }
  job->result = kOpOk;
  return 1;
}

int AddSignature(OperationJob* job) {
  EngineHelper& helper = engine_helper();
  if (!start_signing(helper, job)) return 0;
  if (job->files.isEmpty()) {
    job->result = kOpNoFiles;
    return 0;
  }
  QString file = job->files.first();
  file.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
  OperationKit kit(*job, QStringLiteral("Выполняется операция: добавить подпись"), kCode);
  kit.hold().Open();
  if (!helper.FileExists(file)) return kit.fail(kOpNoFiles);

  OperationProgress& progress = kit.progress();
  ErrorTextLoader& log = kit.log();
  std::int64_t size = 0;
  const bool regular = OperationKit::regularFile(file, size);
  if (regular && size > kMaxSignableBytes) {
    kit.showError(ql::QL_ERR_ARGUMENT);
    log.LogLine(QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nИсходный файл: %2")
                    .arg(log.GetErrorText(ql::QL_ERR_ARGUMENT), file));
    return kit.fail(ql::QL_ERR_ARGUMENT);
  }
  const QString work = regular ? helper.CreateTmp(file, true) : QString();
  if (work.isEmpty()) {
    const QString text = work_folder_failure(file);
    kit.box(text, MB_OK | MB_ICONSTOP);
    log.LogLine(text);
    return kit.fail(kOpWorkFolderFailed);
  }
  const QString folder = GetPathFromName(work);

  CryptoSession& session = kit.session();
  QString document;
  QStringList signatures;
  QList<ArchiveSignerRecord> signers;
  if (helper.ReadSignatureList(work, document, signatures) == 0 ||
      ReadArchiveSigners(session, work, signatures, signers) == 0) {
    kit.sortFailed(file, work);
    const QString text = QStringLiteral("Файл:\n\n%1\n\nне подписан или испорчен!").arg(work);
    kit.box(text, MB_OK | MB_ICONINFORMATION);
    log.LogLine(text);
    return kit.fail(kOpNoSignature);
  }

  SignAnswer answer;
  if (kit.interactive()) {
    EngineUi* ui = operation_ui();
    if (ui != nullptr) answer = ui->askSign(SignRequest{file + QStringLiteral(" : ") + document, false, true, file});
    if (answer.accepted && !author_of(kit, answer)) answer.accepted = false;
  } else if (!automatic_answer(kit, document, answer)) {
    answer.accepted = false;
  }
  if (!answer.accepted) {
    helper.RemoveTmp(file, work, true);
    if (job->result == kOpOk) kit.fail(kOpCancelled);
    return 0;
  }
  OwnerRecord& author = *answer.author;

  // The author's identity is the serial and the issuer together: another
  // CA's certificate may carry the same serial, and its signer stays.
  QString authorText, authorSerial;
  DistinguishedName authorIssuer;
  const int described = author.serNum.isEmpty()
                            ? ql::QL_ERR_ARGUMENT
                            : DescribeCertificate(session, author.serNum, authorText, &authorSerial, &authorIssuer);
  if (described != 0) {
    helper.RemoveTmp(file, work, true);
    if (!author.serNum.isEmpty()) kit.showError(described);
    return kit.fail(author.serNum.isEmpty() ? kOpNoSignature : described);
  }
  QString signature;
  bool replace = false;
  for (const ArchiveSignerRecord& r : signers) {
    if (r.serial.compare(authorSerial, Qt::CaseInsensitive) != 0 ||
        EngineHelper::CompareNames(r.issuer, authorIssuer) != 1)
      continue;
    if (kit.box(QStringLiteral("Вы уже подписывали документ: \n %1\n\nПереподписать?").arg(document),
                MB_YESNO | MB_ICONQUESTION) != IDYES) {
      helper.RemoveTmp(file, work, true);
      return kit.fail(kOpCancelled);
    }
    signature = r.file;
    replace = true;
    break;
  }
  if (signature.isEmpty()) {
    int k = MaxNumericSuffix(signatures);
    if (k < 1) k = 1;
    if (k == INT_MAX) {
      kit.sortFailed(file, work);
      return kit.fail(kOpArchiveFailed);
    }
    signature = document + QLatin1Char('.') + QString::number(k + 1);
  }

  if (!kit.askKeyMedium(author)) {
    helper.RemoveTmp(file, work, true);
    return 0;
  }
  // Every failure from here: the working copy sorted as failed, the source
  // back, the folder removed.
  const auto failed = [&](int code, bool box, bool logText) {
    progress.stop();
    kit.sortFailed(file, work);
    if (box) kit.showError(code);
    if (logText) log.LogLine(log.GetErrorText(code));
    return kit.fail(code);
  };
  int code = kit.loadAuthorKey(author);
  if (code != 0) return failed(code, true, true);

  progress.start();
  progress.setFile(file);
  code = kit.loadTrustedCertificates();
  if (code != 0) return failed(code, true, false);
  if (const int crl = kit.loadCrlFolder(); crl != 0) kit.showError(crl);
  SignSetOwner set(session.NewSignatureSet(), SignSetFree{&session});
  if (!set) return failed(kOpNoSignature, false, false);
  code = session.AddSignerCertificate(set.get(), ql::QL_LOOKUP_BYTES, author.serNum.constData(),
                                      static_cast<long>(author.serNum.size()));
  if (code != 0) return failed(code, true, false);
  const SigningOptions options{answer.includeCertificate ? 1 : 0, answer.includeSigningTime ? 1 : 0};
  // Add mode always makes a detached signature: the archive's document
  // stays as it is.
  const QString signaturePath = folder + QLatin1Char('/') + signature;
  code = session.SignFile(set.get(), folder + QLatin1Char('/') + document, signaturePath, 1, options, &progress);
  set.reset();
  if (code != 0) return failed(code, true, true);
  if (helper.AppendArchiveSignature(work, signaturePath, replace) == 0) return failed(kOpArchiveFailed, false, false);

  QString result = work;
  if (!kit.placeResult(file, work, result)) return failed(kOpWorkFolderFailed, false, false);
  progress.stop();
  const QString text = QStringLiteral("Файл подписан!\r\nИмя файла: %1").arg(file);
  if (kit.interactive()) kit.box(text, MB_OK | MB_ICONINFORMATION);
  log.LogLine(text);
  job->result = kOpOk;
  return 1;
}

}  // namespace dsutils
