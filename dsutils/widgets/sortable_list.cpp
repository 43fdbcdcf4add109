#include "dsutils/widgets/sortable_list.h"

#include <QDir>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSettings>
#include <QStyle>
#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace dsutils::widgets {

namespace {
constexpr int kMarkSize = 9;
constexpr int kMarkGap = 4;
// A cell's text has the delegate's margin on each side; an image its own width and gap.
constexpr int kCellPadding = 12;
constexpr int kImageWidth = 16;
constexpr int kImageGap = 4;
}  // namespace

// ---------------------------------------------------------------------------
// SortKeyState

std::vector<SortPass> SortKeyState::click(int column, bool addKey) {
  std::vector<SortPass> passes;
  if (column < 0) return passes;
  if (!addKey) {
    keys_.assign(1, column);
    passes.push_back({column, nextAscending(column)});
    flip(column);
    return passes;
  }
  auto it = std::find(keys_.begin(), keys_.end(), column);
  if (it != keys_.end()) {
    keys_.erase(it);
  } else if (static_cast<int>(keys_.size()) >= kMaxKeys) {
    return passes;  // the list is full: the click changes nothing
  }
  keys_.push_back(column);
  // The clicked key first in its own direction; every earlier key in the
  // direction it had when it was last clicked (its bit was flipped since).
  passes.push_back({column, nextAscending(column)});
  for (auto k = keys_.rbegin() + 1; k != keys_.rend(); ++k) passes.push_back({*k, !nextAscending(*k)});
  flip(column);
  return passes;
}

// ---------------------------------------------------------------------------
// ListRowModel

int ListRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ListRowModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant ListRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const ListRow& r = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return index.column() < r.cells.size() ? r.cells[index.column()] : QString();
    case Qt::DecorationRole:
      if (index.column() == 0 && r.image >= 0 && r.image < images_.size()) return images_[r.image];
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(columns_[static_cast<std::size_t>(index.column())].alignment | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant ListRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) return columns_[static_cast<std::size_t>(section)].heading;
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(columns_[static_cast<std::size_t>(section)].alignment | Qt::AlignVCenter);
  return {};
}

void ListRowModel::setColumns(std::vector<ListColumn> columns) {
  beginResetModel();
  columns_ = std::move(columns);
  endResetModel();
}

void ListRowModel::setImages(QList<QPixmap> images) {
  images_ = std::move(images);
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

int ListRowModel::appendRows(std::vector<ListRow> rows) {
  const int first = rowCount();
  if (rows.empty()) return first;
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  rows_.reserve(rows_.size() + rows.size());
  for (ListRow& r : rows) rows_.push_back(std::move(r));
  endInsertRows();
  return first;
}

int ListRowModel::appendRow(ListRow row) {
  std::vector<ListRow> one;
  one.push_back(std::move(row));
  return appendRows(std::move(one));
}

ListRow ListRowModel::takeRow(int row) {
  if (row < 0 || row >= rowCount()) return {};
  beginRemoveRows({}, row, row);
  ListRow taken = std::move(rows_[static_cast<std::size_t>(row)]);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
  return taken;
}

std::vector<ListRow> ListRowModel::takeAll() {
  beginResetModel();
  std::vector<ListRow> all;
  all.swap(rows_);
  endResetModel();
  return all;
}

QString ListRowModel::text(int r, int column) const {
  if (r < 0 || r >= rowCount()) return {};
  const QStringList& cells = rows_[static_cast<std::size_t>(r)].cells;
  return column >= 0 && column < cells.size() ? cells[column] : QString();
}

void ListRowModel::setText(int r, int column, const QString& text) {
  if (r < 0 || r >= rowCount() || column < 0) return;
  QStringList& cells = rows_[static_cast<std::size_t>(r)].cells;
  while (cells.size() <= column) cells.append(QString());
  cells[column] = text;
  emit dataChanged(index(r, column), index(r, column), {Qt::DisplayRole});
}

void ListRowModel::renumber(int column, int from) {
  const int n = rowCount();
  if (from < 0) from = 0;
  if (from >= n) return;
  for (int r = from; r < n; ++r) {
    QStringList& cells = rows_[static_cast<std::size_t>(r)].cells;
    while (cells.size() <= column) cells.append(QString());
    cells[column] = QString::number(r + 1);
  }
  emit dataChanged(index(from, column), index(n - 1, column), {Qt::DisplayRole});
}

void ListRowModel::sortPass(int column, bool ascending) {
  const std::size_t n = rows_.size();
  if (n < 2 || column < 0) return;
  // Each text folded once: a pass compares n log n times.
  std::vector<QString> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    const QStringList& cells = rows_[i].cells;
    if (column < cells.size()) keys[i] = cells[column].toCaseFolded();
  }
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const int c = QString::compare(keys[static_cast<std::size_t>(a)], keys[static_cast<std::size_t>(b)]);
    return ascending ? c < 0 : c > 0;
  });

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> newPosition(n);
  for (std::size_t i = 0; i < n; ++i) newPosition[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& idx : before)
    after.append(index(newPosition[static_cast<std::size_t>(idx.row())], idx.column()));
  std::vector<ListRow> sorted;
  sorted.reserve(n);
  for (int from : order) sorted.push_back(std::move(rows_[static_cast<std::size_t>(from)]));
  rows_.swap(sorted);
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// ---------------------------------------------------------------------------
// Profiles

IniColumnWidthProfile::IniColumnWidthProfile(QString path) : path_(std::move(path)) {}

QString IniColumnWidthProfile::path() const { return path_.isEmpty() ? defaultPath() : path_; }

QString IniColumnWidthProfile::defaultPath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/dossar/DSUtils.ini");
}

QString IniColumnWidthProfile::read(const QString& entry) {
  if (entry.isEmpty()) return {};
  QSettings settings(path(), QSettings::IniFormat);
  const QVariant value = settings.value(QStringLiteral("ColumnWidths/") + entry);
  // A value written by hand without quotes reads as a list of its fields.
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QLatin1Char(','));
  return value.toString();
}

void IniColumnWidthProfile::write(const QString& entry, const QString& widths) {
  if (entry.isEmpty()) return;
  const QString file = path();
  QDir().mkpath(QFileInfo(file).absolutePath());
  QSettings settings(file, QSettings::IniFormat);
  settings.setValue(QStringLiteral("ColumnWidths/") + entry, widths);
  settings.sync();
}

ColumnWidthProfile& library_column_profile() {
  static auto* profile = new IniColumnWidthProfile();  // lives as long as the process
  return *profile;
}

// ---------------------------------------------------------------------------
// SortHeaderCtrl

SortHeaderCtrl::SortHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setSectionsMovable(true);  // header drag-and-drop
  setSortIndicatorShown(false);
  setStretchLastSection(false);
  setHighlightSections(false);
  connect(this, &QHeaderView::sectionClicked, this, [this](int logical) {
    if (onHeadingClicked) onHeadingClicked(logical, ctrlSection_ == logical);
  });
}

QPixmap SortHeaderCtrl::markPixmap(int mark) {
  QPixmap picture(kMarkSize, kMarkSize);
  picture.fill(Qt::transparent);
  if (mark != kMarkAscending && mark != kMarkDescending) return picture;
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  if (mark == kMarkAscending) {
    path.moveTo(4.5, 1);
    path.lineTo(8.5, 8);
    path.lineTo(0.5, 8);
  } else {
    path.moveTo(0.5, 1);
    path.lineTo(8.5, 1);
    path.lineTo(4.5, 8);
  }
  path.closeSubpath();
  p.fillPath(path, QColor(64, 64, 64));
  return picture;
}

void SortHeaderCtrl::setSortMark(int column, bool ascending) {
  if (column < 0) return;
  if (static_cast<int>(marks_.size()) <= column) marks_.resize(static_cast<std::size_t>(column) + 1, kMarkNone);
  marks_[static_cast<std::size_t>(column)] = ascending ? kMarkAscending : kMarkDescending;
  lastMarked_ = column;
  updateSection(column);
}

void SortHeaderCtrl::clearSortMark(int column) {
  if (column < 0 || column >= static_cast<int>(marks_.size())) return;
  marks_[static_cast<std::size_t>(column)] = kMarkNone;
  updateSection(column);
}

void SortHeaderCtrl::clearAllSortMarks() {
  for (int c = 0; c < static_cast<int>(marks_.size()); ++c) clearSortMark(c);
}

int SortHeaderCtrl::mark(int column) const {
  return column >= 0 && column < static_cast<int>(marks_.size()) ? marks_[static_cast<std::size_t>(column)] : kMarkNone;
}

void SortHeaderCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  painter->save();
  QHeaderView::paintSection(painter, rect, logicalIndex);
  painter->restore();
  const int m = mark(logicalIndex);
  if (m == kMarkNone || rect.width() < kMarkSize + 2 * kMarkGap) return;
  const QPoint at(rect.right() - kMarkGap - kMarkSize + 1, rect.top() + (rect.height() - kMarkSize) / 2);
  painter->drawPixmap(at, markPixmap(m));
}

QSize SortHeaderCtrl::sectionSizeFromContents(int logicalIndex) const {
  QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
  size.rwidth() += kMarkSize + kMarkGap;  // room for a mark
  return size;
}

void SortHeaderCtrl::mouseReleaseEvent(QMouseEvent* event) {
  // The click's own modifiers decide, not the keyboard's state when the
  // event is handled.
  const bool ctrl = event->button() == Qt::LeftButton && (event->modifiers() & Qt::ControlModifier);
  ctrlSection_ = ctrl ? logicalIndexAt(event->position().toPoint()) : -1;
  QHeaderView::mouseReleaseEvent(event);
  ctrlSection_ = -1;
}

// ---------------------------------------------------------------------------
// SortableListCtrl

SortableListCtrl::SortableListCtrl(QWidget* parent) : QTreeView(parent), header_(new SortHeaderCtrl(this)) {
  setHeader(header_);
  setModel(&model_);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);  // full-row select
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  // The view's own sorting stays off (it would also make the headings
  // unclickable); the list sorts its rows itself.
  header_->setSectionsClickable(true);
  header_->setSortIndicatorShown(false);
  setIconSize(QSize(kImageWidth, kImageWidth));
  header_->onHeadingClicked = [this](int column, bool addKey) { SortByColumn(column, addKey); };
}

void SortableListCtrl::InsertColumns(std::vector<ListColumn> columns) {
  model_.setColumns(std::move(columns));
  for (int c = 0; c < columnCount(); ++c) {
    setColumnWidth(c, model_.columns()[static_cast<std::size_t>(c)].width);
    RestoreColumnWidth(c);
  }
}

int SortableListCtrl::GetSavedColumnWidth(int column) {
  ColumnWidthProfile& profile = profile_ != nullptr ? *profile_ : library_column_profile();
  const QStringList fields = profile.read(entry_).split(QLatin1Char(','));
  if (column < 0 || column >= fields.size()) return 0;
  // atoi's reading: leading blanks, a sign, digits; anything else is 0.
  return std::atoi(fields[column].toLatin1().constData());
}

void SortableListCtrl::RestoreColumnWidth(int column) {
  const int saved = GetSavedColumnWidth(column);
  if (saved >= kMinSavedColumnWidth) {
    setColumnWidth(column, saved);
  } else {
    AutoSizeColumn(column);
  }
}

void SortableListCtrl::RestoreColumnWidths() {
  for (int c = 0; c < columnCount(); ++c) RestoreColumnWidth(c);
}

int SortableListCtrl::contentWidth(int column) const {
  const QFontMetrics metrics(font());
  int widest = 0;
  const int n = model_.rowCount();
  for (int r = 0; r < n; ++r) {
    const ListRow& row = model_.row(r);
    int w = column < row.cells.size() ? metrics.horizontalAdvance(row.cells[column]) : 0;
    if (column == 0 && row.image >= 0) w += kImageWidth + kImageGap;
    widest = std::max(widest, w);
  }
  return widest + kCellPadding;
}

void SortableListCtrl::AutoSizeColumn(int column) {
  if (column < 0 || column >= columnCount()) return;
  const bool updates = updatesEnabled();
  setUpdatesEnabled(false);
  const int content = contentWidth(column);
  const int heading = header_->sectionSizeHint(column);
  setColumnWidth(column, model_.rowCount() > 0 ? std::max(content, heading) : kMinSavedColumnWidth);
  setUpdatesEnabled(updates);
}

void SortableListCtrl::AutoSizeAllColumns() {
  for (int c = 0; c < columnCount(); ++c) AutoSizeColumn(c);
}

void SortableListCtrl::SaveColumnWidths() {
  if (entry_.isEmpty()) return;
  QString value;
  for (int c = 0; c < columnCount(); ++c) value += QString::number(columnWidth(c)) + QLatin1Char(',');
  ColumnWidthProfile& profile = profile_ != nullptr ? *profile_ : library_column_profile();
  profile.write(entry_, value);
}

void SortableListCtrl::SortByColumn(int column, bool addKey) {
  if (column < 0 || column >= columnCount()) return;
  sorting_ = true;
  const std::vector<SortPass> passes = state_.click(column, addKey);
  if (!addKey) header_->clearAllSortMarks();
  for (const SortPass& pass : passes) model_.sortPass(pass.column, pass.ascending);
  if (!passes.empty()) header_->setSortMark(column, passes.front().ascending);
  sorting_ = false;
}

std::vector<int> SortableListCtrl::selectedRowList() const {
  std::vector<int> rows;
  if (selectionModel() == nullptr) return rows;
  for (const QModelIndex& idx : selectionModel()->selectedRows()) rows.push_back(idx.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void SortableListCtrl::selectRow(int row, bool focus) {
  if (row < 0 || row >= model_.rowCount() || selectionModel() == nullptr) return;
  const QModelIndex idx = model_.index(row, 0);
  selectionModel()->select(idx, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  if (focus) selectionModel()->setCurrentIndex(idx, QItemSelectionModel::NoUpdate);
}

}  // namespace dsutils::widgets
