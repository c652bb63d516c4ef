#include "controls/sort_list_ctrl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <algorithm>
#include <memory>
#include <random>

#include "support/qt_print.h"

namespace {

class SortListTest : public testing::Test {
  protected:
    void SetUp() override {
        list_ = std::make_unique<CSortListCtrl>();
        list_->resize(600, 400);
        list_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(list_.get()));
    }

    void ClickHeading(int section) {
        QHeaderView* heading = list_->header();
        QTest::mouseClick(
            heading->viewport(), Qt::LeftButton, {},
            {heading->sectionViewportPosition(section) + heading->sectionSize(section) / 2,
             heading->height() / 2});
    }

    QStringList Column(int column) const {
        QStringList texts;
        for (int row = 0; row < list_->RowCount(); ++row) {
            texts.append(list_->CellText(row, column));
        }
        return texts;
    }

    void AddRows(const QList<QStringList>& rows) {
        for (const QStringList& row : rows) {
            ASSERT_GE(list_->AppendRow(row), 0);
        }
    }

    std::unique_ptr<CSortListCtrl> list_;
};

TEST_F(SortListTest, DefinesAtMostNinetyNineColumnsWithTheirWidths) {
    EXPECT_TRUE(list_->DefineColumns("Name,150;Port,80;Last"));
    ASSERT_EQ(list_->ColumnCount(), 2);
    EXPECT_EQ(list_->header()->sectionSize(0), 150);
    EXPECT_EQ(list_->header()->sectionSize(1), 80);
    QString many;
    for (int i = 0; i < 100; ++i) {
        many += QStringLiteral("C%1,5;").arg(i);
    }
    EXPECT_TRUE(list_->DefineColumns(many));
    EXPECT_EQ(list_->ColumnCount(), 99);
    EXPECT_EQ(list_->model()->headerData(98, Qt::Horizontal).toString(), "C96");
}

TEST_F(SortListTest, RefusesRowsWithTheWrongNumberOfTexts) {
    EXPECT_EQ(list_->AppendRow({}), -1);  // no columns yet
    list_->DefineColumns("A,50;B,50");
    EXPECT_EQ(list_->AppendRow({"only one"}), -1);
    EXPECT_EQ(list_->AppendRow({"1", "2", "3"}), -1);
    EXPECT_EQ(list_->AppendRow({"1", "2"}), 0);
    EXPECT_EQ(list_->RowCount(), 1);
}

TEST_F(SortListTest, HeadingClicksSortAscendingThenReverseThenAscendingForAnotherColumn) {
    list_->DefineColumns("A,60;B,60;C,60;D,60");
    AddRows({{"x", "y", "10", "b"}, {"x", "y", "9", "c"}, {"x", "y", "100", "a"}});
    ClickHeading(2);
    EXPECT_EQ(Column(2), QStringList({"9", "10", "100"}));
    ClickHeading(2);
    EXPECT_EQ(Column(2), QStringList({"100", "10", "9"}));
    ClickHeading(3);
    EXPECT_EQ(Column(3), QStringList({"a", "b", "c"}));
    EXPECT_EQ(list_->SortColumn(), 3);
    EXPECT_TRUE(list_->IsSortAscending());
}

TEST_F(SortListTest, SortsDatesByDayMonthYear) {
    list_->DefineColumns("Date,100");
    AddRows({{"31/01/2010"}, {"01/02/2009"}, {"31/01/2009"}});
    ClickHeading(0);
    EXPECT_EQ(Column(0), QStringList({"31/01/2009", "01/02/2009", "31/01/2010"}));
}

// A heading click sorts text in the application's locale order; numbers keep theirs.
TEST_F(SortListTest, TextColumnsSortInTheLocalesOrder) {
    const QLocale previous;
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    list_->DefineColumns("Name,100;Port,60");
    AddRows({{"fig", "25"},
             {"Mz", "2525"},
             {QString::fromUtf8("\u00e9clair"), "465"},
             {QString::fromUtf8("M\u00fcller"), "587"},
             {"#tag", "10025"},
             {"Mu", "9"}});
    ClickHeading(0);
    EXPECT_EQ(Column(0), QStringList({"#tag", QString::fromUtf8("\u00e9clair"), "fig", "Mu",
                                      QString::fromUtf8("M\u00fcller"), "Mz"}));
    ClickHeading(1);
    EXPECT_EQ(Column(1), QStringList({"9", "25", "465", "587", "2525", "10025"}));
    QLocale::setDefault(previous);
}

TEST_F(SortListTest, KeyboardMovesAndTheDeleteKeyAreTold) {
    list_->DefineColumns("Name,100");
    AddRows({{"a"}, {"b"}, {"c"}});
    QSignalSpy chosen(list_.get(), &CSortListCtrl::RowChosenByKeyboard);
    QSignalSpy deleting(list_.get(), &CSortListCtrl::DeleteKeyPressed);
    list_->setFocus();
    list_->setCurrentIndex(list_->model()->index(0, 0));
    QTest::keyClick(list_.get(), Qt::Key_Down);
    QTest::keyClick(list_.get(), Qt::Key_End);
    QTest::keyClick(list_.get(), Qt::Key_Down);  // already at the end: no move, nothing told
    QTest::keyClick(list_.get(), Qt::Key_Delete);
    ASSERT_EQ(chosen.size(), 2);
    EXPECT_EQ(chosen[0][0].toInt(), 1);
    EXPECT_EQ(chosen[1][0].toInt(), 2);
    EXPECT_EQ(deleting.size(), 1);
    EXPECT_EQ(list_->RowCount(), 3);  // the list deletes nothing by itself
}

TEST_F(SortListTest, SortsByRecordsUpdatedThroughSetCellText) {
    list_->DefineColumns("Name,100;Port,60");
    AddRows({{"a", "25"}, {"b", "587"}, {"c", "465"}});
    EXPECT_TRUE(list_->SetCellText(0, 1, "2525"));
    EXPECT_EQ(list_->RowRecord(0), QStringList({"a", "2525"}));
    EXPECT_FALSE(list_->SetCellText(3, 0, "none"));
    EXPECT_FALSE(list_->SetCellText(0, 2, "none"));
    ClickHeading(1);
    EXPECT_EQ(Column(0), QStringList({"c", "b", "a"}));
}

TEST_F(SortListTest, ReleasedRecordSortsAsEmptyUntilTheRowIsRemoved) {
    list_->DefineColumns("Name,100");
    AddRows({{"b"}, {"a"}, {"c"}});
    list_->ReleaseRowRecord(2);
    list_->ReleaseRowRecord(7);  // out of range: nothing
    EXPECT_TRUE(list_->SetCellText(2, 0, "d"));
    EXPECT_TRUE(list_->RowRecord(2).isEmpty());
    ClickHeading(0);
    EXPECT_EQ(Column(0), QStringList({"d", "a", "b"}));
    EXPECT_TRUE(list_->DeleteRow(0));
    EXPECT_FALSE(list_->DeleteRow(2));
    EXPECT_EQ(Column(0), QStringList({"a", "b"}));
    list_->DefineColumns("Later,50");  // existing rows get an empty cell to sort by
    EXPECT_EQ(list_->RowRecord(0), QStringList({"a", ""}));
    ClickHeading(1);
    EXPECT_EQ(Column(0), QStringList({"a", "b"}));
}

TEST_F(SortListTest, SelectedRowsAreListedAscendingAndFollowTheirRowsThroughASort) {
    list_->DefineColumns("N,60");
    AddRows({{"4"}, {"3"}, {"2"}, {"1"}});
    for (int row : {3, 0}) {
        list_->selectionModel()->select(list_->model()->index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QList<int> rows{42};
    EXPECT_EQ(list_->ListSelectedRows(rows), 2);
    EXPECT_EQ(rows, QList<int>({0, 3}));
    ClickHeading(0);
    ASSERT_EQ(list_->ListSelectedRows(rows), 2);
    EXPECT_EQ(list_->RowRecord(rows[0]), QStringList({"1"}));
    EXPECT_EQ(list_->RowRecord(rows[1]), QStringList({"4"}));
    EXPECT_TRUE(list_->RemoveAllRows());
    EXPECT_EQ(list_->ListSelectedRows(rows), 0);
}

TEST_F(SortListTest, MixedKindColumnsSortWithoutLosingRows) {
    list_->DefineColumns("Mixed,100;Id,60");
    std::mt19937 random(20090131);
    const QStringList pieces = {"",           "7",   "12",  "-3", "31/01/2009",
                                "01/02/2010", "abc", "Abc", "x9", "99999999999999999999999"};
    for (int row = 0; row < 3000; ++row) {
        const QString text = pieces[static_cast<int>(random() % pieces.size())] +
                             pieces[static_cast<int>(random() % pieces.size())];
        ASSERT_EQ(list_->AppendRow({text, QString::number(row)}), row);
    }
    for (int click = 0; click < 3; ++click) {
        ClickHeading(0);
        QStringList ids = Column(1);
        std::sort(ids.begin(), ids.end(),
                  [](const QString& x, const QString& y) { return x.toInt() < y.toInt(); });
        for (int row = 0; row < 3000; ++row) {
            ASSERT_EQ(ids[row].toInt(), row);
            ASSERT_EQ(list_->RowRecord(row)[0], list_->CellText(row, 0));
        }
    }
}

// DeleteRows against removing the same rows one at a time from the bottom (Qt's own removal
// path): the same rows remain, with the same selection and current row. Views hear of one
// change only (each costs them a pass over every row): a removal for a run, a layout change for
// scattered rows.
TEST(SortListDeleteRows, ScatteredRowsGoAsOneRowAtATimeWould) {
    struct Case {
        const char* name;
        int rows;
        QList<int> remove;
        QList<int> selected;
        int current;
        int removals;  // rowsRemoved signals
        int layouts;   // layoutChanged signals
    };
    const QList<Case> cases = {
        {"one run", 10, {3, 4, 5}, {2, 4}, 4, 1, 0},
        {"scattered, current goes up", 10, {1, 3, 4, 8}, {0, 3, 5, 9}, 4, 0, 1},
        {"current at the top goes down", 10, {0, 1, 5}, {1, 6}, 0, 0, 1},
        {"duplicates, unordered, out of range", 8, {6, -1, 2, 6, 99, 0}, {2, 3}, 6, 0, 1},
        {"all rows", 6, {5, 3, 1, 0, 2, 4}, {1, 2}, 2, 1, 0},
        {"current stays", 12, {2, 7, 11}, {7, 8, 9, 10, 11}, 9, 0, 1},
        {"nothing valid", 4, {-3, 4}, {1}, 1, 0, 0},
    };
    auto build = [](const Case& c) {
        auto list = std::make_unique<CSortListCtrl>();
        list->DefineColumns("N,60;M,60");
        for (int row = 0; row < c.rows; ++row) {
            list->AppendRow({QString::number(row), QStringLiteral("m%1").arg(row)});
        }
        for (int row : c.selected) {
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        list->selectionModel()->setCurrentIndex(list->model()->index(c.current, 1),
                                                QItemSelectionModel::NoUpdate);
        return list;
    };
    struct State {
        QStringList texts;
        QStringList selected;
        QString current;
        int currentColumn = -1;
        bool operator==(const State&) const = default;
    };
    auto state = [](const CSortListCtrl& list) {
        State result;
        for (int row = 0; row < list.RowCount(); ++row) {
            result.texts.append(list.CellText(row, 0) + "/" + list.CellText(row, 1));
        }
        QList<int> rows;
        list.ListSelectedRows(rows);
        for (int row : rows) {
            result.selected.append(list.CellText(row, 0));
        }
        const QModelIndex current = list.selectionModel()->currentIndex();
        result.current = current.isValid() ? list.CellText(current.row(), 0) : "none";
        result.currentColumn = current.column();
        return result;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto oneByOne = build(c);
        QList<int> descending = c.remove;
        std::sort(descending.begin(), descending.end(), std::greater<>());
        descending.erase(std::unique(descending.begin(), descending.end()), descending.end());
        for (int row : descending) {
            oneByOne->DeleteRow(row);
        }
        auto atOnce = build(c);
        QSignalSpy selectionChanged(atOnce->selectionModel(),
                                    &QItemSelectionModel::selectionChanged);
        QSignalSpy removals(atOnce->model(), &QAbstractItemModel::rowsRemoved);
        QSignalSpy layouts(atOnce->model(), &QAbstractItemModel::layoutChanged);
        atOnce->DeleteRows(c.remove);
        EXPECT_EQ(removals.size(), c.removals);
        EXPECT_EQ(layouts.size(), c.layouts);
        const State expected = state(*oneByOne);
        const State got = state(*atOnce);
        EXPECT_EQ(got.texts, expected.texts);
        EXPECT_EQ(got.selected, expected.selected);
        EXPECT_EQ(got.current, expected.current);
        EXPECT_EQ(got.currentColumn, expected.currentColumn);
        // A dialog enabling its buttons on selection changes hears of selected rows that went.
        const bool selectedRowWent = std::any_of(c.remove.begin(), c.remove.end(),
                                                 [&](int row) { return c.selected.contains(row); });
        EXPECT_EQ(!selectionChanged.isEmpty(), selectedRowWent);
    }
}

}  // namespace

// Bulk changes for long lists: all or nothing on bad input, runs of rows removed together, and
// the selection staying on the rows that remain.
TEST_F(SortListTest, BulkAppendAndDeleteKeepTheSelectionOnTheirRows) {
    list_->DefineColumns("Id,50;Name,80");
    EXPECT_EQ(list_->AppendRows({{"1", "a"}, {"2"}}), -1);
    EXPECT_EQ(list_->RowCount(), 0);
    QList<QStringList> rows;
    for (int i = 0; i < 10; ++i) {
        rows.append({QString::number(i), QStringLiteral("n%1").arg(i)});
    }
    EXPECT_EQ(list_->AppendRows(rows), 0);
    EXPECT_EQ(list_->AppendRows({{"10", "n10"}}), 10);
    for (int row : {2, 5, 9}) {
        list_->selectionModel()->select(list_->model()->index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    list_->DeleteRows({8, 0, 1, 3, 4, 4, 99, -1, 10});
    EXPECT_EQ(Column(0), QStringList({"2", "5", "6", "7", "9"}));
    QList<int> selected;
    list_->ListSelectedRows(selected);
    EXPECT_EQ(selected, QList<int>({0, 1, 4}));
    list_->SortByColumn(0, false);
    EXPECT_EQ(Column(0), QStringList({"9", "7", "6", "5", "2"}));
    EXPECT_TRUE(list_->SetColumnHeading(1, "Outcome"));
    EXPECT_FALSE(list_->SetColumnHeading(2, "x"));
    EXPECT_EQ(list_->model()->headerData(1, Qt::Horizontal).toString(), "Outcome");
}

TEST(SortListInfoTips, ShowTheWholeTextOfACutOffCellOnly) {
    CSortListCtrl list;
    list.DefineColumns("Account,60;Description,400");
    list.AppendRow({"a-very-long-account-name@example.org", "short"});
    list.SetInfoTips(true);
    list.resize(500, 200);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));

    auto tipAt = [&list](int column) {
        return list.InfoTipAt(list.visualRect(list.model()->index(0, column)).center());
    };
    EXPECT_EQ(tipAt(0), "a-very-long-account-name@example.org");
    EXPECT_EQ(tipAt(1), "");
    EXPECT_EQ(list.InfoTipAt({5, 190}), "");  // below the last row

    // The event the view gets when the pointer rests on a cell shows the tip.
    QRect cell = list.visualRect(list.model()->index(0, 0));
    QHelpEvent event(QEvent::ToolTip, cell.center(), list.viewport()->mapToGlobal(cell.center()));
    QApplication::sendEvent(list.viewport(), &event);
    EXPECT_EQ(QToolTip::text(), "a-very-long-account-name@example.org");

    list.SetInfoTips(false);
    EXPECT_EQ(tipAt(0), "");
}
