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

// The checker alone over one signed file (.sgn, or a .sga read through a
// private working copy), asking nothing and writing nothing beside the
// working folder: 0 when every signature is confirmed, 10008 when one is
// not or none is found, else the toolkit's code. `protocol` gets the text.
int VerifyFile(const QString& path, QString& protocol);

}  // namespace dsutils
