// The Explorer selection turned into an operation's file list.
#pragma once

#include <QList>
#include <QStringList>

#include "dsutils/engine/records.h"

namespace dsutils {

// Appends each selected file as it is and, for each selected folder, the
// files directly inside it (EngineHelper::ListFiles: regular files and links
// to them, by name; subfolders, FIFOs, devices, sockets and dangling links
// are left out). Items with an empty path are skipped.
void ExpandFolders(const QList<SelectionItem>& selection, QStringList& files);

}  // namespace dsutils
