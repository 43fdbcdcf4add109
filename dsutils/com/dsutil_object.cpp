#include "dsutils/com/dsutil_object.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <new>
#include <system_error>
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

std::optional<QString> CommandLineArgument(const QString& line, const QString& key) { return argument(line, key); }

DSUtilObject::DSUtilObject(OperationTable operations, std::unique_ptr<EngineUi> ui)
    : ops_(std::move(operations)), ownUi_(std::move(ui)), ui_(ownUi_.get()) {}

DSUtilObject::DSUtilObject(OperationTable operations, EngineUi& ui) : ops_(std::move(operations)), ui_(&ui) {}

DSUtilObject::~DSUtilObject() = default;

// Marks the object busy for one operation member; refused (nothing marked)
// while another runs.
class DSUtilObject::OperationScope {
 public:
  explicit OperationScope(DSUtilObject& object) : object_(object) {
    const std::lock_guard<std::mutex> guard(object_.mutex_);
    if (object_.busy_) return;
    object_.busy_ = true;
    entered_ = true;
  }
  ~OperationScope() {
    if (!entered_) return;
    const std::lock_guard<std::mutex> guard(object_.mutex_);
    object_.busy_ = false;
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  DSUtilObject& object_;
  bool entered_ = false;
};

bool DSUtilObject::busy() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return busy_;
}

std::unique_lock<std::mutex> DSUtilObject::enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (busy_) lock.unlock();
  return lock;
}

bool DSUtilObject::onWorker(const std::function<void()>& body) {
  auto start = [this](std::function<void()> fn) {
    if (starter_) return starter_(std::move(fn));
    return std::thread(std::move(fn));
  };
  QCoreApplication* app = QCoreApplication::instance();
  try {
    if (app != nullptr && QThread::currentThread() == app->thread()) {
      // The GUI thread keeps serving the operation's windows while it waits;
      // the quit is queued, so it is taken inside exec() however early it comes.
      QEventLoop loop;
      std::thread worker = start([&] {
        {
          const OperationUiScope scope(ui_);
          body();
        }
        widgets::UiBridge::post([&loop] { loop.quit(); });
      });
      loop.exec();
      worker.join();
    } else {
      std::thread worker = start([&] {
        const OperationUiScope scope(ui_);
        body();
      });
      worker.join();
    }
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "Dossar: no worker for the operation: %s\n", e.what());
    return false;
  }
  return true;
}

bool DSUtilObject::run(const OperationTable::Operation& op, OperationJob& job) {
  const OperationScope scope(*this);
  if (!scope) return false;
  return runUnlocked(op, job);
}

bool DSUtilObject::runUnlocked(const OperationTable::Operation& op, OperationJob& job) {
  if (!op) {
    std::fprintf(stderr, "Dossar: this operation is not available in this build\n");
    return false;
  }
  bool ok = false;
  return onWorker([&] { ok = op(job); }) && ok;
}

HResult DSUtilObject::singleFile(const OperationTable::Operation& op, const QString& file, bool takesBlock,
                                 bool unpack) {
  const OperationScope scope(*this);
  if (!scope) return HResult::False;
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
  return runUnlocked(op, job) ? HResult::Ok : HResult::False;
}

HResult DSUtilObject::SignatureFile(const QString& f) { return singleFile(ops_.signGroup, f, true, false); }
HResult DSUtilObject::EncriptFile(const QString& f) { return singleFile(ops_.encryptGroup, f, true, false); }
HResult DSUtilObject::UnEncriptFile(const QString& f) { return singleFile(ops_.unpackFile, f, true, true); }
HResult DSUtilObject::CheckSignature(const QString& f) { return singleFile(ops_.unpackFile, f, false, false); }
HResult DSUtilObject::SignatureAndEncript(const QString& f) {
  return singleFile(ops_.signEncryptGroup, f, true, false);
}

HResult DSUtilObject::put_Operation(const OperationParams& params) {
  const auto state = enter();
  if (!state) return HResult::False;
  pending_ = params;
  pendingSet_ = true;
  return HResult::Ok;
}

HResult DSUtilObject::get_FileName_In(QString* pVal) {
  const auto state = enter();
  if (!state) return HResult::False;
  if (pVal != nullptr) *pVal = fileIn_;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_In(const QString& v) {
  const auto state = enter();
  if (!state) return HResult::False;
  fileIn_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_Out(const QString& v) {
  const auto state = enter();
  if (!state) return HResult::False;
  fileOut_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_FileName_Log(const QString& v) {
  const auto state = enter();
  if (!state) return HResult::False;
  fileLog_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Certificate_In(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  certificate_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Date_In(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  date_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Signature_In(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  signature_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_OriginalFile_Del(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  deleteSource_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Owerwrite(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  overwrite_ = v;
  return HResult::Ok;
}

// --- mail ---

namespace {

// Property\Email as the mail members read it: the record preset with these
// defaults, and whether the store could be read. A missing key is no
// failure: the reader creates it and gives its own defaults.
MailSettings read_mail_settings(bool& read) {
  MailSettings s;
  s.Encript = 1;
  s.Signature = 1;
  s.LocalAdr = 1;
  s.GlobalAdr = 1;
  s.EnableClient = 1;
  s.EnableQuestion = 1;
  s.Result = 0;
  s.Min = 60;
  s.Password = 0;
  s.EncOwner = 0;
  s.Izvlech = 0;
  s.Auto = 1;
  s.Sorting = 1;
  read = engine_helper().GetMailSettings(s);
  return s;
}

std::int32_t as_int(std::uint32_t v) { return static_cast<std::int32_t>(v); }

// What the getters answer; the fallbacks apply to a store that cannot be read.
std::int32_t encrypt_of(const MailSettings& s, bool read) { return read ? as_int(s.Encript) : 1; }
std::int32_t sign_of(const MailSettings& s, bool read) { return read ? as_int(s.Signature) : 1; }
std::int32_t result_of(const MailSettings& s, bool read) { return read ? as_int(s.Result) : 0; }
std::int32_t sorting_of(const MailSettings& s, bool read) { return read ? as_int(s.Sorting) : 0; }
std::int32_t auto_of(const MailSettings& s, bool read) { return read ? as_int(s.Auto) : 0; }
std::int32_t extract_of(const MailSettings& s, bool read) { return read ? as_int(s.Izvlech) : 0; }

const AttachmentRecord* find_attachment(const QList<AttachmentRecord>& list, const QString& path,
                                        Qt::CaseSensitivity cs) {
  for (const AttachmentRecord& record : list) {
    // Qt compares case-insensitively by Unicode case folding, so Cyrillic
    // (and any other script) names match as the person reads them.
    if (QString::compare(record.path, path, cs) == 0) return &record;
  }
  return nullptr;
}

}  // namespace

HResult DSUtilObject::readInt(std::int32_t* out,
                              const std::function<std::int32_t(const MailSettings&, bool read)>& pick) {
  const auto state = enter();
  if (!state || out == nullptr) return HResult::False;
  bool read = false;
  const MailSettings s = read_mail_settings(read);
  *out = pick(s, read);
  return HResult::Ok;
}

HResult DSUtilObject::get_Email_Encript(std::int32_t* pVal) {
  return readInt(pVal, [this](const MailSettings& s, bool read) {
    mailEncrypt_ = encrypt_of(s, read);
    return *mailEncrypt_;
  });
}
HResult DSUtilObject::get_Email_Signature(std::int32_t* pVal) {
  return readInt(pVal, [this](const MailSettings& s, bool read) {
    mailSign_ = sign_of(s, read);
    return *mailSign_;
  });
}
HResult DSUtilObject::get_Email_Result(std::int32_t* pVal) { return readInt(pVal, result_of); }
HResult DSUtilObject::get_Email_DataResult(std::int32_t* pVal) { return readInt(pVal, result_of); }
HResult DSUtilObject::get_SearchInPAB(std::int32_t* pVal) {
  return readInt(pVal, [](const MailSettings& s, bool) { return as_int(s.LocalAdr); });
}
HResult DSUtilObject::get_SearchInGAL(std::int32_t* pVal) {
  return readInt(pVal, [](const MailSettings& s, bool) { return as_int(s.GlobalAdr); });
}
HResult DSUtilObject::get_EnableClient(std::int32_t* pVal) {
  return readInt(pVal, [](const MailSettings& s, bool) { return as_int(s.EnableClient); });
}
HResult DSUtilObject::get_EnableQuestion(std::int32_t* pVal) {
  return readInt(pVal, [](const MailSettings& s, bool) { return as_int(s.EnableQuestion); });
}
HResult DSUtilObject::get_Email_Soting(std::int32_t* pVal) { return readInt(pVal, sorting_of); }
HResult DSUtilObject::get_Email_Auto(std::int32_t* pVal) { return readInt(pVal, auto_of); }
HResult DSUtilObject::get_Email_Izvlechenie(std::int32_t* pVal) { return readInt(pVal, extract_of); }

// These two settings belong to the settings pages: the members only read
// the settings (which makes a missing key) and keep nothing.
HResult DSUtilObject::put_EnableQuestion(std::int32_t) {
  std::int32_t ignored = 0;
  return readInt(&ignored, [](const MailSettings&, bool) { return 0; });
}
HResult DSUtilObject::put_Email_Auto(std::int32_t) {
  std::int32_t ignored = 0;
  return readInt(&ignored, [](const MailSettings&, bool) { return 0; });
}

HResult DSUtilObject::put_Email_Encript(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  mailEncrypt_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Email_Signature(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  mailSign_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Email_Soting(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  mailSorting_ = v;
  return HResult::Ok;
}
HResult DSUtilObject::put_Email_Izvlechenie(std::int32_t v) {
  const auto state = enter();
  if (!state) return HResult::False;
  mailExtract_ = v;
  return HResult::Ok;
}

// Kept for clients that call them before sending; the recipients and the
// signing come through AddResipients and the mail flags.
HResult DSUtilObject::EncriptEmail(const QString&, const QString&) {
  const auto state = enter();
  return state ? HResult::Ok : HResult::False;
}
HResult DSUtilObject::SignatureEmail() {
  const auto state = enter();
  return state ? HResult::Ok : HResult::False;
}

HResult DSUtilObject::AddContextEmail(QString* pbstrFile) {
  const auto state = enter();
  if (!state || pbstrFile == nullptr) return HResult::False;
  mailFiles_.append(*pbstrFile);
  pbstrFile->append(QStringLiteral(".enc"));
  return HResult::Ok;
}
HResult DSUtilObject::AddContextSgnEmail(QString* pbstrFile) {
  const auto state = enter();
  if (!state || pbstrFile == nullptr) return HResult::False;
  mailFiles_.append(*pbstrFile);
  pbstrFile->append(QStringLiteral(".sga"));
  return HResult::Ok;
}

HResult DSUtilObject::AddResipients(const QString& bstrEmail, const QString& bstrCert) {
  const auto state = enter();
  if (!state) return HResult::False;
  try {
    recipients_.append(RecipientPair{bstrEmail, bstrCert});
  } catch (const std::bad_alloc&) {
    return HResult::False;
  }
  return HResult::Ok;
}
HResult DSUtilObject::ResetResipients() {
  const auto state = enter();
  if (!state) return HResult::False;
  recipients_.clear();
  return HResult::Ok;
}

HResult DSUtilObject::put_AttachFile(const QString& newVal) {
  const auto state = enter();
  if (!state) return HResult::False;
  try {
    attachments_.append(AttachmentRecord{newVal, {}, {}, 1});
  } catch (const std::bad_alloc&) {
    return HResult::False;
  }
  return HResult::Ok;
}
HResult DSUtilObject::get_AttachFile(QString* pVal) {
  const auto state = enter();
  if (!state || pVal == nullptr) return HResult::False;
  const AttachmentRecord* record = find_attachment(attachments_, *pVal, Qt::CaseSensitive);
  if (record == nullptr) return HResult::False;
  *pVal = record->processedName;
  return HResult::Ok;
}
HResult DSUtilObject::AttachFiles(QString* pbstrFile) {
  const auto state = enter();
  if (!state || pbstrFile == nullptr) return HResult::False;
  const AttachmentRecord* record = find_attachment(attachments_, *pbstrFile, Qt::CaseInsensitive);
  if (record == nullptr) {
    pbstrFile->clear();
    return HResult::False;
  }
  *pbstrFile = record->processedName;
  return HResult::Ok;
}
HResult DSUtilObject::ResetAttach() {
  const auto state = enter();
  if (!state) return HResult::False;
  attachments_.clear();
  return HResult::Ok;
}

HResult DSUtilObject::get_GetDataFromDll(const QString& bstrParam1, const QString& bstrParam2, QString* pVal) {
  const auto state = enter();
  if (!state) return HResult::False;
  if (bstrParam1 == QLatin1String("get_protocol")) {
    if (pVal == nullptr) return HResult::False;
    if (lastUnpackResult_ != 0) lastProtocol_.clear();
    *pVal = lastProtocol_;
    return HResult::Ok;
  }
  if (bstrParam1 == QLatin1String("get_error_unpack")) {
    if (pVal == nullptr) return HResult::False;
    const AttachmentRecord* record = find_attachment(attachments_, bstrParam2, Qt::CaseSensitive);
    if (record == nullptr) return HResult::False;
    // The text of an attachment that failed; a good one has none to give.
    *pVal = record->status == 0 ? record->errorText : QString();
    return HResult::Ok;
  }
  return HResult::Ok;
}

HResult DSUtilObject::Email_SignatureAndEncript() { return startMail(Mail::kSignEncrypt); }
HResult DSUtilObject::UnEncriptEmail() { return startMail(Mail::kUnpack); }

HResult DSUtilObject::startMail(Mail kind) {
  const OperationScope scope(*this);
  if (!scope) return HResult::False;
  const OperationTable::MailOperation& op = kind == Mail::kSignEncrypt ? ops_.mailSignEncrypt : ops_.mailUnpack;
  if (!op) {
    std::fprintf(stderr, "Dossar: this operation is not available in this build\n");
    return HResult::False;
  }
  // The key password prompt of this object's operations may now answer
  // with the password it remembers.
  ui_->setMailMode(true);
  std::unique_ptr<MailJob> job;
  try {
    job = std::make_unique<MailJob>();
  } catch (const std::bad_alloc&) {
    return HResult::False;
  }
  job->attachments = &attachments_;
  job->recipients = &recipients_;
  // Flags nobody set or read yet come from the mail settings as they are now.
  if (!mailEncrypt_ || !mailSign_ || !mailSorting_ || !mailExtract_) {
    bool read = false;
    const MailSettings s = read_mail_settings(read);
    if (!mailEncrypt_) mailEncrypt_ = encrypt_of(s, read);
    if (!mailSign_) mailSign_ = sign_of(s, read);
    if (!mailSorting_) mailSorting_ = sorting_of(s, read);
    if (!mailExtract_) mailExtract_ = extract_of(s, read);
  }
  if (kind == Mail::kSignEncrypt) {
    job->encrypt = *mailEncrypt_ != 0;
    job->sign = *mailSign_ != 0;
  } else {
    job->sorting = *mailSorting_ != 0;
    job->extract = *mailExtract_ != 0;
  }
  // The worker's end comes after the routine released job->done, so every
  // result of the job is in place once onWorker returns.
  if (!onWorker([&] { op(*job); })) {
    ui_->showMessage(MessageRequest{QStringLiteral("Error create semaphor"), MB_OK | MB_ICONSTOP});
    return HResult::False;
  }
  if (kind == Mail::kUnpack) {
    lastUnpackResult_ = job->error;
    lastProtocol_ = job->error == 0 ? job->resultText : QString();
  }
  return job->success ? HResult::Ok : HResult::False;
}

HResult DSUtilObject::CommandLine(const QString& bstrOper, const QString& bstrLine, std::int32_t* lReturn) {
  const OperationScope scope(*this);
  if (!scope) return HResult::False;
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
  if (!runUnlocked(op, job)) return HResult::False;
  write(lReturn, job.result);
  return HResult::Ok;
}

HResult DSUtilObject::CommanLineEx(const QString& nstrOper, const QString& bstrParam, std::int32_t* plReturn) {
  const OperationScope scope(*this);
  if (!scope) return HResult::False;
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
      ok = runUnlocked(ops_.signGroup, job);
      break;
    case 2:
      ok = runUnlocked(ops_.encryptGroup, job);
      break;
    case 3:
      ok = runUnlocked(ops_.signEncryptGroup, job);
      break;
    case 4:
      ok = runUnlocked(ops_.unpackGroup, job);
      break;
    default:
      break;  // "-v" checks the arguments only
  }
  write(plReturn, job.result);
  return ok ? HResult::Ok : HResult::False;
}

}  // namespace dsutils
