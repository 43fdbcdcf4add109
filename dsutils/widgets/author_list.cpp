#include "dsutils/widgets/author_list.h"

#include <QComboBox>
#include <algorithm>
#include <numeric>

namespace dsutils::widgets {

int FillAuthorList(QComboBox& combo, std::vector<OwnerRecord>& authors, EngineHelper& helper) {
  OwnerRecord executor;
  // Only the executor's name is wanted, which the read sets first: an
  // entry that cannot be read is simply not in the list.
  (void)helper.GetOwnerRecord(executor);

  authors.clear();
  QString name;
  for (std::uint32_t i = 0; helper.EnumOwnerEntry(i, name); ++i) {
    if (name.size() > kMaxOwnerEntryName) continue;
    OwnerRecord record;
    record.name = name;
    if (!helper.GetOwnerRecord(record)) continue;
    authors.push_back(std::move(record));
  }

  // The list sorts as a sorted combo box does: by text, ignoring case,
  // equal texts in reading order.
  std::vector<int> order(authors.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return authors[static_cast<std::size_t>(a)].profile.compare(authors[static_cast<std::size_t>(b)].profile,
                                                                Qt::CaseInsensitive) < 0;
  });
  const QSignalBlocker quiet(&combo);
  combo.clear();
  int selected = -1;
  for (int index : order) {
    const OwnerRecord& record = authors[static_cast<std::size_t>(index)];
    combo.addItem(record.profile, index);
    if (selected < 0 && !executor.name.isEmpty() && record.name == executor.name) selected = combo.count() - 1;
  }
  combo.setCurrentIndex(selected);
  return selected;
}

const OwnerRecord* SelectedAuthor(const QComboBox& combo, const std::vector<OwnerRecord>& authors) {
  if (combo.currentIndex() < 0) return nullptr;
  bool ok = false;
  const int index = combo.currentData().toInt(&ok);
  if (!ok || index < 0 || static_cast<std::size_t>(index) >= authors.size()) return nullptr;
  return &authors[static_cast<std::size_t>(index)];
}

}  // namespace dsutils::widgets
