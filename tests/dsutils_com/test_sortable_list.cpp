// The sortable list: the key rules as tables, header clicks driven by QTest
// with and without Ctrl, the marks painted in the header, and the column
// widths kept in a scratch profile file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "dsutils/widgets/sortable_list.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

// ---------------------------------------------------------------------------
// SortKeyState

struct Click {
  int column;
  bool ctrl;
  std::vector<SortPass> passes;  // expected
  std::vector<int> keys;         // expected afterwards
};

TEST(SortableListKeys, ClickSequences) {
  struct Case {
    const char* name;
    std::vector<Click> clicks;
  };
  const Case cases[] = {
      {"first click descending, second ascending, third descending",
       {{2, false, {{2, false}}, {2}}, {2, false, {{2, true}}, {2}}, {2, false, {{2, false}}, {2}}}},
      {"ctrl adds a key: the new one sorted first, the earlier in its last direction",
       {{1, false, {{1, false}}, {1}}, {3, true, {{3, false}, {1, false}}, {1, 3}}}},
      {"ctrl on the primary moves it behind the others",
       {{1, false, {{1, false}}, {1}},
        {3, true, {{3, false}, {1, false}}, {1, 3}},
        {1, true, {{1, true}, {3, false}}, {3, 1}}}},
      {"a plain click after several keys leaves one",
       {{1, false, {{1, false}}, {1}}, {3, true, {{3, false}, {1, false}}, {1, 3}}, {5, false, {{5, false}}, {5}}}},
      {"three keys, the middle one ctrl-clicked again",
       {{0, false, {{0, false}}, {0}},
        {1, true, {{1, false}, {0, false}}, {0, 1}},
        {2, true, {{2, false}, {1, false}, {0, false}}, {0, 1, 2}},
        {1, true, {{1, true}, {2, false}, {0, false}}, {0, 2, 1}}}},
      {"columns 32 apart share a direction bit", {{0, false, {{0, false}}, {0}}, {32, false, {{32, true}}, {32}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SortKeyState state;
    for (std::size_t i = 0; i < c.clicks.size(); ++i) {
      SCOPED_TRACE(i);
      const Click& k = c.clicks[i];
      EXPECT_EQ(state.click(k.column, k.ctrl), k.passes);
      EXPECT_EQ(state.keys(), k.keys);
    }
  }
}

TEST(SortableListKeys, AtMostSixtyFourKeys) {
  SortKeyState state;
  for (int col = 0; col < SortKeyState::kMaxKeys; ++col) state.click(col, col > 0);
  ASSERT_EQ(state.keys().size(), 64u);
  EXPECT_TRUE(state.click(100, true).empty());
  EXPECT_EQ(state.keys().size(), 64u);
  // A key already in the list still moves to the end.
  EXPECT_EQ(state.click(0, true).size(), 64u);
  EXPECT_EQ(state.keys().back(), 0);
}

// ---------------------------------------------------------------------------
// The control

// A scratch profile for every test of this file.
class SortableList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
  }
  void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }

  // Rows of (number, name, group) with the given texts.
  static void fill(SortableListCtrl& list, const std::vector<QStringList>& rows) {
    std::vector<ListRow> all;
    for (const QStringList& cells : rows) all.push_back(ListRow{cells, -1, nullptr});
    list.rows().appendRows(std::move(all));
  }
  static std::vector<ListColumn> columns() {
    return {{QStringLiteral("№"), Qt::AlignHCenter, 20},
            {QStringLiteral("Имя"), Qt::AlignLeft, 100},
            {QStringLiteral("Группа"), Qt::AlignLeft, 100}};
  }
  static QStringList column(const SortableListCtrl& list, int c) {
    QStringList out;
    for (int r = 0; r < list.rows().rowCount(); ++r) out << list.rows().text(r, c);
    return out;
  }
  static void click(SortableListCtrl& list, int column, bool ctrl) {
    if (!QTest::qWaitForWindowExposed(&list)) ADD_FAILURE() << "the list was never shown";
    QHeaderView* h = list.header();
    const QPoint at(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
    QTest::mouseClick(h->viewport(), Qt::LeftButton, ctrl ? Qt::ControlModifier : Qt::NoModifier, at);
  }
  // Dark pixels where the mark of `column` is painted.
  static int mark_pixels(SortableListCtrl& list, int column) {
    QHeaderView* h = list.header();
    const QImage picture = h->viewport()->grab().toImage();
    const int right = h->sectionViewportPosition(column) + h->sectionSize(column);
    int dark = 0;
    for (int x = right - 14; x < right; ++x)
      for (int y = 0; y < picture.height(); ++y)
        if (qGray(picture.pixel(x, y)) < 100) ++dark;
    return dark;
  }

  QTemporaryDir dir_;
};

TEST_F(SortableList, FirstClickDescendingSecondAscendingWithTheirMarks) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "Борис", "a"}, {"2", "анна", "b"}, {"3", "Вера", "c"}, {"4", "Ян", "d"}});
  list.resize(400, 200);
  list.show();
  const int before = mark_pixels(list, 1);

  click(list, 1, false);
  EXPECT_EQ(column(list, 1), (QStringList{"Ян", "Вера", "Борис", "анна"}));
  EXPECT_EQ(list.sortHeader().mark(1), kMarkDescending);
  EXPECT_GT(mark_pixels(list, 1), before + 5) << "no mark painted";

  click(list, 1, false);
  // Case does not matter: "анна" before "Борис".
  EXPECT_EQ(column(list, 1), (QStringList{"анна", "Борис", "Вера", "Ян"}));
  EXPECT_EQ(list.sortHeader().mark(1), kMarkAscending);
  EXPECT_GT(mark_pixels(list, 1), before + 5) << "no mark painted";
}

TEST_F(SortableList, CtrlClickKeepsTheFirstColumnPrimaryAndMarksBoth) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "b", "x"}, {"2", "a", "y"}, {"3", "b", "y"}, {"4", "a", "x"}, {"5", "c", "x"}});
  list.resize(400, 200);
  list.show();
  click(list, 2, false);  // group descending: y y x x x
  click(list, 2, false);  // group ascending
  click(list, 1, true);   // name added: name primary, group second in its last (ascending) order
  // The group column stays the primary key; rows equal in it are in the
  // name order of the second key.
  EXPECT_EQ(column(list, 2), (QStringList{"x", "x", "x", "y", "y"}));
  EXPECT_EQ(column(list, 1), (QStringList{"c", "b", "a", "b", "a"}));
  EXPECT_EQ(column(list, 0), (QStringList{"5", "1", "4", "3", "2"}));
  EXPECT_EQ(list.sortState().keys(), (std::vector<int>{2, 1}));
  EXPECT_EQ(list.sortHeader().mark(2), kMarkAscending);
  EXPECT_EQ(list.sortHeader().mark(1), kMarkDescending);
}

TEST_F(SortableList, CtrlClickOnThePrimaryMovesItBehind) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "b", "x"}, {"2", "a", "y"}, {"3", "b", "y"}, {"4", "a", "x"}});
  list.resize(400, 200);
  list.show();
  click(list, 1, false);  // name descending
  click(list, 2, true);   // group descending added
  click(list, 1, true);   // name again: now behind group, ascending
  EXPECT_EQ(list.sortState().keys(), (std::vector<int>{2, 1}));
  // Group (descending) primary, then name ascending.
  EXPECT_EQ(column(list, 2), (QStringList{"y", "y", "x", "x"}));
  EXPECT_EQ(column(list, 1), (QStringList{"a", "b", "a", "b"}));
  EXPECT_EQ(list.sortHeader().mark(1), kMarkAscending);
  EXPECT_EQ(list.sortHeader().mark(2), kMarkDescending);
}

TEST_F(SortableList, PlainClickAfterSeveralKeysLeavesOneKeyAndOneMark) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "b", "x"}, {"2", "a", "y"}});
  list.resize(400, 200);
  list.show();
  click(list, 1, false);
  click(list, 2, true);
  ASSERT_NE(list.sortHeader().mark(1), kMarkNone);
  ASSERT_NE(list.sortHeader().mark(2), kMarkNone);
  click(list, 0, false);
  EXPECT_EQ(list.sortState().keys(), std::vector<int>{0});
  int marks = 0;
  for (int c = 0; c < 3; ++c) marks += list.sortHeader().mark(c) != kMarkNone ? 1 : 0;
  EXPECT_EQ(marks, 1);
  EXPECT_EQ(list.sortHeader().mark(0), kMarkDescending);
  EXPECT_LT(mark_pixels(list, 1), 5);
  EXPECT_LT(mark_pixels(list, 2), 5);
  EXPECT_GT(mark_pixels(list, 0), 5);
}

TEST_F(SortableList, NumbersSortAsText) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"2", "", ""}, {"10", "", ""}, {"1", "", ""}});
  list.SortByColumn(0, false);  // descending
  list.SortByColumn(0, false);  // ascending
  EXPECT_EQ(column(list, 0), (QStringList{"1", "10", "2"}));
}

TEST_F(SortableList, SelectionFollowsTheSortedRows) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "в", ""}, {"2", "а", ""}, {"3", "б", ""}});
  list.selectRow(0, true);  // "в"
  list.SortByColumn(1, false);
  list.SortByColumn(1, false);  // а б в
  ASSERT_EQ(list.selectedRowList(), std::vector<int>{2});
  EXPECT_EQ(list.rows().text(2, 1), QStringLiteral("в"));
}

TEST_F(SortableList, WidthsAreSavedToTheLibraryProfile) {
  SortableListCtrl list;
  list.SetProfileEntry(QStringLiteral("ViewCertInputEnc"));
  list.InsertColumns(columns());
  fill(list, {{"1", "x", "y"}});
  list.setColumnWidth(0, 75);
  list.setColumnWidth(1, 120);
  list.setColumnWidth(2, 90);
  list.SaveColumnWidths();
  const QString file = dir_.path() + QStringLiteral("/dossar/DSUtils.ini");
  ASSERT_TRUE(QFile::exists(file));
  QSettings ini(file, QSettings::IniFormat);
  EXPECT_EQ(ini.value(QStringLiteral("ColumnWidths/ViewCertInputEnc")).toString(), QStringLiteral("75,120,90,"));

  SortableListCtrl again;
  again.SetProfileEntry(QStringLiteral("ViewCertInputEnc"));
  again.InsertColumns(columns());
  EXPECT_EQ(again.columnWidth(0), 75);
  EXPECT_EQ(again.columnWidth(1), 120);
  EXPECT_EQ(again.columnWidth(2), 90);
}

TEST_F(SortableList, NarrowOrMissingSavedWidthsFitTheColumn) {
  const QString file = dir_.path() + QStringLiteral("/dossar/DSUtils.ini");
  QDir().mkpath(dir_.path() + QStringLiteral("/dossar"));
  {
    // Written by hand, unquoted: read as the text it is.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[ColumnWidths]\nList=69,150\n");
  }
  SortableListCtrl list;
  list.SetProfileEntry(QStringLiteral("List"));
  list.InsertColumns(columns());
  fill(list, {{"1", "a", "a very very long group name that needs room"}});
  list.RestoreColumnWidths();
  EXPECT_EQ(list.GetSavedColumnWidth(0), 69);
  EXPECT_EQ(list.GetSavedColumnWidth(1), 150);
  EXPECT_EQ(list.GetSavedColumnWidth(2), 0);
  EXPECT_EQ(list.columnWidth(1), 150);
  // 69 is not used: the column fits its heading and text instead.
  EXPECT_NE(list.columnWidth(0), 69);
  EXPECT_GE(list.columnWidth(0), list.header()->sectionSizeHint(0));
  // No saved field: fitted to the long text.
  const int textWidth = list.fontMetrics().horizontalAdvance(list.rows().text(0, 2));
  EXPECT_GT(list.columnWidth(2), textWidth);
}

TEST_F(SortableList, AnEmptyListsColumnsAreSeventyWide) {
  SortableListCtrl list;
  list.SetProfileEntry(QStringLiteral("Empty"));
  std::vector<ListColumn> cols = columns();
  cols[1].heading = QStringLiteral("Очень длинный заголовок столбца, шире семидесяти точек");
  list.InsertColumns(cols);
  list.AutoSizeAllColumns();
  for (int c = 0; c < 3; ++c) EXPECT_EQ(list.columnWidth(c), 70) << c;
}

TEST_F(SortableList, HeaderWithTwoMarksScreenshot) {
  SortableListCtrl list;
  list.InsertColumns(columns());
  fill(list, {{"1", "Борис", "x"}, {"2", "Анна", "y"}, {"3", "Вера", "x"}});
  list.AutoSizeAllColumns();
  list.resize(420, 160);
  list.show();
  click(list, 2, false);
  click(list, 1, true);
  ASSERT_EQ(list.sortHeader().mark(2), kMarkDescending);
  ASSERT_EQ(list.sortHeader().mark(1), kMarkDescending);
  EXPECT_GT(mark_pixels(list, 1), 5);
  EXPECT_GT(mark_pixels(list, 2), 5);
  gui_test::screenshot(&list, "sortable_list_two_marks");
}

}  // namespace
}  // namespace dsutils::widgets
