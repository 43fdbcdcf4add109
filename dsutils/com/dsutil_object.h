// The DSUtil object over a table of file operations: the engine's in the
// library, fakes in tests.
#pragma once

#include <functional>
#include <memory>

#include "dsutils/com/idsutil.h"
#include "dsutils/engine/ui.h"

namespace dsutils {

// Each operation works on the job it is given and never frees it: the
// starter owns the job. True when the operation succeeded.
struct OperationTable {
  using Operation = std::function<bool(OperationJob&)>;
  Operation signGroup;
  Operation encryptGroup;
  Operation signEncryptGroup;
  Operation unpackGroup;
  Operation unpackFile;
};

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

 private:
  HResult singleFile(const OperationTable::Operation& op, const QString& file, bool takesBlock, bool unpack);

  OperationTable ops_;
  std::unique_ptr<EngineUi> ownUi_;
  EngineUi* ui_;
  OperationParams pending_;
  bool pendingSet_ = false;
  QString fileIn_, fileOut_, fileLog_;
  std::int32_t overwrite_ = 0, deleteSource_ = 0, signature_ = 0, date_ = 0, certificate_ = 0;
};

}  // namespace dsutils
