// A report-style list for the table dialogs: columns declared by one description text, rows added
// with all their cell texts at once, and a click on a column heading sorts the rows by that
// column's stored texts (CompareListCells, text in the user's locale order). Every row keeps its
// own copy of its texts (the row record); sorting reads only the records. The keyboard is told to
// the dialog: a row reached with it, and the Delete key. Bad row or column indexes are refused,
// never fatal. UI thread only.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTreeView>

class SortListModel;

class CSortListCtrl final : public QTreeView {
    Q_OBJECT

  public:
    explicit CSortListCtrl(QWidget* parent = nullptr);
    ~CSortListCtrl() override;

    // Adds the columns of a description "heading,width;..." (see ParseColumnDescription) after the
    // existing ones, up to 99 in all; every column is centred. Rows already present get empty
    // cells in the new columns. Always true: Qt never refuses a column.
    bool DefineColumns(const QString& description);

    // Appends a row at the end (whatever the current sort) with exactly ColumnCount() texts and
    // stores its record. Returns the new row's index, or -1 for a wrong number of texts or when
    // no column exists.
    int AppendRow(const QStringList& texts);

    // Renames a column's heading (a view whose column means something else now). False for a
    // column out of range.
    bool SetColumnHeading(int column, const QString& heading);

    // Appends rows as AppendRow does, all in one insertion (for long lists). Returns the index of
    // the first new row, or -1 (nothing added) when any row has a wrong number of texts.
    int AppendRows(const QList<QStringList>& rows);

    // Sets a cell and the record's copy of it. False for a row or column out of range. A row whose
    // record was released keeps no record: only the shown text changes.
    bool SetCellText(int row, int column, const QString& text);

    // Drops the row's record (callers do so right before removing the row). Until it goes, the
    // row sorts as if all its cells were empty. Out of range: nothing happens.
    void ReleaseRowRecord(int row);

    // Releases the row's record and removes the row. False for a row out of range.
    bool DeleteRow(int row);

    // Removes the rows (any order, duplicates and indexes out of range ignored): neighbouring rows
    // as one removal, scattered ones in one pass (one layout change, so a thousand rows spread
    // over a long list go at once). Selection and current row stay on the rows that remain; a
    // current row that goes moves to the nearest remaining row above, else below.
    void DeleteRows(QList<int> rows);

    // Drops every record, then every row. True.
    bool RemoveAllRows();

    // Clears rows, then fills it with the selected rows' indexes in ascending order; returns their
    // number.
    int ListSelectedRows(QList<int>& rows) const;

    int ColumnCount() const;
    int RowCount() const;
    // The text shown in a cell; "" out of range.
    QString CellText(int row, int column) const;
    // The row's record (its cell texts), so a dialog can tell which entry a row stands for; empty
    // when the row is out of range or its record was released.
    QStringList RowRecord(int row) const;

    // Column last sorted by (-1: never) and its direction.
    int SortColumn() const { return sortColumn_; }
    bool IsSortAscending() const { return ascending_; }

    // Headings that the user can drag into another order (the columns keep their indexes).
    void SetHeaderDragDrop(bool enabled);
    // A tooltip with the whole text of a cell that is too narrow to show it.
    void SetInfoTips(bool enabled) { infoTips_ = enabled; }
    // The tip for a point of the viewport: the cell's text when info tips are on and the cell
    // is too narrow for it, else empty.
    QString InfoTipAt(const QPoint& position) const;

    // Sorts as a click on the column's heading does, in the given direction.
    void SortByColumn(int column, bool ascending);

    // The column that takes the width the list has beyond the other columns' widths.
    void SetStretchColumn(int column);

  signals:
    // The current row moved to this row by a key (arrows, pages, type-ahead), as a click moves it.
    void RowChosenByKeyboard(int row);
    // Delete was pressed on the list; the dialog decides what to delete and asks first.
    void DeleteKeyPressed();
    // The rows were sorted: row indexes a dialog kept are stale.
    void RowsReordered();

  protected:
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // First click on a heading sorts ascending, a repeated click on it reverses the order.
    void OnHeadingClicked(int column);

    SortListModel* model_;
    int sortColumn_ = -1;
    bool ascending_ = true;
    bool infoTips_ = false;
};
