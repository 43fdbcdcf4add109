// The mail operations: MailSignEncrypt protects the attachments of an
// outgoing message, MailUnpack opens those of a received one and writes the
// protocol file the mail client shows. Each is a thread routine over a
// MailJob whose starter waits on the job's `done`; the routine writes every
// result of the job first and releases `done` exactly once on every path
// (MailJobDone), exceptions included. Both hold the operation lock for the
// run and work on the global toolkit session.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <functional>

#include "dsutils/engine/records.h"

namespace dsutils {

// Signs, encrypts, or both, each attachment beside itself (name.sgn,
// name.sga, name.enc, name.sgn.enc, name.sga.enc) and stops at the first
// attachment that fails, which is put back with its error text. 1 at the
// normal end or when neither signing nor encryption was asked, 0 otherwise;
// the starter reads job->success.
int MailSignEncrypt(MailJob* job);

// Decrypts the attachments encrypted for the executor (the key loaded once,
// when the first of them comes up), verifies the signed ones, extracts the
// document when job->extract is set and sorts into the mail folders when
// job->sorting is set; every attachment is reported in its record and in
// the protocol file, whose path goes into job->resultText. 1 at the normal
// end, 0 otherwise.
int MailUnpack(MailJob* job);

// Releases the job's `done` once: on release() or at the end of its scope,
// whichever comes first. Declared before anything that writes the job's
// results, so that those are written before the starter wakes.
class MailJobDone {
 public:
  explicit MailJobDone(MailJob& job) : job_(job) {}
  ~MailJobDone() { release(); }
  MailJobDone(const MailJobDone&) = delete;
  MailJobDone& operator=(const MailJobDone&) = delete;
  void release();

 private:
  MailJob& job_;
  bool released_ = false;
};

// How one attachment of a received message ended when it failed (and the
// verified and unpacked ends, which are not rows here).
enum class MailOutcome {
  kNotForExecutor,
  kDecryptionError,
  kUnsupported,
  kUnprotected,
  kArchiveCheck,
  kCheckError,
  kNotSigned,
  kUnconfirmed,
  kArchiveExtraction,
  kExtractionError,
  kCannotCreate,
};

// One row of the outcome table. In the texts %1 is the file (the
// attachment's file part, or the working file's full path when
// `fullWorkPath`), %2 the detail (a toolkit or checker error text), %3 the
// short text and %4 the verification protocol. An empty short text means
// the detail itself; an empty log text, nothing logged.
struct MailOutcomeRow {
  MailOutcome outcome;
  const char* sortCode;  // "" : not sorted
  const char* shortText;
  const char* logText;
  const char* protocolText;
  bool fullWorkPath = false;
  bool box = false;             // also shown as an information box
  bool closesProgress = false;  // the progress display stays closed for the rest of the run
  bool restores = false;        // the attachment is restored from its kept copy, not copied from the work file
};
const std::array<MailOutcomeRow, 11>& mail_outcome_table();
const MailOutcomeRow& mail_outcome(MailOutcome outcome);

// The protocol's name in the temporary root (made unique there). A message
// that already carries "dsm_protocol.txt" (in any case) gets none. Protocol
// files older than 24 hours are removed by ClearTmpRoot and at every
// MailUnpack start (EngineHelper::RemoveOldMailProtocols).
inline constexpr const char* kMailProtocolName = "DSM_Protocol.txt";

// The clock of the protocol's header and of the clean-up at the start of a
// run (null: the system clock). Tests set a fixed one.
void SetMailClock(std::function<QDateTime()> clock);

// One PEM certificate (ASCII, one block, only blanks around it) as DER;
// empty for any other text.
QByteArray PemCertificateToDer(const QString& text);

// Shared by the two operations: the calling thread's interface (a console
// answering safely when none is installed), and the test hook's call.
class EngineUi;
EngineUi& mail_ui();
void mail_attachment_taken(int index);
// The text both operations give when the working folder fails them.
inline const QString kTmpFolderText = QStringLiteral("Ошибка при работе с временной папкой!");

#ifdef QCRYPTO_TEST_HOOKS
// How many times MailJobDone released a job since the process started.
int mail_done_releases();
// Called as each attachment is taken up (0-based index); a test makes it
// throw to check that the job is still released.
void set_mail_attachment_hook(std::function<void(int index)> hook);
#endif

}  // namespace dsutils
