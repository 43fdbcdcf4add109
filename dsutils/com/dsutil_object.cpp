#include "dsutils/com/dsutil_object.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <thread>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/widgets/ui_bridge.h"

namespace dsutils {

namespace {

int operation_code(const QString& key) {
  if (key == QLatin1String("-s")) return 1;
  if (key == QLatin1String("-e")) return 2;
  if (key == QLatin1String("-a")) return 3;
  if (key == QLatin1String("-u")) return 4;
  if (key == QLatin1String("-v")) return 5;
  return 0;
}

// The argument behind `key` ("--in=", "--out="); nullopt when the key is absent.
std::optional<QString> argument(const QString& line, const QString& key) {
  const qsizetype at = line.indexOf(key);
  if (at < 0) return std::nullopt;
  const qsizetype start = at + key.size();
  // A blank right behind the key: the argument is empty.
  if (start >= line.size() || line[start] == QLatin1Char(' ')) return QString();
  return engine_helper().ExtractArgument(line, start);
}

bool exists(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

// Absolute means a leading "/"; anything else is taken from the current folder.
QString made_absolute(const QString& path) {
  if (path.startsWith(QLatin1Char('/'))) return path;
  QString full = QDir::currentPath() + QLatin1Char('/') + path;
  NetStr(full);
  return full;
}

void write(std::int32_t* out, std::int32_t value) {
  if (out != nullptr) *out = value;
}

}  // namespace

DSUtilObject::DSUtilObject(OperationTable operations, std::unique_ptr<EngineUi> ui)
    : ops_(std::move(operations)), ownUi_(std::move(ui)), ui_(ownUi_.get()) {}

DSUtilObject::DSUtilObject(OperationTable operations, EngineUi& ui) : ops_(std::move(operations)), ui_(&ui) {}

DSUtilObject::~DSUtilObject() = default;

bool DSUtilObject::run(const OperationTable::Operation& op, OperationJob& job) {
  if (!op) {
    std::fprintf(stderr, "Dossar: this operation is not available in this build\n");
    return false;
  }
  bool ok = false;
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread()) {
    // The GUI thread keeps serving the operation's windows while it waits;
    // the quit is queued, so it is taken inside exec() however early it comes.
    QEventLoop loop;
    std::thread worker([&] {
      {
        const OperationUiScope scope(ui_);
        ok = op(job);
      }
      widgets::UiBridge::post([&loop] { loop.quit(); });
    });
    loop.exec();
    worker.join();
  } else {
    std::thread worker([&] {
      const OperationUiScope scope(ui_);
      ok = op(job);
    });
    worker.join();
  }
  return ok;
}

HResult DSUtilObject::singleFile(const OperationTable::Operation& op, const QString& file, bool takesBlock,
                                 bool unpack) {
  OperationJob job;
  job.files.append(file);
  if (unpack) {
    LogOptions options;
    options.IsOldEnc = 1;
    engine_helper().GetLogOptions(options);
    job.unpackDocument = static_cast<std::int32_t>(options.UnPackDoc);
  }
  if (takesBlock) {
    if (pendingSet_) {
      job.automatic = true;
      job.params = pending_;
    }
    pendingSet_ = false;
  }
  return run(op, job) ? HResult::Ok : HResult::False;
}

HResult DSUtilObject::SignatureFile(const QString& f) { return singleFile(ops_.signGroup, f, true, false); }
HResult DSUtilObject::EncriptFile(const QString& f) { return singleFile(ops_.encryptGroup, f, true, false); }
HResult DSUtilObject::UnEncriptFile(const QString& f) { return singleFile(ops_.unpackFile, f, true, true); }
HResult DSUtilObject::CheckSignature(const QString& f) { return singleFile(ops_.unpackFile, f, false, false); }
HResult DSUtilObject::SignatureAndEncript(const QString& f) {
  return singleFile(ops_.signEncryptGroup, f, true, false);
}

HResult DSUtilObject::put_Operation(const OperationParams& params) {
  pending_ = params;
  pendingSet_ = true;
  return HResult::Ok;
}

HResult DSUtilObject::get_FileName_In(QString* pVal) {
  if (pVal != nullptr) *pVal = fileIn_;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_In(const QString& v) {
  fileIn_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_Out(const QString& v) {
  fileOut_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_Log(const QString& v) {
  fileLog_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Certificate_In(std::int32_t v) {
  certificate_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Date_In(std::int32_t v) {
  date_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Signature_In(std::int32_t v) {
  signature_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_OriginalFile_Del(std::int32_t v) {
  deleteSource_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Owerwrite(std::int32_t v) {
  overwrite_ = v;
  return HResult::Ok;
}

// The mail members come with the mail operations; until then they refuse
// and write nothing.
HResult DSUtilObject::get_Email_Encript(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_Email_Encript(std::int32_t) { return HResult::False; }
HResult DSUtilObject::EncriptEmail(const QString&, const QString&) { return HResult::False; }
HResult DSUtilObject::AddContextEmail(QString*) { return HResult::False; }
HResult DSUtilObject::get_Email_Signature(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_Email_Signature(std::int32_t) { return HResult::False; }
HResult DSUtilObject::SignatureEmail() { return HResult::False; }
HResult DSUtilObject::AddContextSgnEmail(QString*) { return HResult::False; }
HResult DSUtilObject::UnEncriptEmail() { return HResult::False; }
HResult DSUtilObject::get_Email_Result(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::Email_SignatureAndEncript() { return HResult::False; }
HResult DSUtilObject::get_SearchInPAB(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::get_SearchInGAL(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::AddResipients(const QString&, const QString&) { return HResult::False; }
HResult DSUtilObject::ResetResipients() { return HResult::False; }
HResult DSUtilObject::get_AttachFile(QString*) { return HResult::False; }
HResult DSUtilObject::put_AttachFile(const QString&) { return HResult::False; }
HResult DSUtilObject::ResetAttach() { return HResult::False; }
HResult DSUtilObject::AttachFiles(QString*) { return HResult::False; }
HResult DSUtilObject::get_EnableClient(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::get_EnableQuestion(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_EnableQuestion(std::int32_t) { return HResult::False; }
HResult DSUtilObject::get_Email_DataResult(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::get_GetDataFromDll(const QString&, const QString&, QString*) { return HResult::False; }
HResult DSUtilObject::get_Email_Soting(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_Email_Soting(std::int32_t) { return HResult::False; }
HResult DSUtilObject::get_Email_Auto(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_Email_Auto(std::int32_t) { return HResult::False; }
HResult DSUtilObject::get_Email_Izvlechenie(std::int32_t*) { return HResult::False; }
HResult DSUtilObject::put_Email_Izvlechenie(std::int32_t) { return HResult::False; }

HResult DSUtilObject::CommandLine(const QString& bstrOper, const QString& bstrLine, std::int32_t* lReturn) {
  const int code = operation_code(bstrOper);
  const QString in = argument(bstrLine, QStringLiteral("--in=")).value_or(QString());
  const QString out = argument(bstrLine, QStringLiteral("--out=")).value_or(QString());
  if (code == 4 || code == 5) return HResult::Ok;
  if (code == 0) {
    // An unknown key is refused as the second form refuses it, not taken for success.
    write(lReturn, kOpUnknownKey);
    return HResult::False;
  }
  OperationJob job;
  if (!engine_helper().ListFiles(in, &job.files)) {
    write(lReturn, kOpNoFiles);
    return HResult::False;
  }
  job.inputPath = in;
  job.outputPath = out;
  job.automatic = true;
  const OperationTable::Operation& op = code == 1   ? ops_.signGroup
                                        : code == 2 ? ops_.encryptGroup
                                                    : ops_.signEncryptGroup;
  if (!run(op, job)) return HResult::False;
  write(lReturn, job.result);
  return HResult::Ok;
}

HResult DSUtilObject::CommanLineEx(const QString& nstrOper, const QString& bstrParam, std::int32_t* plReturn) {
  const int code = operation_code(nstrOper);
  const QString line = bstrParam + QLatin1Char(' ');
  QString in, out;
  if (std::optional<QString> arg = argument(line, QStringLiteral("--in="))) {
    if (arg->isEmpty()) {
      write(plReturn, kOpNoFiles);
      return HResult::False;
    }
    in = made_absolute(*arg);
    if (!exists(in)) {
      write(plReturn, kOpNoFiles);
      return HResult::False;
    }
  }
  if (std::optional<QString> arg = argument(line, QStringLiteral("--out="))) {
    if (arg->isEmpty()) {
      write(plReturn, kOpNoFiles);
      return HResult::False;
    }
    out = made_absolute(*arg);
    // An output file that is still to be made only needs its folder.
    if (!exists(out) && !exists(GetPathFromName(out))) {
      write(plReturn, kOpNoFiles);
      return HResult::False;
    }
  }
  if (code == 0) {
    write(plReturn, kOpUnknownKey);
    return HResult::False;
  }
  OperationJob job;
  if (!engine_helper().ListFiles(in, &job.files)) {
    write(plReturn, kOpNoFiles);
    return HResult::False;
  }
  job.params.text = in;
  job.inputPath = in;
  job.params.outputName = out;
  job.outputPath = out;
  job.automatic = true;
  bool ok = true;
  switch (code) {
    case 1:
      ok = run(ops_.signGroup, job);
      break;
    case 2:
      ok = run(ops_.encryptGroup, job);
      break;
    case 3:
      ok = run(ops_.signEncryptGroup, job);
      break;
    case 4:
      ok = run(ops_.unpackGroup, job);
      break;
    default:
      break;  // "-v" checks the arguments only
  }
  write(plReturn, job.result);
  return ok ? HResult::Ok : HResult::False;
}

}  // namespace dsutils
