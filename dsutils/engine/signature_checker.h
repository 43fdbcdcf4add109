// SignatureChecker: verifies every signature of one signed file (a message
// holding its document, or the detached signatures of a .sga document), finds
// each signer's certificate (local directory, then LDAP), offers to import a
// certificate that did not come from the local directory, and turns one
// SignatureRecord per signature into the verification protocol text.
//
// It works on the global toolkit session and the global engine helper; offers
// go through EngineHelper::ShowMessage, so they reach the operation's UI.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/signature_record.h"

namespace dsutils {

// A signed message that was signed again is walked layer by layer; more
// layers than this are refused (the walk fails), so hostile nesting cannot
// exhaust the stack.
inline constexpr int kMaxSignatureLayers = 32;

// The issuer of a record as the protocols print it: "/C=", "/SP=", "/L=",
// "/O=", "/OU=", "/CN=" for the fields present (title and e-mail never).
QString SignatureIssuerText(const DistinguishedName& issuer);

enum class ExtractResult { kWritten, kFailed, kWriteFailed };

class SignatureChecker {
 public:
  SignatureChecker() = default;
  SignatureChecker(const SignatureChecker&) = delete;
  SignatureChecker& operator=(const SignatureChecker&) = delete;

  // Maps the file read-only and verifies it. False when it cannot be opened,
  // is empty, or the walk fails.
  bool CheckFile(const QString& path, bool quiet);
  // The in-memory walk over a signed message, outer signatures first.
  bool VerifySignatures(const unsigned char* buffer, long length, bool quiet);
  // The detached walk over signatureFiles() against the document.
  bool VerifySignaturesEx(const QString& documentPath, bool quiet);
  // Appends one block per record; true when every record has result code 0
  // (also for an empty list: callers test records().empty() first).
  bool BuildProtocol(const QString& path, QString& text) const;
  static QString FormatSignature(const QString& filePart, const SignatureRecord& record, int number, bool spaced);
  // The innermost signed content of the file, as a toolkit buffer (freed by
  // the caller with CryptoSession::FreeBuffer). On failure `error` holds the text.
  bool ExtractDocument(const QString& path, unsigned char** buffer, long* length, QString& error);
  // The same content written atomically to `target` from where it lies in the
  // mapped file, never copied beside it: kFailed with `error` when it cannot
  // be read, kWriteFailed when the target cannot be written. `synced` false
  // is for a target in a working folder, which the caller copies out (that
  // copy is synced) and erases with the folder: it is written in place,
  // without waiting for the disk.
  ExtractResult ExtractDocumentTo(const QString& path, const QString& target, QString& error, bool synced = true);

  const QString& fileName() const { return fileName_; }
  void setFileName(const QString& name) { fileName_ = name; }
  const std::vector<std::unique_ptr<SignatureRecord>>& records() const { return records_; }
  QStringList& signatureFiles() { return signatureFiles_; }
  // The progress handed to the toolkit's verification (its cancel stops it).
  void setProgress(OperationProgress* progress) { progress_ = progress; }

 private:
  bool walk(const unsigned char* buffer, long length, bool quiet, int layer);
  void findSignerCertificate(const QL_MESSAGE* message, int index, SignatureRecord& record, int& source);
  std::vector<SignatureRecord> lookupSigners(const QL_MESSAGE* message, int count);
  void addSignerRecords(QL_SIGN_SET* set, const std::vector<SignatureRecord>& templates, int code, bool quiet);
  void offerImport(const SignatureRecord& record, bool ldap);

  QString fileName_;
  std::vector<std::unique_ptr<SignatureRecord>> records_;
  QStringList signatureFiles_;
  OperationProgress* progress_ = nullptr;
};

// Whether the executor is one of the recipients of the enveloped message in
// `path` (serial and issuer equal). A toolkit error is shown and gives false.
bool IsEncryptedForOwner(const QString& path, OperationProgress* progress = nullptr);
// The same with the executor's certificate (DER) already at hand, so a run
// over many files reads the directory once.
bool IsEncryptedForOwner(const QString& path, const QByteArray& ownerCertificate,
                         OperationProgress* progress = nullptr);
// The same with the executor's certificate already decoded, for a run that
// asks it of every file.
bool IsEncryptedForOwner(const QString& path, const CertificateInfo& owner, OperationProgress* progress = nullptr);

}  // namespace dsutils
