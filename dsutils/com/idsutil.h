// The DSUtil object as the main program and other clients see it. The one
// header of libDSUtils.so meant for its users: load the library by name,
// take DSUtilCreate, call the members, hand the object to DSUtilRelease.
//
// Members keep their published names (typos included: clients call them by
// these names). Every member answers HResult::Ok or HResult::False. An
// out-argument is written only where the member says so, so a caller that
// presets it sees whether it was written.
//
// One operation per object at a time: while a member's operation runs, any
// further member of the same object (from any thread, or from the waiting
// caller's own event loop) answers HResult::False and writes nothing.
#pragma once

#include <QString>
#include <cstdint>

#include "dsutils/engine/records.h"

class QWidget;

namespace dsutils {

enum class HResult : std::int32_t { Ok = 0, False = 1 };

class IDSUtil {
 public:
  // One file, with the operation's dialogs (or, after put_Operation, once
  // without them, with the block's parameters).
  virtual HResult SignatureFile(const QString& bstrFile) = 0;
  virtual HResult EncriptFile(const QString& bstrFile) = 0;
  virtual HResult UnEncriptFile(const QString& bstrFile) = 0;
  // Always interactive; leaves a pending put_Operation block for the next member.
  virtual HResult CheckSignature(const QString& bstrFile) = 0;
  // The parameters of the next single-file member (copied).
  virtual HResult put_Operation(const OperationParams& params) = 0;
  virtual HResult get_FileName_In(QString* pVal) = 0;
  virtual HResult put_FileName_In(const QString& newVal) = 0;
  virtual HResult put_FileName_Out(const QString& newVal) = 0;
  virtual HResult put_Certificate_In(std::int32_t newVal) = 0;
  virtual HResult put_Date_In(std::int32_t newVal) = 0;
  virtual HResult put_Signature_In(std::int32_t newVal) = 0;
  virtual HResult put_OriginalFile_Del(std::int32_t newVal) = 0;
  virtual HResult put_Owerwrite(std::int32_t newVal) = 0;
  virtual HResult put_FileName_Log(const QString& newVal) = 0;

  // Mail members.
  virtual HResult get_Email_Encript(std::int32_t* pVal) = 0;
  virtual HResult put_Email_Encript(std::int32_t newVal) = 0;
  virtual HResult EncriptEmail(const QString& bstrEmail, const QString& bstrSert) = 0;
  virtual HResult AddContextEmail(QString* pbstrFile) = 0;
  virtual HResult get_Email_Signature(std::int32_t* pVal) = 0;
  virtual HResult put_Email_Signature(std::int32_t newVal) = 0;
  virtual HResult SignatureEmail() = 0;
  virtual HResult AddContextSgnEmail(QString* pbstrFile) = 0;
  virtual HResult UnEncriptEmail() = 0;
  virtual HResult get_Email_Result(std::int32_t* pVal) = 0;
  virtual HResult Email_SignatureAndEncript() = 0;
  virtual HResult get_SearchInPAB(std::int32_t* pVal) = 0;
  virtual HResult get_SearchInGAL(std::int32_t* pVal) = 0;
  virtual HResult AddResipients(const QString& bstrEmail, const QString& bstrCert) = 0;
  virtual HResult ResetResipients() = 0;
  virtual HResult get_AttachFile(QString* pVal) = 0;
  virtual HResult put_AttachFile(const QString& newVal) = 0;
  virtual HResult ResetAttach() = 0;
  virtual HResult AttachFiles(QString* pbstrFile) = 0;
  virtual HResult get_EnableClient(std::int32_t* pVal) = 0;
  virtual HResult get_EnableQuestion(std::int32_t* pVal) = 0;
  virtual HResult put_EnableQuestion(std::int32_t newVal) = 0;

  virtual HResult SignatureAndEncript(const QString& bstrFile) = 0;

  virtual HResult get_Email_DataResult(std::int32_t* pVal) = 0;
  virtual HResult get_GetDataFromDll(const QString& bstrParam1, const QString& bstrParam2, QString* pVal) = 0;
  virtual HResult get_Email_Soting(std::int32_t* pVal) = 0;
  virtual HResult put_Email_Soting(std::int32_t newVal) = 0;
  virtual HResult get_Email_Auto(std::int32_t* pVal) = 0;
  virtual HResult put_Email_Auto(std::int32_t newVal) = 0;
  virtual HResult get_Email_Izvlechenie(std::int32_t* pVal) = 0;
  virtual HResult put_Email_Izvlechenie(std::int32_t newVal) = 0;

  // Command lines: the operation key ("-s", "-e", "-a", "-u", "-v") and its
  // arguments "--in=<path>" and "--out=<path>". The code written to the
  // out-argument: 10000 no input, 10005 no memory, 10007 an unknown key,
  // else the operation's result.
  virtual HResult CommandLine(const QString& bstrOper, const QString& bstrLine, std::int32_t* lReturn) = 0;
  virtual HResult CommanLineEx(const QString& nstrOper, const QString& bstrParam, std::int32_t* plReturn) = 0;

 protected:
  // Released with DSUtilRelease only.
  virtual ~IDSUtil() = default;
};

}  // namespace dsutils

extern "C" {
// A new object, or null when the library cannot start.
__attribute__((visibility("default"))) dsutils::IDSUtil* DSUtilCreate();
__attribute__((visibility("default"))) void DSUtilRelease(dsutils::IDSUtil* object);
// The window that starts the operations: disabled while a progress window is up.
__attribute__((visibility("default"))) void DSUtilSetMainWindow(QWidget* window);
// The file managers' menus, scripts and actions, the MIME types, the
// opening entry and the session bus's entry of DSUtils.DSUtil under
// $XDG_DATA_HOME, naming the host program and dsutils-service installed
// beside the library (its folder, ../bin or ../libexec/dossar); 0 when every
// file was written, else 1 with the failing file on stderr. Unregister
// removes only these files; both may run any number of times.
__attribute__((visibility("default"))) int DSUtilsRegister();
__attribute__((visibility("default"))) int DSUtilsUnregister();
// The host program's work (dsutils-shell's arguments without its own name):
// its exit status. Needs a QApplication for anything but registration.
__attribute__((visibility("default"))) int DSUtilsShellRun(int argc, const char* const* argv);
}
