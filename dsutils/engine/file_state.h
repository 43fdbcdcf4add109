// ShowFileState: whether one file is signed, encrypted, both or neither, in
// the file-information dialog. A query: the file is only read.
#pragma once

#include <QString>

namespace dsutils {

// 0 after the dialog was shown; -1 when the file's kind cannot be read (no
// dialog; the toolkit's code stays the session's last result).
int ShowFileState(const QString& file);

}  // namespace dsutils
