// What every file operation of the engine does the same way: the executor
// check, the author's key medium and key, the trusted CA certificates and the
// revocation lists, the description of a certificate, and the placing of a
// processed file (its result sorted, its source put back, its working folder
// removed) or of a failed one.
//
// The starter owns each OperationJob and frees it once; an operation only
// reads it and writes its result code. The result starts at kOpOk and every
// failure writes a code other than 0 (docs/ARCHITECTURE.md lists them).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string_view>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"

namespace dsutils {

// Owners of the toolkit's signature sets and recipient lists, freed through
// the session that made them.
struct SignSetFree {
  CryptoSession* session;
  void operator()(QL_SIGN_SET* set) const { session->FreeSignatureSet(set); }
};
struct RecipientListFree {
  CryptoSession* session;
  void operator()(QL_CERT_LIST* list) const { session->FreeRecipientList(list); }
};

// `name`'s file part in the folder of `anchor`, in the stored form (NetStr).
QString InFolderOf(const QString& anchor, const QString& name);

// The toolkit verifies a signed file in memory and refuses more than INT_MAX
// bytes (159), so a file that large is never signed: its signature could
// never be checked.
inline constexpr std::int64_t kMaxSignableBytes = 0x7FFFFFFF;

// One signature file of a .sga archive.
struct ArchiveSignerRecord {
  QString serial;  // the signer's certificate serial, as the toolkit prints it
  DistinguishedName issuer;
  QString file;  // the signature file's name in the archive
  QString signingTime;
};

// Reads each named signature file of the folder of `archive`: 1 when every
// one is a signed message with exactly one signer, 0 otherwise (`out` then
// holds what was read before).
int ReadArchiveSigners(CryptoSession& session, const QString& archive, const QStringList& signatures,
                       QList<ArchiveSignerRecord>& out);

// "%s <%s>, сертификат: %s": subject name, e-mail (" none " without one) and
// serial of a certificate. The toolkit code of the decode, 0 on success.
int DescribeCertificate(CryptoSession& session, const QByteArray& certificate, QString& text, QString* serial = nullptr,
                        DistinguishedName* issuer = nullptr);

// Every CA certificate of the directory into `session` as trusted: the
// toolkit code of the first refusal, 0 when all were taken.
int LoadTrustedCertificates(EngineHelper& helper, CryptoSession& session);

// The private key `key` names into `session`, by its key-format word: a key
// file (0, read with `password`, empty for the key's own prompt), the
// medium's named key file, or every key of the medium. The session's
// container is the caller's to choose beforehand. The toolkit code.
int LoadOwnerKey(CryptoSession& session, const OwnerRecord& key, std::string_view password = {});

// One operation's run: holds the session (and with it the operation lock)
// and its progress display, and does the steps the operations share.
class OperationKit {
 public:
  // `code` is the operation's code for logging and sorting ("SGN", "ENC").
  OperationKit(OperationJob& job, const QString& title, const QString& code);
  OperationKit(const OperationKit&) = delete;
  OperationKit& operator=(const OperationKit&) = delete;

  EngineHelper& helper() { return helper_; }
  CryptoSession& session() { return session_; }
  ErrorTextLoader& log() { return log_; }
  SessionHold& hold() { return hold_; }
  OperationProgress& progress() { return progress_; }
  OperationJob& job() { return job_; }
  bool interactive() const { return !job_.automatic; }

  // Writes `code` as the job's result and answers false, so a step can end
  // the run with `return kit.fail(code)`.
  bool fail(int code);

  int box(const QString& text, unsigned flags) { return helper_.ShowMessage(text, flags, &progress_); }
  void showError(int code) { log_.ShowError(code, &progress_); }

  // The key-medium dialog when the author's medium is not there: false
  // (result 10001) when it was cancelled. An answer may name another medium.
  bool askKeyMedium(OwnerRecord& author);
  // The author's private key into the session, after reopening it with the
  // author's medium as its container: by the key-format word a key file
  // (0), the medium's named key file, or every key of the medium. The
  // toolkit code.
  int loadAuthorKey(const OwnerRecord& author);
  // Every CA certificate of the directory as trusted: the toolkit code.
  int loadTrustedCertificates();
  // The directory's revocation-list folder, when one is set: the toolkit code.
  int loadCrlFolder();

  // A file the operation may take up: a regular file (or a link to one).
  // False, with `size` unset, for anything else or a missing file.
  static bool regularFile(const QString& path, std::int64_t& size);

  // After a failure: the working copy goes where failed files go, the source
  // back, the working folder away.
  void sortFailed(const QString& source, const QString& work);
  // After success: the result is sorted (it may move; `result` follows), the
  // source goes where processed sources go, the working folder away. False
  // when the result could not be placed: the caller then takes the failure
  // path, as the working folder still holds the result.
  bool placeResult(const QString& source, const QString& work, QString& result);
  // Only the source's place: after the result was placed by other means.
  bool finish(const QString& source, const QString& work, const QString& result);

 private:
  // First, so it outlives every entry the run logs: the log settings are
  // read once per run, not once per line.
  LogSettingsScope logSettings_;
  OperationJob& job_;
  QString code_;
  EngineHelper& helper_;
  CryptoSession& session_;
  ErrorTextLoader& log_;
  SessionHold hold_;
  OperationProgress progress_;
};

// The engine's operations. Each answers 1 when the whole job ran to its end,
// 0 otherwise; the result code is in the job. A null job answers 0.
int SignGroup(OperationJob* job);
int AddSignature(OperationJob* job);
int EncryptGroup(OperationJob* job);
// Signs each file and encrypts the signed result. Results besides 0: 10000
// no files, 117 no recipients, 184 a cancelled question, sheet, key medium
// or encryption, 10002 no signature set or an author without a
// certificate, 10003 working folder, 10004 archive, 10005 no recipient
// list, 10006 no author, else the toolkit's code.
int SignEncryptGroup(OperationJob* job);

}  // namespace dsutils
