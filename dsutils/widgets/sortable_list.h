// The report list of every certificate list: rows of texts with an image,
// sorted by one or several columns from the header (Ctrl adds a key), the
// sorted columns marked in the header, column widths kept in a profile.
//
// Rows live in ListRowModel; a sort permutes them in place (stable passes,
// one per key), so selections and the views' widgets stay as they are.
#pragma once

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QTreeView>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QSettings;

namespace dsutils::widgets {

// The header marks, by the numbers of their pictures.
inline constexpr int kMarkNone = 0;
inline constexpr int kMarkAscending = 130;
inline constexpr int kMarkDescending = 131;
// A saved width below this is not used (the column fits itself instead);
// an empty list's columns are fitted to it.
inline constexpr int kMinSavedColumnWidth = 70;

// One stable sort pass over one column.
struct SortPass {
  int column = 0;
  bool ascending = false;
  bool operator==(const SortPass&) const = default;
};

// The sort keys and direction bits of one list, without any widget.
class SortKeyState {
 public:
  static constexpr int kMaxKeys = 64;

  // A click on `column` (Ctrl held: `addKey`). Answers the passes to run in
  // order (last key first, so the first key ends up primary) and updates
  // the keys and bits. The clicked column's mark is markAfter(column)'s
  // answer before the flip, i.e. the direction of the last pass.
  std::vector<SortPass> click(int column, bool addKey);

  const std::vector<int>& keys() const { return keys_; }
  // The direction the next click on `column` sorts in: ascending when its
  // bit is 1.
  bool nextAscending(int column) const { return (mask_ >> bit(column)) & 1U; }
  std::uint32_t mask() const { return mask_; }

 private:
  static int bit(int column) { return ((column % 32) + 32) % 32; }
  void flip(int column) { mask_ ^= 1U << bit(column); }

  std::vector<int> keys_;
  std::uint32_t mask_ = 0;
};

// What a row carries beside its texts: owned by the row and moved with it.
class RowData {
 public:
  virtual ~RowData() = default;
};

struct ListRow {
  QStringList cells;
  int image = -1;
  std::unique_ptr<RowData> data;
};

struct ListColumn {
  QString heading;
  Qt::Alignment alignment = Qt::AlignLeft;
  int width = 100;
};

class ListRowModel : public QAbstractTableModel {
 public:
  explicit ListRowModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void setColumns(std::vector<ListColumn> columns);
  const std::vector<ListColumn>& columns() const { return columns_; }
  void setImages(QList<QPixmap> images);
  const QList<QPixmap>& images() const { return images_; }

  // Appends the rows at once (one insertion for the views); the index of
  // the first.
  int appendRows(std::vector<ListRow> rows);
  int appendRow(ListRow row);
  ListRow takeRow(int row);
  std::vector<ListRow> takeAll();
  const ListRow& row(int r) const { return rows_[static_cast<std::size_t>(r)]; }
  ListRow& row(int r) { return rows_[static_cast<std::size_t>(r)]; }
  QString text(int r, int column) const;
  void setText(int r, int column, const QString& text);
  // Column `column` of rows `from`.. becomes their position + 1.
  void renumber(int column, int from);

  // One stable pass: rows equal in the column keep their order. Texts
  // compare without regard to case, Cyrillic included.
  void sortPass(int column, bool ascending);

 private:
  std::vector<ListRow> rows_;
  std::vector<ListColumn> columns_;
  QList<QPixmap> images_;
};

// Where the column widths of the lists are kept between runs: one text per
// list ("%d," per column).
class ColumnWidthProfile {
 public:
  virtual ~ColumnWidthProfile() = default;
  virtual QString read(const QString& entry) = 0;
  virtual void write(const QString& entry, const QString& widths) = 0;
};

// The library's profile: the INI file $XDG_CONFIG_HOME/dossar/DSUtils.ini
// (~/.config when unset), section "ColumnWidths".
class IniColumnWidthProfile : public ColumnWidthProfile {
 public:
  // `path` empty: the library's file, looked up at each use.
  explicit IniColumnWidthProfile(QString path = {});
  QString read(const QString& entry) override;
  void write(const QString& entry, const QString& widths) override;
  QString path() const;
  static QString defaultPath();

 private:
  QString path_;
};
// The library's profile object (lives as long as the process).
ColumnWidthProfile& library_column_profile();

// The header: marks drawn beside the headings, clicks reported with the
// modifiers of the click itself.
class SortHeaderCtrl : public QHeaderView {
 public:
  explicit SortHeaderCtrl(QWidget* parent = nullptr);

  void setSortMark(int column, bool ascending);
  void clearSortMark(int column);
  void clearAllSortMarks();
  // kMarkNone, kMarkAscending or kMarkDescending.
  int mark(int column) const;
  int lastMarked() const { return lastMarked_; }
  // The picture of a mark (9 x 9), drawn here.
  static QPixmap markPixmap(int mark);

  // Called on a left click on a heading, with whether Ctrl was held.
  std::function<void(int column, bool addKey)> onHeadingClicked;

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  QSize sectionSizeFromContents(int logicalIndex) const override;

 private:
  std::vector<int> marks_;
  int lastMarked_ = -1;
  int ctrlSection_ = -1;  // the heading under a Ctrl-click being handled
};

class SortableListCtrl : public QTreeView {
 public:
  explicit SortableListCtrl(QWidget* parent = nullptr);

  ListRowModel& rows() { return model_; }
  const ListRowModel& rows() const { return model_; }
  SortHeaderCtrl& sortHeader() { return *header_; }
  const SortKeyState& sortState() const { return state_; }

  // The list's name in the profile ("ViewCertInputEnc"), and the profile
  // (the library's when never set).
  void SetProfileEntry(const QString& name) { entry_ = name; }
  const QString& profileEntry() const { return entry_; }
  void setProfile(ColumnWidthProfile* profile) { profile_ = profile; }

  // Columns: inserted with their initial widths, then the saved width applied.
  void InsertColumns(std::vector<ListColumn> columns);
  int columnCount() const { return model_.columnCount(); }
  void RestoreColumnWidths();
  void RestoreColumnWidth(int column);
  int GetSavedColumnWidth(int column);
  void AutoSizeAllColumns();
  void AutoSizeColumn(int column);
  void SaveColumnWidths();

  // What a header click does (`addKey`: Ctrl held).
  void SortByColumn(int column, bool addKey);
  bool sorting() const { return sorting_; }

  // Rows selected, in row order.
  std::vector<int> selectedRowList() const;
  void selectRow(int row, bool focus);

 private:
  int contentWidth(int column) const;

  ListRowModel model_;
  SortHeaderCtrl* header_;
  SortKeyState state_;
  QString entry_;
  ColumnWidthProfile* profile_ = nullptr;
  bool sorting_ = false;
};

}  // namespace dsutils::widgets
