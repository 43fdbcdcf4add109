// UnpackFile: one protected file back to its document. It decrypts an
// enveloped message (each layer with the decrypt dialog), verifies a signed
// .sgn or a .sga archive, extracts the document, sorts every file and
// reports in the log and in boxes. Always interactive (dialogs through the
// calling thread's EngineUi).
#pragma once

#include <QString>
#include <cstdint>

#include "dsutils/engine/records.h"

namespace dsutils {

// The toolkit verifies in memory and refuses a message above this (159).
inline constexpr std::int64_t kMaxVerifiableBytes = 0x7FFFFFFF;

// 1 when the run reached the end of extraction (also after a refused
// replacement), the decrypted-only end or the end after verification without
// extraction; 0 otherwise. The job's result: 0; 184 cancelled; 10001 key
// medium cancelled; 10003 working folder; 10008 verification failed or the
// file is not protected; else the toolkit's code.
int UnpackFile(OperationJob* job);

// What the unpack operations do next with the current file, from its kind
// (GetFileType: 1 signed, 2 enveloped, 3 both, 0 other, below 0 unreadable),
// what was done to it so far and whether its extension is "sga". One
// decision for the one-file and the group operation.
enum class UnpackStep {
  kKindUnreadable,  // the kind query failed
  kUnsupported,     // signed and enveloped in one structure
  kDecrypt,
  kVerify,
  kUnprotected,    // neither decrypted nor verified, and nothing to do
  kDecryptedOnly,  // decrypted, and the result is not signed
  kExtract,        // verified: the document comes out
};
UnpackStep DecideUnpackStep(int kind, bool decrypted, bool verified, bool sga);

// UnpackGroup: every file of the job decrypted (with the executor's key,
// loaded once), verified and, with UnPackDoc, extracted, without per-file
// dialogs; the outcome is counted and summed up. 1 when the summary was
// reached, 0 otherwise. The job's result: 0; 10000 no files; 10003 working
// folder; 10008 a decryption or verification error; 184 cancelled; 288 no
// executor; else the toolkit's code of a CA-certificate or key load.
int UnpackGroup(OperationJob* job);

// The group's summary: form 'C' when the run finished, 'A' when a cancel
// was noticed between steps, 'B' when a decryption was cancelled. Form B
// leaves the extraction count out.
QString UnpackGroupSummary(char form, std::int32_t total, std::int32_t encrypted, std::int32_t signedFiles,
                           std::int32_t unprotected, std::int32_t decrypted, std::int32_t verified,
                           std::int32_t extracted, std::int32_t decryptErrors, std::int32_t verifyErrors);

// The checker alone over one signed file (.sgn, or a .sga read through a
// private working copy), asking nothing and writing nothing beside the
// working folder: 0 when every signature is confirmed, 10008 when one is
// not or none is found, else the toolkit's code. `protocol` gets the text.
int VerifyFile(const QString& path, QString& protocol);

}  // namespace dsutils
