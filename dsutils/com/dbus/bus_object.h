// One client's DSUtil object on the session bus. Its members are those of
// IDSUtil with the HResult first among the answers; the adaptor generated
// from DSUtils.IDSUtil.xml calls them. Only the creating connection may call;
// while an operation runs every further call is refused as busy. Operations
// run on a thread of their own and answer with a delayed reply, so the
// service's loop keeps answering the other clients (and shows the dialogs).
#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "dsutils/com/dbus/bus_types.h"
#include "dsutils/com/dsutil_object.h"

namespace dsutils::bus {

inline constexpr char kErrorAccessDenied[] = "DSUtils.Error.AccessDenied";
inline constexpr char kErrorBusy[] = "DSUtils.Error.Busy";
inline constexpr char kErrorLimit[] = "DSUtils.Error.Limit";
inline constexpr char kErrorFailed[] = "DSUtils.Error.Failed";

class BusObject : public QObject, protected QDBusContext {
  Q_OBJECT
 public:
  // `owner` is the unique name of the creating connection.
  BusObject(std::unique_ptr<DSUtilObject> object, QString owner, QObject* parent = nullptr);
  ~BusObject() override;
  BusObject(const BusObject&) = delete;
  BusObject& operator=(const BusObject&) = delete;

  const QString& owner() const { return owner_; }
  bool running() const { return running_.load(); }

  // Members as the adaptor calls them: the value returned is the HResult;
  // an in/out argument comes in as the first of its pair and goes out as
  // the second.
  int SignatureFile(const QString& bstrFile);
  int EncriptFile(const QString& bstrFile);
  int UnEncriptFile(const QString& bstrFile);
  int CheckSignature(const QString& bstrFile);
  int put_Operation(const dsutils::OperationParams& params);
  int get_FileName_In(const QString& pVal, QString& pVal_);
  int put_FileName_In(const QString& newVal);
  int put_FileName_Out(const QString& newVal);
  int put_Certificate_In(int newVal);
  int put_Date_In(int newVal);
  int put_Signature_In(int newVal);
  int put_OriginalFile_Del(int newVal);
  int put_Owerwrite(int newVal);
  int put_FileName_Log(const QString& newVal);
  int get_Email_Encript(int pVal, int& pVal_);
  int put_Email_Encript(int newVal);
  int EncriptEmail(const QString& bstrEmail, const QString& bstrSert);
  int AddContextEmail(const QString& pbstrFile, QString& pbstrFile_);
  int get_Email_Signature(int pVal, int& pVal_);
  int put_Email_Signature(int newVal);
  int SignatureEmail();
  int AddContextSgnEmail(const QString& pbstrFile, QString& pbstrFile_);
  int UnEncriptEmail();
  int get_Email_Result(int pVal, int& pVal_);
  int Email_SignatureAndEncript();
  int get_SearchInPAB(int pVal, int& pVal_);
  int get_SearchInGAL(int pVal, int& pVal_);
  int AddResipients(const QString& bstrEmail, const QString& bstrCert);
  int ResetResipients();
  int get_AttachFile(const QString& pVal, QString& pVal_);
  int put_AttachFile(const QString& newVal);
  int ResetAttach();
  int AttachFiles(const QString& pbstrFile, QString& pbstrFile_);
  int get_EnableClient(int pVal, int& pVal_);
  int get_EnableQuestion(int pVal, int& pVal_);
  int put_EnableQuestion(int newVal);
  int SignatureAndEncript(const QString& bstrFile);
  int get_Email_DataResult(int pVal, int& pVal_);
  int get_GetDataFromDll(const QString& bstrParam1, const QString& bstrParam2, const QString& pVal, QString& pVal_);
  int get_Email_Soting(int pVal, int& pVal_);
  int put_Email_Soting(int newVal);
  int get_Email_Auto(int pVal, int& pVal_);
  int put_Email_Auto(int newVal);
  int get_Email_Izvlechenie(int pVal, int& pVal_);
  int put_Email_Izvlechenie(int newVal);
  int CommandLine(const QString& bstrOper, const QString& bstrLine, int lReturn, int& lReturn_);
  int CommanLineEx(const QString& nstrOper, const QString& bstrParam, int plReturn, int& plReturn_);

 signals:
  // The operation's thread has ended (emitted on the object's thread).
  void operationEnded();
  // The operation's thread is about to answer and end.
  void workerDone();

 private:
  // Whether the call may go on; else its error reply is sent.
  bool admit();
  // Starts `body` on the operation thread; its values after the HResult
  // are the reply's further arguments.
  int startOperation(std::function<QVariantList(DSUtilObject&)> body);
  void joinWorker();

  std::unique_ptr<DSUtilObject> object_;
  QString owner_;
  // Cleared by the operation's thread before its reply goes out, so the
  // client's next call after the reply is not refused.
  std::atomic<bool> running_{false};
  std::thread worker_;
};

}  // namespace dsutils::bus
