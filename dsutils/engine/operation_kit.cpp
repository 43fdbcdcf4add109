#include "dsutils/engine/operation_kit.h"

#include <sys/stat.h>

#include <QFile>

#include "dsutils/engine/ui_console.h"
#include "quillon2/ql_dn.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

// Whoever runs an operation installs its interface; without one the
// operation still runs, its questions answered with their safe answer.
EngineUi& ui_of_thread() {
  if (EngineUi* ui = operation_ui()) return *ui;
  static ConsoleUi* fallback = [] {
    ConsoleUiOptions options;
    options.showProgress = false;
    return new ConsoleUi(options);  // kept for the process
  }();
  return *fallback;
}

QString folder_of(const QString& path) {
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

}  // namespace

int ReadArchiveSigners(CryptoSession& session, const QString& archive, const QStringList& signatures,
                       QList<ArchiveSignerRecord>& out) {
  const QString folder = folder_of(archive);
  for (const QString& name : signatures) {
    const QString file = folder + QLatin1Char('/') + name;
    if (!engine_helper().FileExists(file)) return 0;
    QL_MESSAGE* message = nullptr;
    const int kind = session.ReadMessageFileKind(file, &message);
    const bool one = kind == ql::QL_KIND_SIGNED && session.GetSignerCount(message) == 1;
    if (one) {
      ArchiveSignerRecord record;
      record.file = name;
      record.serial = session.GetSignerSerial(message, 0);
      QL_DN dn{};
      session.GetSignerIssuer(message, 0, &dn);
      record.issuer = ToDistinguishedName(dn);
      ql::QL_DN_clear(&dn);
      record.signingTime = session.GetSignerSigningTime(message, 0);
      out.append(record);
    }
    session.FreeMessage(message);
    if (!one) return 0;
  }
  return 1;
}

int DescribeCertificate(CryptoSession& session, const QByteArray& certificate, QString& text, QString* serial,
                        DistinguishedName* issuer) {
  CertificateInfo info;
  const int code = session.GetCertificateInfo(certificate, info);
  if (code != 0) return code;
  const QString email = info.subject.Email.isEmpty() ? QStringLiteral(" none ") : QString::fromUtf8(info.subject.Email);
  text = QStringLiteral("%1 <%2>, сертификат: %3")
             .arg(QString::fromUtf8(info.subject.CN), email, QString::fromUtf8(info.serial));
  if (serial != nullptr) *serial = QString::fromUtf8(info.serial);
  if (issuer != nullptr) *issuer = info.issuer;
  return 0;
}

OperationKit::OperationKit(OperationJob& job, const QString& title, const QString& code)
    : job_(job),
      code_(code),
      helper_(engine_helper()),
      session_(global_crypto_session()),
      log_(error_text_loader()),
      hold_(session_),
      progress_(ui_of_thread(), title) {}

bool OperationKit::fail(int code) {
  job_.result = code;
  return false;
}

bool OperationKit::askKeyMedium(OwnerRecord& author) {
  if (session_.IsKeyMediumPresent(author.path) == 1) return true;
  const bool shown = progress_.shown();
  if (shown) progress_.stop();
  const KeyMediumAnswer answer = ui_of_thread().askKeyMedium(
      KeyMediumRequest{author.profile, author.path, author.file, author.sczi != 0, author.serNum});
  if (shown) progress_.start();
  if (!answer.accepted) return fail(kOpKeyMediumCancelled);
  if (!answer.mediumPath.isEmpty()) author.path = answer.mediumPath;
  if (!answer.keyFile.isEmpty()) author.file = answer.keyFile;
  author.sczi = answer.keyFormat31 ? 1 : 0;
  return true;
}

int LoadTrustedCertificates(EngineHelper& helper, CryptoSession& session) {
  QByteArray certificate;
  for (std::uint32_t i = 0; helper.EnumCaCertificate(i, certificate); ++i) {
    const int code = session.AddTrustedCertificate(reinterpret_cast<const unsigned char*>(certificate.constData()),
                                                   static_cast<long>(certificate.size()));
    if (code != 0) return code;
  }
  return 0;
}

int LoadOwnerKey(CryptoSession& session, const OwnerRecord& key, std::string_view password) {
  if (key.sczi == 0) return session.LoadKeyFile(key.file, password);
  // The second argument is a key folder: the medium's own.
  if (key.file.isEmpty()) return session.LoadKeysFromMedium(key.path, QString());
  return session.LoadKeyFromMedium(key.path, key.file);
}

int OperationKit::loadAuthorKey(const OwnerRecord& author) {
  // The session runs with the author's container whatever the key's form:
  // the container also seeds the toolkit's generator.
  hold_.OpenWithPath(author.path);
  return LoadOwnerKey(session_, author);
}

int OperationKit::loadTrustedCertificates() { return LoadTrustedCertificates(helper_, session_); }

int OperationKit::loadCrlFolder() {
  const QString folder = helper_.GetCrlSettings();
  return folder.isEmpty() ? 0 : session_.LoadCrlFolder(folder);
}

bool OperationKit::regularFile(const QString& path, std::int64_t& size) {
  struct stat st {};
  if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = st.st_size;
  return true;
}

void OperationKit::sortFailed(const QString& source, const QString& work) {
  QString failed = work;
  helper_.GroupSortFile(source, failed, code_, true, &progress_);
  helper_.GroupSortFileEx(source, work, work, code_, &progress_);
  helper_.RemoveTmp(source, work, false);
}

bool OperationKit::placeResult(const QString& source, const QString& work, QString& result) {
  if (helper_.GroupSortFile(source, result, code_, false, &progress_) == 0) return false;
  return finish(source, work, result);
}

bool OperationKit::finish(const QString& source, const QString& work, const QString& result) {
  // The source's kept copy goes back before the folder is removed; when
  // that copy failed, the working copy (the same bytes) is tried, and the
  // folder stays when neither reached the source's place.
  const bool sourcePlaced = helper_.GroupSortFileEx(source, work, result, code_, &progress_) != 0;
  helper_.RemoveTmp(source, work, !sourcePlaced && source != result);
  return true;
}

QString InFolderOf(const QString& anchor, const QString& name) {
  QString target = GetPathFromName(anchor) + QLatin1Char('/') + GetFileFromName(name);
  NetStr(target);
  return target;
}

}  // namespace dsutils
