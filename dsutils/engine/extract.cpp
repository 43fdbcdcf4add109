// ExtractArchive and ExtractGroup: documents (and an archive's signature
// files) out of signed files, placed by the "DOC" sorting rules. Nothing is
// verified here. Each signed file is taken into a working folder first; on
// every path it ends sorted, in its place again, or (when even that copy
// failed) kept in its working folder for the start-up clean-up.
#include "dsutils/engine/extract.h"

#include <QFile>
#include <cstdint>
#include <optional>

#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/signature_checker.h"

namespace dsutils {
namespace {

const QString kDoc = QStringLiteral("DOC");
const QString kChek = QStringLiteral("CHEK");

// An archive is known by its extension, in any case ("SGA" too).
bool is_archive(const QString& path) {
  return GetExtFromName(path).compare(QLatin1String("sga"), Qt::CaseInsensitive) == 0;
}

QString in_folder(const QString& folder, const QString& name) {
  QString out = folder + QLatin1Char('/') + name;
  NetStr(out);
  return out;
}

// Where documents and signatures go: the "DOC" result folder when Result is
// 1 and one is named, else the folder of the signed file.
QString target_folder(const SortSettings& sort, const QString& source) {
  return sort.Result == 1 && !sort.ResultPath.isEmpty() ? sort.ResultPath : GetPathFromName(source);
}

// The signed file was taken into the working folder, so its own path reads
// as free: a target there would take its name and the source's kept copy
// would never come back. Such a target gets the next free name, as the
// working copy's namesake ("x" gives "x[1]").
QString beside_source(const QString& target, const QString& source, const QString& work) {
  if (target != source) return target;
  const QString free = GetUnicalName(in_folder(GetPathFromName(work), GetFileFromName(work)));
  return GetUnicalName(in_folder(GetPathFromName(target), GetFileFromName(free)));
}

std::optional<QString> ask_save_file(const QString& target, const QString& filter) {
  EngineUi* ui = operation_ui();
  if (ui == nullptr) return std::nullopt;
  std::optional<QString> chosen = ui->chooseSaveFile(SaveFileRequest{target, filter});
  if (!chosen || chosen->isEmpty()) return std::nullopt;
  QString path = *chosen;
  NetStr(path);
  return path;
}

// Whether a regular file (or a link to one) holds exactly the bytes of `b`.
bool same_bytes(const QString& a, const QString& b) {
  std::int64_t size = 0;
  if (!OperationKit::regularFile(a, size)) return false;
  QFile fa(a), fb(b);
  if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) return false;
  for (;;) {
    const QByteArray x = fa.read(1 << 20);
    if (x != fb.read(1 << 20)) return false;
    if (x.isEmpty()) return true;
  }
}

// The working folder away; with `restore` the source is copied back from it
// first. A source still in its place (one in a read-only folder is never
// erased) is left alone; when another file took its place meanwhile, the
// source goes beside it under a free name. When even that copy fails, the
// folder stays for the start-up clean-up, which puts the source back.
void remove_work(EngineHelper& helper, const QString& source, const QString& work, bool restore) {
  if (!restore || !helper.FileExists(source)) {
    helper.RemoveTmp(source, work, restore);
    return;
  }
  if (same_bytes(source, work)) {
    helper.RemoveTmp(source, work, false);
    return;
  }
  const QString beside = GetUnicalName(source);
  if (!beside.isEmpty() && DS_CopyFile(work, beside, true)) helper.RemoveTmp(source, work, false);
}

// A failed file: its working copy goes where failed files go, its source
// where processed sources go under `sourceCode`; when either copy failed the
// source is put back from the working folder.
void settle_failed(EngineHelper& helper, const QString& source, const QString& work, const QString& sourceCode,
                   OperationProgress* progress) {
  QString placed = work;
  const bool failedPlaced = helper.GroupSortFile(source, placed, kDoc, true, progress) != 0;
  const bool sourcePlaced = helper.GroupSortFileEx(source, work, placed, sourceCode, progress) != 0;
  remove_work(helper, source, work, !failedPlaced || !sourcePlaced);
}

// After success: the source where processed sources go (put back from the
// working folder when that copy failed), the working folder away.
void settle_done(EngineHelper& helper, const QString& source, const QString& work, const QString& result,
                 OperationProgress* progress) {
  const bool sourcePlaced = helper.GroupSortFileEx(source, work, result, kDoc, progress) != 0;
  remove_work(helper, source, work, !sourcePlaced && source != result);
}

}  // namespace

int ExtractArchive(const QString& archivePath) {
  QString archive = archivePath;
  NetStr(archive);
  if (!is_archive(archive)) return 0;
  EngineHelper& helper = engine_helper();
  ErrorTextLoader& log = error_text_loader();
  SessionHold hold(global_crypto_session());
  hold.Open();
  SortSettings sort;
  helper.GetSortSettings(kDoc, sort);

  const QString work = helper.CreateTmp(archive, true);
  if (work.isEmpty()) {
    const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(archive);
    helper.ShowMessage(text, MB_OK | MB_ICONSTOP);
    log.LogLine(text);
    return 0;
  }
  QString document;
  QStringList signatures;
  if (helper.ReadSignatureList(work, document, signatures) == 0) {
    log.LogLine(QStringLiteral("Ошибка при распаковке TAR архива.\r\nФайл: %1").arg(archive));
    settle_failed(helper, archive, work, kChek, nullptr);
    return 0;
  }
  const QString workFolder = GetPathFromName(work);
  const QString folder = target_folder(sort, archive);
  const QString filter = QStringLiteral("Все файлы (.*)|*.*|");
  // The archive back in its place, untouched; the working folder away.
  const auto putBack = [&] { remove_work(helper, archive, work, true); };

  QString documentTarget = beside_source(in_folder(folder, document), archive, work);
  if (helper.FileExists(documentTarget) &&
      helper.ShowMessage(
          QStringLiteral("Файл извлекаемого документа уже существует: \n %1\n\nЗаменить?").arg(documentTarget),
          MB_YESNO | MB_ICONQUESTION) != IDYES) {
    const std::optional<QString> chosen = ask_save_file(documentTarget, filter);
    if (!chosen) {
      putBack();
      return 1;
    }
    documentTarget = beside_source(*chosen, archive, work);
  }

  QString signaturesText;
  for (const QString& name : signatures) {
    if (name.isEmpty()) continue;
    signaturesText += documentTarget + QStringLiteral(" : ") + name + QStringLiteral("\r\n");
    QString target = beside_source(in_folder(folder, name), archive, work);
    if (helper.FileExists(target) &&
        helper.ShowMessage(QStringLiteral("Файл подписи уже существует: \n %1\n\nЗаменить?").arg(target),
                           MB_YESNO | MB_ICONQUESTION) != IDYES) {
      const std::optional<QString> chosen = ask_save_file(target, filter);
      if (!chosen) {
        putBack();
        return 1;
      }
      target = beside_source(*chosen, archive, work);
    }
    if (!DS_CopyFile(in_folder(workFolder, name), target, false)) {
      const QString text = QStringLiteral("Ошибка при записи файла подписи: \n %1\n").arg(target);
      helper.ShowMessage(text, MB_YESNO | MB_ICONINFORMATION);
      log.LogLine(text);
      putBack();
      return 0;
    }
  }

  if (DS_CopyFile(in_folder(workFolder, document), documentTarget, false)) {
    settle_done(helper, archive, work, documentTarget, nullptr);
    const QString text =
        QStringLiteral(
            "Документ и подписи извлечены из архива:\r\n%1\r\n\r\nДокумент: \r\n%2\r\n\r\nПодписи: \r\n%3\r\n")
            .arg(archive, documentTarget, signaturesText);
    helper.ShowMessage(text, MB_OK | MB_ICONINFORMATION);
    log.LogLine(text);
    return 1;
  }
  const QString text = QStringLiteral("Ошибка при записи файла документа: \n %1\n").arg(documentTarget);
  helper.ShowMessage(text, MB_YESNO | MB_ICONINFORMATION);
  log.LogLine(text);
  // A document that could not be written is a failure of the archive's
  // extraction: sorted as one.
  settle_failed(helper, archive, work, kChek, nullptr);
  return 0;
}

namespace {

class ExtractRun {
 public:
  explicit ExtractRun(OperationJob& job)
      : job_(job),
        kit_(job, QStringLiteral("Выполняется операция: извлечь документ"), kDoc),
        helper_(kit_.helper()),
        log_(kit_.log()),
        progress_(kit_.progress()) {}

  int run();

 private:
  enum class Flow { kFileDone, kGroupEnds };

  Flow file(const QString& name);
  // The current file failed: sorted as a failure, logged and counted; a
  // single run ends with the text in a box and `code` as its result.
  Flow failure(const QString& text, int code);
  // Single run: an existing target is replaced only when the person agrees,
  // else the save dialog names another. False when that was cancelled.
  bool confirmTarget(QString& target);
  Flow place(const QString& written, const QString& target);
  int cancelled(std::int32_t count);

  OperationJob& job_;
  OperationKit kit_;
  EngineHelper& helper_;
  ErrorTextLoader& log_;
  OperationProgress& progress_;
  SortSettings sort_;
  bool group_ = false;
  std::int32_t errors_ = 0;
  QString source_, work_, placed_;
};

ExtractRun::Flow ExtractRun::failure(const QString& text, int code) {
  settle_failed(helper_, source_, work_, kDoc, &progress_);
  log_.LogLine(text);
  ++errors_;
  if (group_) return Flow::kFileDone;
  progress_.stop();
  helper_.ShowMessage(text, MB_OK | MB_ICONSTOP, &progress_);
  job_.result = code;
  return Flow::kGroupEnds;
}

bool ExtractRun::confirmTarget(QString& target) {
  if (!helper_.FileExists(target)) return true;
  progress_.stop();
  const int answer = helper_.ShowMessage(QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?").arg(target),
                                         MB_YESNO | MB_ICONQUESTION, &progress_);
  if (answer != IDYES) {
    const std::optional<QString> chosen = ask_save_file(target, QStringLiteral("Все файлы (*.*)|*.*|"));
    if (!chosen) return false;
    target = beside_source(*chosen, source_, work_);
  }
  progress_.start();
  return true;
}

ExtractRun::Flow ExtractRun::place(const QString& written, const QString& target) {
  QString placed = written;
  bool ok = false;
  if (group_) {
    ok = helper_.GroupSortFile(source_, placed, kDoc, false, &progress_) != 0;
  } else {
    ok = DS_CopyFile(written, target, false);
    placed = target;
  }
  if (!ok)
    return failure(QStringLiteral("Ошибка при записи файла на диск. \r\nФайл: %1").arg(target), kOpWorkFolderFailed);
  settle_done(helper_, source_, work_, placed, &progress_);
  placed_ = placed;
  return Flow::kFileDone;
}

ExtractRun::Flow ExtractRun::file(const QString& name) {
  source_ = name;
  NetStr(source_);
  work_ = helper_.CreateTmp(source_, true);
  if (work_.isEmpty()) {
    const QString text = QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(source_);
    log_.LogLine(text);
    progress_.stop();
    helper_.ShowMessage(text, MB_OK | MB_ICONSTOP, &progress_);
    job_.result = kOpWorkFolderFailed;
    return Flow::kGroupEnds;
  }
  progress_.setFile(GetFileFromName(source_));
  log_.LogLine(QStringLiteral("\r\n------\r\nОбрабатывается файл: %1").arg(source_));
  const QString workFolder = GetPathFromName(work_);
  const QString folder = target_folder(sort_, source_);
  QString written, target;
  if (!is_archive(source_)) {
    const QString document = GetFileFromName(work_.endsWith(QLatin1String(".sgn")) ? work_.chopped(4) : work_);
    target = beside_source(in_folder(folder, document), source_, work_);
    // Written in the working folder under the document's name; the working
    // copy's own name gives way (x gives x[1]).
    written = in_folder(workFolder, document);
    if (written == work_) written = GetUnicalName(written);
    if (written.isEmpty())
      return failure(QStringLiteral("Ошибка при записи файла на диск. \r\nФайл: %1").arg(target), kOpWorkFolderFailed);
    SignatureChecker checker;
    QString error;
    switch (checker.ExtractDocumentTo(work_, written, error)) {
      case ExtractResult::kWritten:
        break;
      case ExtractResult::kFailed:
        return failure(
            QStringLiteral("Ошибка при извлечении документа. \r\nКод ошибки : %1\r\nДокумент: %2").arg(error, source_),
            kOpFinishedWithErrors);
      case ExtractResult::kWriteFailed:
        return failure(QStringLiteral("Ошибка при записи файла на диск. \r\nФайл: %1").arg(target),
                       kOpWorkFolderFailed);
    }
  } else {
    QString document;
    QStringList signatures;
    if (helper_.ReadSignatureList(work_, document, signatures) == 0)
      return failure(QStringLiteral("Ошибка при распаковке TAR архива. Файл: %1").arg(source_), kOpFinishedWithErrors);
    written = in_folder(workFolder, document);
    target = beside_source(in_folder(folder, document), source_, work_);
  }
  if (!group_ && !confirmTarget(target)) {
    settle_failed(helper_, source_, work_, kDoc, &progress_);
    job_.result = kOpCancelled;
    return Flow::kGroupEnds;
  }
  return place(written, target);
}

int ExtractRun::cancelled(std::int32_t count) {
  progress_.stop();
  // "On" in Latin letters, as the text has always been written.
  const QString text = QStringLiteral(
                           "\r\nOnперация извлечь документ прервана пользователем!\r\n\r\nВсего файлов: %1\r\n\r\nИз "
                           "них с ошибками: %2\r\n\r\n")
                           .arg(count)
                           .arg(errors_);
  log_.LogLine(text);
  helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION, &progress_);
  job_.result = kOpCancelled;
  return 0;
}

int ExtractRun::run() {
  kit_.hold().Open();
  const auto count = static_cast<std::int32_t>(job_.files.size());
  if (count == 0) {
    helper_.ShowMessage(QStringLiteral("Не выбраны файлы для извлечения документов!"), MB_OK | MB_ICONINFORMATION);
    job_.result = kOpNoFiles;
    return 0;
  }
  if (count > 1) {
    if (helper_.ShowMessage(QStringLiteral("\nИзвлечь документы в группе файлов ?\nВсего файлов: %1").arg(count),
                            MB_YESNO | MB_ICONQUESTION) != IDYES) {
      job_.result = kOpCancelled;
      return 1;
    }
    group_ = true;
  }
  helper_.GetSortSettings(kDoc, sort_, &progress_);
  progress_.start();
  log_.LogOperation(QStringLiteral("извлечь документ"));
  for (const QString& name : job_.files) {
    if (progress_.cancelled()) return cancelled(count);
    if (name.isEmpty()) continue;
    if (file(name) == Flow::kGroupEnds) {
      progress_.stop();
      return 0;
    }
  }
  progress_.stop();
  const QString text =
      group_ ? QStringLiteral(
                   "Групповая операция извлечения документа завершена!\r\n\r\nВсего документов: %1\r\n\r\nИз них с "
                   "ошибками: %2\r\n\r\n")
                   .arg(count)
                   .arg(errors_)
             : QStringLiteral(
                   "Документ успешно извлечен!\r\nПодписанный документ:\r\n %1\r\n\r\nИзвлеченный документ: \r\n%2\r\n")
                   .arg(source_, placed_);
  helper_.ShowMessage(text, MB_OK | MB_ICONINFORMATION, &progress_);
  log_.LogLine(text);
  job_.result = errors_ == 0 ? kOpOk : kOpFinishedWithErrors;
  return 1;
}

}  // namespace

int ExtractGroup(OperationJob* job) {
  if (job == nullptr) return 0;
  job->result = kOpOk;
  ExtractRun run(*job);
  return run.run();
}

}  // namespace dsutils
