#include "controls/sort_list_ctrl.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "controls/list_compare.h"

// Rows of the list: the texts shown and the record sorting reads. Kept apart so that the record's
// lifetime (released before a row goes) follows the dialogs' usage.
class SortListModel final : public QAbstractTableModel {
  public:
    struct Row {
        QStringList cells;
        std::optional<QStringList> record;
    };

    explicit SortListModel(QObject* parent) : QAbstractTableModel(parent) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(headings_.size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!HasCell(index.row(), index.column())) {
            return {};
        }
        if (role == Qt::DisplayRole) {
            return rows_[static_cast<std::size_t>(index.row())].cells[index.column()];
        }
        if (role == Qt::TextAlignmentRole) {
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || section < 0 || section >= headings_.size()) {
            return {};
        }
        if (role == Qt::DisplayRole) {
            return headings_[section];
        }
        if (role == Qt::TextAlignmentRole) {
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        }
        return {};
    }

    bool HasRow(int row) const { return row >= 0 && row < static_cast<int>(rows_.size()); }
    bool HasCell(int row, int column) const {
        return HasRow(row) && column >= 0 && column < headings_.size();
    }
    int ColumnCount() const { return static_cast<int>(headings_.size()); }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    const Row& RowAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }

    void AddColumns(const QList<ListColumnSpec>& columns) {
        if (columns.isEmpty()) {
            return;
        }
        const int first = ColumnCount();
        beginInsertColumns({}, first, first + static_cast<int>(columns.size()) - 1);
        for (const ListColumnSpec& column : columns) {
            headings_.append(column.heading);
        }
        // Records always hold one text per column, so sorting a new column reads no further.
        for (Row& row : rows_) {
            row.cells.resize(headings_.size());
            if (row.record) {
                row.record->resize(headings_.size());
            }
        }
        endInsertColumns();
    }

    int Append(const QStringList& texts) {
        const int row = RowCount();
        beginInsertRows({}, row, row);
        rows_.push_back({texts, texts});
        endInsertRows();
        return row;
    }

    void SetHeading(int column, const QString& heading) {
        headings_[column] = heading;
        emit headerDataChanged(Qt::Horizontal, column, column);
    }

    int AppendAll(const QList<QStringList>& texts) {
        const int first = RowCount();
        beginInsertRows({}, first, first + static_cast<int>(texts.size()) - 1);
        // Growing by at least half keeps repeated appends (a long list filled in chunks) from
        // moving every row each time, as an exact reserve would.
        const std::size_t needed = rows_.size() + static_cast<std::size_t>(texts.size());
        if (needed > rows_.capacity()) {
            rows_.reserve(std::max(needed, rows_.capacity() + rows_.capacity() / 2));
        }
        for (const QStringList& row : texts) {
            rows_.push_back({row, row});
        }
        endInsertRows();
        return first;
    }

    // Removes rows [first, last].
    void RemoveRange(int first, int last) {
        beginRemoveRows({}, first, last);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
    }

    // Removes the rows at the given ascending, distinct, valid indexes in one pass and one layout
    // change; persistent indexes of removed rows become invalid. One removal per run would move
    // every row below each run again: seconds for a thousand scattered rows of a long list.
    void RemoveSorted(const QList<int>& sorted) {
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        std::vector<int> newRowOf(rows_.size(), -1);
        std::size_t kept = 0;
        auto removed = sorted.begin();
        for (std::size_t row = 0; row < rows_.size(); ++row) {
            if (removed != sorted.end() && static_cast<std::size_t>(*removed) == row) {
                ++removed;
                continue;
            }
            newRowOf[row] = static_cast<int>(kept);
            if (kept != row) {
                rows_[kept] = std::move(rows_[row]);
            }
            ++kept;
        }
        rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(kept), rows_.end());
        MovePersistentIndexes(newRowOf);
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    void SetCell(int row, int column, const QString& text) {
        Row& target = rows_[static_cast<std::size_t>(row)];
        target.cells[column] = text;
        if (target.record) {
            (*target.record)[column] = text;
        }
        const QModelIndex cell = index(row, column);
        emit dataChanged(cell, cell, {Qt::DisplayRole});
    }

    void ReleaseRecord(int row) { rows_[static_cast<std::size_t>(row)].record.reset(); }

    void Remove(int row) {
        beginRemoveRows({}, row, row);
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
    }

    void Clear() {
        beginResetModel();
        rows_.clear();
        endResetModel();
    }

    void SortBy(int column, bool ascending, const QCollator& collator) {
        static const QString kNoRecord;
        auto key = [&](int row) -> const QString& {
            const auto& record = rows_[static_cast<std::size_t>(row)].record;
            return record ? (*record)[column] : kNoRecord;
        };
        Reorder(SortedRowOrder(RowCount(), [&](int x, int y) {
            return CompareListCells(key(x), key(y), ascending, collator);
        }));
    }

  private:
    // order[newRow] = oldRow. One layout change moves every row; selection and current row follow
    // their rows through the persistent indexes.
    void Reorder(const std::vector<int>& order) {
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        std::vector<int> newRowOf(order.size());
        std::vector<Row> sorted;
        sorted.reserve(order.size());
        for (std::size_t position = 0; position < order.size(); ++position) {
            newRowOf[static_cast<std::size_t>(order[position])] = static_cast<int>(position);
            sorted.push_back(std::move(rows_[static_cast<std::size_t>(order[position])]));
        }
        rows_ = std::move(sorted);
        MovePersistentIndexes(newRowOf);
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    // newRowOf[oldRow] = newRow, or -1 for a row that is gone.
    void MovePersistentIndexes(const std::vector<int>& newRowOf) {
        const QModelIndexList from = persistentIndexList();
        QModelIndexList to;
        to.reserve(from.size());
        for (const QModelIndex& old : from) {
            const int row = newRowOf[static_cast<std::size_t>(old.row())];
            to.append(row < 0 ? QModelIndex() : index(row, old.column()));
        }
        changePersistentIndexList(from, to);
    }

    QStringList headings_;
    std::vector<Row> rows_;
};

CSortListCtrl::CSortListCtrl(QWidget* parent) : QTreeView(parent), model_(new SortListModel(this)) {
    setModel(model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    QHeaderView* heading = header();
    heading->setSectionsClickable(true);
    heading->setSortIndicatorShown(false);
    heading->setSectionsMovable(false);
    heading->setStretchLastSection(false);
    heading->setMinimumSectionSize(0);
    heading->setDefaultAlignment(Qt::AlignCenter);
    connect(heading, &QHeaderView::sectionClicked, this, &CSortListCtrl::OnHeadingClicked);
}

CSortListCtrl::~CSortListCtrl() = default;

bool CSortListCtrl::DefineColumns(const QString& description) {
    const int first = model_->ColumnCount();
    const QList<ListColumnSpec> columns =
        ParseColumnDescription(description, kMaxListColumns - first);
    model_->AddColumns(columns);
    for (int i = 0; i < columns.size(); ++i) {
        header()->resizeSection(first + i, columns[i].width);
    }
    return true;
}

int CSortListCtrl::AppendRow(const QStringList& texts) {
    if (model_->ColumnCount() == 0 || texts.size() != model_->ColumnCount()) {
        return -1;
    }
    return model_->Append(texts);
}

bool CSortListCtrl::SetColumnHeading(int column, const QString& heading) {
    if (column < 0 || column >= model_->ColumnCount()) {
        return false;
    }
    model_->SetHeading(column, heading);
    return true;
}

int CSortListCtrl::AppendRows(const QList<QStringList>& rows) {
    const int columns = model_->ColumnCount();
    if (rows.isEmpty() || columns == 0 ||
        std::any_of(rows.begin(), rows.end(),
                    [columns](const QStringList& texts) { return texts.size() != columns; })) {
        return -1;
    }
    return model_->AppendAll(rows);
}

void CSortListCtrl::DeleteRows(QList<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    rows.erase(
        std::remove_if(rows.begin(), rows.end(), [this](int row) { return !model_->HasRow(row); }),
        rows.end());
    if (rows.isEmpty()) {
        return;
    }
    if (rows.back() - rows.front() + 1 == rows.size()) {
        model_->RemoveRange(rows.front(), rows.back());
        return;
    }
    // Scattered rows go in one pass. Selection and current row first leave the rows that go, as
    // one removal per run would have moved them, so the view tells the same changes.
    auto removed = [&rows](int row) { return std::binary_search(rows.begin(), rows.end(), row); };
    QItemSelectionModel* selection = selectionModel();
    QItemSelection leaving;
    for (int row : rows) {
        if (selection->rowIntersectsSelection(row, {})) {
            leaving.select(model_->index(row, 0), model_->index(row, model_->ColumnCount() - 1));
        }
    }
    if (!leaving.isEmpty()) {
        selection->select(leaving, QItemSelectionModel::Deselect);
    }
    if (const QModelIndex current = selection->currentIndex();
        current.isValid() && removed(current.row())) {
        // The nearest remaining row above, else below.
        int to = current.row() - 1;
        while (to >= 0 && removed(to)) {
            --to;
        }
        if (to < 0) {
            to = current.row() + 1;
            while (to < model_->RowCount() && removed(to)) {
                ++to;
            }
        }
        if (to < model_->RowCount()) {
            selection->setCurrentIndex(model_->index(to, current.column()),
                                       QItemSelectionModel::NoUpdate);
        }
    }
    model_->RemoveSorted(rows);
}

bool CSortListCtrl::SetCellText(int row, int column, const QString& text) {
    if (!model_->HasCell(row, column)) {
        return false;
    }
    model_->SetCell(row, column, text);
    return true;
}

void CSortListCtrl::ReleaseRowRecord(int row) {
    if (model_->HasRow(row)) {
        model_->ReleaseRecord(row);
    }
}

bool CSortListCtrl::DeleteRow(int row) {
    if (!model_->HasRow(row)) {
        return false;
    }
    model_->ReleaseRecord(row);
    model_->Remove(row);
    return true;
}

bool CSortListCtrl::RemoveAllRows() {
    model_->Clear();
    return true;
}

int CSortListCtrl::ListSelectedRows(QList<int>& rows) const {
    rows.clear();
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            rows.append(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return static_cast<int>(rows.size());
}

int CSortListCtrl::ColumnCount() const {
    return model_->ColumnCount();
}

int CSortListCtrl::RowCount() const {
    return model_->RowCount();
}

QString CSortListCtrl::CellText(int row, int column) const {
    return model_->HasCell(row, column) ? model_->RowAt(row).cells[column] : QString();
}

QStringList CSortListCtrl::RowRecord(int row) const {
    if (!model_->HasRow(row) || !model_->RowAt(row).record) {
        return {};
    }
    return *model_->RowAt(row).record;
}

void CSortListCtrl::OnHeadingClicked(int column) {
    SortByColumn(column, column != sortColumn_ ? true : !ascending_);
}

void CSortListCtrl::SortByColumn(int column, bool ascending) {
    if (column < 0 || column >= ColumnCount()) {
        return;
    }
    ascending_ = ascending;
    sortColumn_ = column;
    // Collated afresh each time, so the order follows the locale the user has now.
    model_->SortBy(column, ascending_, ListTextCollator());
    emit RowsReordered();
}

void CSortListCtrl::SetStretchColumn(int column) {
    if (column >= 0 && column < ColumnCount()) {
        header()->setSectionResizeMode(column, QHeaderView::Stretch);
    }
}

void CSortListCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
        emit DeleteKeyPressed();
        return;
    }
    const QModelIndex before = currentIndex();
    QTreeView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after.row() != before.row()) {
        emit RowChosenByKeyboard(after.row());
    }
}

void CSortListCtrl::SetHeaderDragDrop(bool enabled) {
    header()->setSectionsMovable(enabled);
}

QString CSortListCtrl::InfoTipAt(const QPoint& position) const {
    QModelIndex index = indexAt(position);
    if (!infoTips_ || !index.isValid()) {
        return {};
    }
    QString text = index.data(Qt::DisplayRole).toString();
    // The margin the style leaves on either side of a cell's text.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    bool cut = fontMetrics().horizontalAdvance(text) + 2 * margin > visualRect(index).width();
    return cut ? text : QString();
}

bool CSortListCtrl::viewportEvent(QEvent* event) {
    if (event->type() != QEvent::ToolTip || !infoTips_) {
        return QTreeView::viewportEvent(event);
    }
    auto* help = static_cast<QHelpEvent*>(event);
    QString tip = InfoTipAt(help->pos());
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
    } else {
        QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(indexAt(help->pos())));
    }
    return true;
}
