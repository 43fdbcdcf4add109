#include "dsutils/com/dbus/bus_object.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariant>
#include <system_error>

namespace dsutils::bus {

namespace {

int code(HResult hr) { return static_cast<int>(hr); }

// A client's working folder is not ours: a relative path would be taken
// from the service's.
bool relative_path_in(const QString& line) {
  for (const char* key : {"--in=", "--out="}) {
    const std::optional<QString> arg = CommandLineArgument(line + QLatin1Char(' '), QLatin1String(key));
    if (arg && !arg->isEmpty() && !arg->startsWith(QLatin1Char('/'))) return true;
  }
  return false;
}

}  // namespace

BusObject::BusObject(std::unique_ptr<DSUtilObject> object, QString owner, QObject* parent)
    : QObject(parent), object_(std::move(object)), owner_(std::move(owner)) {
  // Emitted on the operation's thread, taken on ours.
  connect(
      this, &BusObject::workerDone, this,
      [this] {
        joinWorker();
        emit operationEnded();
      },
      Qt::QueuedConnection);
}

BusObject::~BusObject() { joinWorker(); }

void BusObject::joinWorker() {
  if (worker_.joinable()) worker_.join();
}

bool BusObject::admit() {
  if (!calledFromDBus()) return true;
  if (message().service() != owner_) {
    sendErrorReply(QLatin1String(kErrorAccessDenied), QStringLiteral("the object belongs to another connection"));
    return false;
  }
  if (running_ || object_->busy()) {
    sendErrorReply(QLatin1String(kErrorBusy), QStringLiteral("an operation of this object is under way"));
    return false;
  }
  return true;
}

int BusObject::startOperation(std::function<QVariantList(DSUtilObject&)> body) {
  if (!admit()) return 0;
  setDelayedReply(true);
  const QDBusMessage call = message();
  QDBusConnection bus = connection();
  joinWorker();
  running_ = true;
  try {
    worker_ = std::thread([this, call, bus, body = std::move(body)]() mutable {
      const QVariantList answer = body(*object_);
      running_ = false;
      emit workerDone();
      bus.send(call.createReply(answer));
    });
  } catch (const std::system_error&) {
    running_ = false;
    bus.send(call.createErrorReply(QLatin1String(kErrorFailed), QStringLiteral("no thread for the operation")));
  }
  return 0;
}

#define DSUTIL_ADMIT() \
  if (!admit()) return 0

#define DSUTIL_SETTER(Member, Type)       \
  int BusObject::Member(Type newVal) {    \
    DSUTIL_ADMIT();                       \
    return code(object_->Member(newVal)); \
  }

#define DSUTIL_INT_GETTER(Member)               \
  int BusObject::Member(int pVal, int& pVal_) { \
    DSUTIL_ADMIT();                             \
    std::int32_t v = pVal;                      \
    const HResult hr = object_->Member(&v);     \
    pVal_ = v;                                  \
    return code(hr);                            \
  }

#define DSUTIL_TEXT_INOUT(Member)                              \
  int BusObject::Member(const QString& pVal, QString& pVal_) { \
    DSUTIL_ADMIT();                                            \
    QString v = pVal;                                          \
    const HResult hr = object_->Member(&v);                    \
    pVal_ = v;                                                 \
    return code(hr);                                           \
  }

#define DSUTIL_FILE_OPERATION(Member)                                                                      \
  int BusObject::Member(const QString& bstrFile) {                                                         \
    return startOperation([bstrFile](DSUtilObject& o) { return QVariantList{code(o.Member(bstrFile))}; }); \
  }

#define DSUTIL_PLAIN(Member)        \
  int BusObject::Member() {         \
    DSUTIL_ADMIT();                 \
    return code(object_->Member()); \
  }

DSUTIL_FILE_OPERATION(SignatureFile)
DSUTIL_FILE_OPERATION(EncriptFile)
DSUTIL_FILE_OPERATION(UnEncriptFile)
DSUTIL_FILE_OPERATION(CheckSignature)
DSUTIL_FILE_OPERATION(SignatureAndEncript)

int BusObject::put_Operation(const OperationParams& params) {
  DSUTIL_ADMIT();
  return code(object_->put_Operation(params));
}

DSUTIL_TEXT_INOUT(get_FileName_In)
DSUTIL_SETTER(put_FileName_In, const QString&)
DSUTIL_SETTER(put_FileName_Out, const QString&)
DSUTIL_SETTER(put_Certificate_In, int)
DSUTIL_SETTER(put_Date_In, int)
DSUTIL_SETTER(put_Signature_In, int)
DSUTIL_SETTER(put_OriginalFile_Del, int)
DSUTIL_SETTER(put_Owerwrite, int)
DSUTIL_SETTER(put_FileName_Log, const QString&)
DSUTIL_INT_GETTER(get_Email_Encript)
DSUTIL_SETTER(put_Email_Encript, int)

int BusObject::EncriptEmail(const QString& bstrEmail, const QString& bstrSert) {
  DSUTIL_ADMIT();
  return code(object_->EncriptEmail(bstrEmail, bstrSert));
}

DSUTIL_TEXT_INOUT(AddContextEmail)
DSUTIL_INT_GETTER(get_Email_Signature)
DSUTIL_SETTER(put_Email_Signature, int)
DSUTIL_PLAIN(SignatureEmail)
DSUTIL_TEXT_INOUT(AddContextSgnEmail)

int BusObject::UnEncriptEmail() {
  return startOperation([](DSUtilObject& o) { return QVariantList{code(o.UnEncriptEmail())}; });
}

DSUTIL_INT_GETTER(get_Email_Result)

int BusObject::Email_SignatureAndEncript() {
  return startOperation([](DSUtilObject& o) { return QVariantList{code(o.Email_SignatureAndEncript())}; });
}

DSUTIL_INT_GETTER(get_SearchInPAB)
DSUTIL_INT_GETTER(get_SearchInGAL)

int BusObject::AddResipients(const QString& bstrEmail, const QString& bstrCert) {
  DSUTIL_ADMIT();
  return code(object_->AddResipients(bstrEmail, bstrCert));
}

DSUTIL_PLAIN(ResetResipients)
DSUTIL_TEXT_INOUT(get_AttachFile)
DSUTIL_SETTER(put_AttachFile, const QString&)
DSUTIL_PLAIN(ResetAttach)
DSUTIL_TEXT_INOUT(AttachFiles)
DSUTIL_INT_GETTER(get_EnableClient)
DSUTIL_INT_GETTER(get_EnableQuestion)
DSUTIL_SETTER(put_EnableQuestion, int)
DSUTIL_INT_GETTER(get_Email_DataResult)

int BusObject::get_GetDataFromDll(const QString& bstrParam1, const QString& bstrParam2, const QString& pVal,
                                  QString& pVal_) {
  DSUTIL_ADMIT();
  QString v = pVal;
  const HResult hr = object_->get_GetDataFromDll(bstrParam1, bstrParam2, &v);
  pVal_ = v;
  return code(hr);
}

DSUTIL_INT_GETTER(get_Email_Soting)
DSUTIL_SETTER(put_Email_Soting, int)
DSUTIL_INT_GETTER(get_Email_Auto)
DSUTIL_SETTER(put_Email_Auto, int)
DSUTIL_INT_GETTER(get_Email_Izvlechenie)
DSUTIL_SETTER(put_Email_Izvlechenie, int)

int BusObject::CommandLine(const QString& bstrOper, const QString& bstrLine, int lReturn, int& lReturn_) {
  if (relative_path_in(bstrLine)) {
    DSUTIL_ADMIT();
    lReturn_ = kOpNoFiles;
    return code(HResult::False);
  }
  return startOperation([bstrOper, bstrLine, lReturn](DSUtilObject& o) {
    std::int32_t v = lReturn;
    const HResult hr = o.CommandLine(bstrOper, bstrLine, &v);
    return QVariantList{code(hr), v};
  });
}

int BusObject::CommanLineEx(const QString& nstrOper, const QString& bstrParam, int plReturn, int& plReturn_) {
  if (relative_path_in(bstrParam)) {
    DSUTIL_ADMIT();
    plReturn_ = kOpNoFiles;
    return code(HResult::False);
  }
  return startOperation([nstrOper, bstrParam, plReturn](DSUtilObject& o) {
    std::int32_t v = plReturn;
    const HResult hr = o.CommanLineEx(nstrOper, bstrParam, &v);
    return QVariantList{code(hr), v};
  });
}

}  // namespace dsutils::bus
