// The DSUtil object over a table of file operations: the engine's in the
// library, fakes in tests.
#pragma once

#include <QList>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "dsutils/com/idsutil.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"

namespace dsutils {

struct MailSettings;

// The argument behind `key` ("--in=", "--out=") in a command line as the
// CommandLine members read it; nullopt when the key is absent.
std::optional<QString> CommandLineArgument(const QString& line, const QString& key);

// Each operation works on the job it is given and never frees it: the
// starter owns the job. True when the operation succeeded.
struct OperationTable {
  using Operation = std::function<bool(OperationJob&)>;
  Operation signGroup;
  Operation encryptGroup;
  Operation signEncryptGroup;
  Operation unpackGroup;
  Operation unpackFile;
  // The mail operations: each reads the job's flags and lists, writes its
  // results into the job and the attachment records, and releases
  // job.done once. True when the routine ended normally; the starter reads
  // job.success.
  using MailOperation = std::function<bool(MailJob&)>;
  MailOperation mailSignEncrypt;
  MailOperation mailUnpack;
};

// One operation per object at a time: while one runs (a caller waiting in
// a member, or in its local event loop on the GUI thread) every further
// member answers False with nothing written, from any thread. The other
// members may be called from any thread; they take the object's state for
// the time of the call.
class DSUtilObject final : public IDSUtil {
 public:
  // `ui` serves every operation the object starts; the object owns it.
  DSUtilObject(OperationTable operations, std::unique_ptr<EngineUi> ui);
  // `ui` stays the caller's and must outlive the object.
  DSUtilObject(OperationTable operations, EngineUi& ui);
  ~DSUtilObject() override;
  DSUtilObject(const DSUtilObject&) = delete;
  DSUtilObject& operator=(const DSUtilObject&) = delete;

  EngineUi& ui() { return *ui_; }
  // Whether an operation of this object is under way (its members refuse).
  bool busy() const;

  HResult SignatureFile(const QString& bstrFile) override;
  HResult EncriptFile(const QString& bstrFile) override;
  HResult UnEncriptFile(const QString& bstrFile) override;
  HResult CheckSignature(const QString& bstrFile) override;
  HResult put_Operation(const OperationParams& params) override;
  HResult get_FileName_In(QString* pVal) override;
  HResult put_FileName_In(const QString& newVal) override;
  HResult put_FileName_Out(const QString& newVal) override;
  HResult put_Certificate_In(std::int32_t newVal) override;
  HResult put_Date_In(std::int32_t newVal) override;
  HResult put_Signature_In(std::int32_t newVal) override;
  HResult put_OriginalFile_Del(std::int32_t newVal) override;
  HResult put_Owerwrite(std::int32_t newVal) override;
  HResult put_FileName_Log(const QString& newVal) override;

  HResult get_Email_Encript(std::int32_t* pVal) override;
  HResult put_Email_Encript(std::int32_t newVal) override;
  HResult EncriptEmail(const QString& bstrEmail, const QString& bstrSert) override;
  HResult AddContextEmail(QString* pbstrFile) override;
  HResult get_Email_Signature(std::int32_t* pVal) override;
  HResult put_Email_Signature(std::int32_t newVal) override;
  HResult SignatureEmail() override;
  HResult AddContextSgnEmail(QString* pbstrFile) override;
  HResult UnEncriptEmail() override;
  HResult get_Email_Result(std::int32_t* pVal) override;
  HResult Email_SignatureAndEncript() override;
  HResult get_SearchInPAB(std::int32_t* pVal) override;
  HResult get_SearchInGAL(std::int32_t* pVal) override;
  HResult AddResipients(const QString& bstrEmail, const QString& bstrCert) override;
  HResult ResetResipients() override;
  HResult get_AttachFile(QString* pVal) override;
  HResult put_AttachFile(const QString& newVal) override;
  HResult ResetAttach() override;
  HResult AttachFiles(QString* pbstrFile) override;
  HResult get_EnableClient(std::int32_t* pVal) override;
  HResult get_EnableQuestion(std::int32_t* pVal) override;
  HResult put_EnableQuestion(std::int32_t newVal) override;
  HResult SignatureAndEncript(const QString& bstrFile) override;
  HResult get_Email_DataResult(std::int32_t* pVal) override;
  HResult get_GetDataFromDll(const QString& bstrParam1, const QString& bstrParam2, QString* pVal) override;
  HResult get_Email_Soting(std::int32_t* pVal) override;
  HResult put_Email_Soting(std::int32_t newVal) override;
  HResult get_Email_Auto(std::int32_t* pVal) override;
  HResult put_Email_Auto(std::int32_t newVal) override;
  HResult get_Email_Izvlechenie(std::int32_t* pVal) override;
  HResult put_Email_Izvlechenie(std::int32_t newVal) override;

  HResult CommandLine(const QString& bstrOper, const QString& bstrLine, std::int32_t* lReturn) override;
  HResult CommanLineEx(const QString& nstrOper, const QString& bstrParam, std::int32_t* plReturn) override;

  // Runs `op` on `job` on a worker thread that reaches this object's UI; the
  // caller waits (in a local event loop when it is the GUI thread).
  bool run(const OperationTable::Operation& op, OperationJob& job);

  // How the object starts its workers: std::thread unless a test build put
  // another here (one that throws std::system_error stands for a system out
  // of threads).
  using WorkerStarter = std::function<std::thread(std::function<void()>)>;
#ifdef QCRYPTO_TEST_HOOKS
  void setWorkerStarter(WorkerStarter starter) { starter_ = std::move(starter); }
#endif

 private:
  class OperationScope;
  enum class Mail { kSignEncrypt, kUnpack };

  // The object's state for one plain member; not owning the lock (falsy)
  // while an operation runs.
  std::unique_lock<std::mutex> enter();
  // Runs `body` on a new worker holding an OperationUiScope with this
  // object's UI and waits for its end (the GUI thread in a local event
  // loop). False when no worker could be started.
  bool onWorker(const std::function<void()>& body);
  bool runUnlocked(const OperationTable::Operation& op, OperationJob& job);
  HResult singleFile(const OperationTable::Operation& op, const QString& file, bool takesBlock, bool unpack);
  HResult startMail(Mail kind);
  HResult readInt(std::int32_t* out, const std::function<std::int32_t(const MailSettings&, bool read)>& pick);

  OperationTable ops_;
  std::unique_ptr<EngineUi> ownUi_;
  EngineUi* ui_;
  OperationParams pending_;
  bool pendingSet_ = false;
  QString fileIn_, fileOut_, fileLog_;
  std::int32_t overwrite_ = 0, deleteSource_ = 0, signature_ = 0, date_ = 0, certificate_ = 0;

  mutable std::mutex mutex_;
  bool busy_ = false;
  WorkerStarter starter_;  // the same layout with and without test hooks

  // Mail: held by value, so a reset frees what it drops.
  QList<AttachmentRecord> attachments_;
  QList<RecipientPair> recipients_;
  QStringList mailFiles_;  // AddContextEmail / AddContextSgnEmail; read by nobody
  // Unset until a client sets or reads them; an operation then takes them
  // from the mail settings.
  std::optional<std::int32_t> mailEncrypt_, mailSign_, mailSorting_, mailExtract_;
  QString lastProtocol_;
  std::int32_t lastUnpackResult_ = 0;
};

}  // namespace dsutils
