#include "dsutils/engine/selection.h"

#include "dsutils/engine/engine_helper.h"

namespace dsutils {

void ExpandFolders(const QList<SelectionItem>& selection, QStringList& files) {
  EngineHelper& helper = engine_helper();
  for (const SelectionItem& item : selection) {
    if (item.path.isEmpty()) continue;
    if (item.isFile) {
      files.append(item.path);
      continue;
    }
    QStringList inside;
    if (helper.ListFiles(item.path, &inside)) files.append(inside);
  }
}

}  // namespace dsutils
