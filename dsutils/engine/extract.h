// Taking documents and signatures out of signed files, without verifying
// them: a .sga archive's document and signature files beside it, and the
// document of every signed file of a job. Every box and question goes
// through operation_ui(), in every run: a starter that wants no question
// answered by a person installs an interface that answers them (ConsoleUi).
#pragma once

#include <QString>

#include "dsutils/engine/records.h"

namespace dsutils {

// The document and every signature file of the .sga archive `archive`
// beside it (or in the "DOC" result folder). 1 when the document was
// written or a save dialog was cancelled (the archive then stays as it
// was); 0 for a file that is not a .sga (silently), a working folder or
// archive that failed, or a file that could not be written. The archive
// is never lost: it is sorted by the "DOC"/"CHEK" rules or put back.
int ExtractArchive(const QString& archive);

// The document of every signed file of the job (.sgn messages and .sga
// archives). With one file the run is single: an existing document is
// replaced only when the person agrees (else the save dialog names
// another), and any failure ends the run with a box. With more files
// the person is asked once, nothing is asked per file, the documents are
// placed by the "DOC" sorting rules and failures are counted. Cancel is
// tested before each file. 1 after the closing summary (also when the
// group question was declined), 0 after a cancel or an early end. The
// job's result: 0; 10000 no files; 184 cancelled (progress Cancel, the
// group question or a save dialog); 10003 a working folder, or a
// document that could not be written in single mode; 10008 a file whose
// document could not be taken out.
int ExtractGroup(OperationJob* job);

}  // namespace dsutils
