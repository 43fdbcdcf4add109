// The author choice of the sign dialog and of the operation sheet's sign
// page: every personal entry of the local certificate directory, shown by
// its alias (Profile) in a sorted list, with the executor preselected.
#pragma once

#include <QString>
#include <vector>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/records.h"

class QComboBox;

namespace dsutils::widgets {

// Entry names longer than this are not read (the directory's limit).
inline constexpr qsizetype kMaxOwnerEntryName = 255;

// Reads the entries (EngineHelper::EnumOwnerEntry, in the store's order)
// into `authors`, dropping those whose record cannot be read, and fills
// `combo` with their Profile texts in sorted order; each item's data is the
// index of its record in `authors`. The item of the executor's entry (its
// name compared exactly) is selected. Returns that item's index, -1 when
// the executor is not among them (nothing is selected then). Without the
// directory's key the list stays empty.
int FillAuthorList(QComboBox& combo, std::vector<OwnerRecord>& authors, EngineHelper& helper = engine_helper());

// The record of the combo's current item, null when none is selected.
const OwnerRecord* SelectedAuthor(const QComboBox& combo, const std::vector<OwnerRecord>& authors);

}  // namespace dsutils::widgets
