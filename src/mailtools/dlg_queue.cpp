#include "mailtools/dlg_queue.h"

#include <QDir>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "common/mail_queue.h"
#include "common/utilities.h"
#include "controls/sort_list_ctrl.h"
#include "mailtools/arrival_results.h"
#include "mailtools/mail_widgets.h"
#include "mailtools/queue_diagnose_copy.h"
#include "tables/table_messages.h"

using mailwidgets::FromUtf8;
using mailwidgets::MakeButton;
using mailwidgets::Utf8;
using mailwidgets::Warn;

namespace {

QString MailCount(qsizetype n) {
    return n == 1 ? QStringLiteral("1 mail") : QStringLiteral("%1 mails").arg(n);
}

QString AppSubdirectory(const char* name) {
    return FromUtf8(AppFilePath(std::string_view(name)));
}

// At most this many reasons are listed in one warning.
constexpr int kShownErrors = 10;

}  // namespace

CDlgQueue::CDlgQueue(QWidget* parent, QString queueDir, QString oldDir)
    : QDialog(parent),
      queueDir_(queueDir.isEmpty() ? AppSubdirectory("queue") : std::move(queueDir)),
      oldDir_(oldDir.isEmpty() ? AppSubdirectory("old") : std::move(oldDir)),
      ask_(ConfirmDeletion),
      notice_(Warn) {
    setObjectName(QStringLiteral("CDlgQueue"));
    setWindowTitle(QStringLiteral("Mail queue"));
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    BuildWidgets();

    scanner_ = new QueueScanner;
    scanner_->moveToThread(&scanThread_);
    connect(&scanThread_, &QThread::finished, scanner_, &QObject::deleteLater);
    connect(scanner_, &QueueScanner::Chunk, this, &CDlgQueue::ApplyChunk, Qt::QueuedConnection);
    scanThread_.setObjectName(QStringLiteral("queue scan"));
    scanThread_.start(QThread::LowPriority);
    changes_.setMaxThreadCount(1);

    settle_.setSingleShot(true);
    connect(&settle_, &QTimer::timeout, this, &CDlgQueue::StartScan);
    safety_.setInterval(kSafetyRescanMs);
    connect(&safety_, &QTimer::timeout, this, &CDlgQueue::RequestScan);
    safety_.start();
    filterSettle_.setSingleShot(true);
    filterSettle_.setInterval(200);
    connect(&filterSettle_, &QTimer::timeout, this, [this] {
        if (filterEdit_->text() != filter_) {
            filter_ = filterEdit_->text();
            RebuildList();
        }
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &CDlgQueue::RequestScan);
    StartNewView();
}

CDlgQueue::~CDlgQueue() {
    scanner_->Want(-1);
    scanThread_.quit();
    scanThread_.wait();
    // Changes under way finish (each is a few file operations); their results are dropped.
    changes_.waitForDone();
}

void CDlgQueue::BuildWidgets() {
    waitingButton_ = new QRadioButton(QStringLiteral("&Waiting"), this);
    waitingButton_->setObjectName(QStringLiteral("WaitingButton"));
    waitingButton_->setChecked(true);
    finishedButton_ = new QRadioButton(QStringLiteral("&Finished"), this);
    finishedButton_->setObjectName(QStringLiteral("FinishedButton"));
    filterEdit_ = new QLineEdit(this);
    filterEdit_->setObjectName(QStringLiteral("FilterEdit"));
    filterEdit_->setPlaceholderText(QStringLiteral("sender, recipient or answer"));
    filterEdit_->setClearButtonEnabled(true);
    auto* filterLabel = new QLabel(QStringLiteral("Fil&ter"), this);
    filterLabel->setBuddy(filterEdit_);
    countLabel_ = new QLabel(this);
    countLabel_->setObjectName(QStringLiteral("CountLabel"));
    countLabel_->setMinimumWidth(180);
    countLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* top = new QHBoxLayout;
    top->addWidget(waitingButton_);
    top->addWidget(finishedButton_);
    top->addSpacing(16);
    top->addWidget(filterLabel);
    top->addWidget(filterEdit_, 1);
    top->addWidget(countLabel_);

    list_ = new CSortListCtrl(this);
    list_->setObjectName(QStringLiteral("QueueList"));
    list_->DefineColumns(QString::fromLatin1(kQueueColumns));
    list_->SetInfoTips(true);
    list_->setMinimumSize(640, 240);
    list_->SetStretchColumn(kAnswerColumn);

    retryButton_ = MakeButton(QStringLiteral("&Retry now"), "RetryButton", this);
    deleteButton_ = MakeButton(QStringLiteral("&Delete"), "DeleteButton", this);
    diagnoseButton_ = MakeButton(QStringLiteral("Dia&gnose"), "DiagnoseButton", this);
    openButton_ = MakeButton(QStringLiteral("&Open"), "OpenButton", this);
    auto* close = MakeButton(QStringLiteral("&Close"), "CloseButton", this);
    for (QPushButton* button : {retryButton_, deleteButton_, diagnoseButton_, openButton_, close}) {
        button->setAutoDefault(false);
    }
    actionLabel_ = new QLabel(this);
    actionLabel_->setObjectName(QStringLiteral("ActionLabel"));
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(retryButton_);
    bottom->addWidget(deleteButton_);
    bottom->addWidget(diagnoseButton_);
    bottom->addWidget(openButton_);
    bottom->addSpacing(12);
    bottom->addWidget(actionLabel_, 1);
    bottom->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(list_, 1);
    layout->addLayout(bottom);

    connect(finishedButton_, &QRadioButton::toggled, this, &CDlgQueue::ShowFinished);
    connect(filterEdit_, &QLineEdit::textChanged, this, [this] { filterSettle_.start(); });
    connect(retryButton_, &QPushButton::clicked, this, &CDlgQueue::RetrySelected);
    connect(deleteButton_, &QPushButton::clicked, this, &CDlgQueue::DeleteSelected);
    connect(diagnoseButton_, &QPushButton::clicked, this, &CDlgQueue::DiagnoseSelected);
    connect(openButton_, &QPushButton::clicked, this, &CDlgQueue::OpenSelected);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &CSortListCtrl::DeleteKeyPressed, this, [this] {
        if (!finished_) {
            DeleteSelected();
        }
    });
    connect(list_, &QAbstractItemView::doubleClicked, this, &CDlgQueue::OpenSelected);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CDlgQueue::UpdateButtons);
    connect(list_, &CSortListCtrl::RowsReordered, this, &CDlgQueue::RebuildRowIndex);
    UpdateButtons();
    resize(1200, 520);
}

void CDlgQueue::done(int result) {
    if (!pendingIds_.isEmpty()) {
        closeWhenChangesEnd_ = result;
        hide();
        return;
    }
    QDialog::done(result);
}

void CDlgQueue::showEvent(QShowEvent* event) {
    closeWhenChangesEnd_.reset();
    QDialog::showEvent(event);
}

QString CDlgQueue::Directory() const {
    return finished_ ? oldDir_ : queueDir_;
}

QString CDlgQueue::DirectoryOf(quint32 id) const {
    const auto entry = entries_.find(id);
    if (finished_ && entry != entries_.end() && entry->second.quarantined) {
        return FromUtf8(QuarantineBeside(Utf8(oldDir_)));
    }
    return Directory();
}

void CDlgQueue::ShowFinished(bool finished) {
    if (finished != finishedButton_->isChecked()) {
        // The other button is checked, since an exclusive radio button ignores being unchecked;
        // the toggle comes back here.
        (finished ? finishedButton_ : waitingButton_)->setChecked(true);
        return;
    }
    if (finished == finished_) {
        return;
    }
    finished_ = finished;
    tally_ = Tally{};
    actionLabel_->clear();  // it told of the other view's mails
    list_->SetColumnHeading(kNextTryColumn,
                            finished ? QStringLiteral("Outcome") : QStringLiteral("Next try"));
    StartNewView();
}

void CDlgQueue::SetFilter(const QString& text) {
    filterEdit_->setText(text);
    filterSettle_.stop();
    if (text != filter_) {
        filter_ = text;
        RebuildList();
    }
}

void CDlgQueue::StartNewView() {
    ++generation_;
    scanner_->Want(generation_);
    entries_.clear();
    rowOf_.clear();
    list_->RemoveAllRows();
    loaded_ = false;
    scanning_ = false;
    rescanDue_ = false;
    WatchDirectory();
    StartScan();
}

void CDlgQueue::WatchDirectory() {
    if (!watcher_.directories().isEmpty()) {
        watcher_.removePaths(watcher_.directories());
    }
    // A directory made later (the engine creates queue/ and old/ when it starts) is picked up by
    // the safety rescan, which watches it from then on.
    if (QDir(Directory()).exists()) {
        watcher_.addPath(Directory());
    }
}

void CDlgQueue::RequestScan() {
    if (watcher_.directories().isEmpty()) {
        WatchDirectory();
    }
    if (scanning_) {
        rescanDue_ = true;
        return;
    }
    if (settle_.isActive()) {
        return;
    }
    // Bursts of changes (a thousand arrivals a second) are read together, at most every
    // kMinScanGapMs.
    qint64 gap = sinceScan_.isValid() ? sinceScan_.elapsed() : kMinScanGapMs;
    settle_.start(static_cast<int>(std::max<qint64>(kSettleMs, kMinScanGapMs - gap)));
}

void CDlgQueue::StartScan() {
    if (scanning_) {
        rescanDue_ = true;
        return;
    }
    scanning_ = true;
    rescanDue_ = false;
    sinceScan_.start();
    UpdateCounts();
    QMetaObject::invokeMethod(scanner_, "Scan", Qt::QueuedConnection, Q_ARG(int, generation_),
                              Q_ARG(QString, Directory()), Q_ARG(bool, finished_));
}

void CDlgQueue::ApplyChunk(int generation, const QList<QueueRow>& rows,
                           const QList<quint32>& removed, bool last, bool readable) {
    if (generation != generation_) {
        return;
    }
    QList<int> dropRows;
    QList<QStringList> appendCells;
    QList<quint32> appendIds;
    for (const QueueRow& row : rows) {
        entries_[row.id] = row;
        const bool show = RowMatchesFilter(row, filter_);
        const int shownAt = rowOf_.value(row.id, -1);
        if (shownAt >= 0 && show) {
            for (int column = 0; column < kQueueColumnCount; ++column) {
                if (list_->CellText(shownAt, column) != row.cells[column]) {
                    list_->SetCellText(shownAt, column, row.cells[column]);
                }
            }
        } else if (shownAt >= 0) {
            dropRows.append(shownAt);
        } else if (show) {
            appendCells.append(row.cells);
            appendIds.append(row.id);
        }
    }
    for (quint32 id : removed) {
        entries_.erase(id);
        if (const int shownAt = rowOf_.value(id, -1); shownAt >= 0) {
            dropRows.append(shownAt);
        }
    }
    if (!dropRows.isEmpty()) {
        list_->DeleteRows(dropRows);
        RebuildRowIndex();
    }
    if (!appendCells.isEmpty()) {
        const int first = list_->AppendRows(appendCells);
        for (int i = 0; i < appendIds.size(); ++i) {
            rowOf_.insert(appendIds[i], first + i);
        }
    }
    if (last) {
        scanning_ = false;
        loaded_ = true;
        readable_ = readable;
        if (rescanDue_) {
            rescanDue_ = false;
            RequestScan();
        }
    }
    UpdateCounts();
    if (last) {
        UpdateActionText();
        emit ScanApplied();
    }
}

void CDlgQueue::RebuildRowIndex() {
    rowOf_.clear();
    const int rows = list_->RowCount();
    rowOf_.reserve(rows);
    for (int row = 0; row < rows; ++row) {
        rowOf_.insert(list_->CellText(row, kIdColumn).toUInt(), row);
    }
}

void CDlgQueue::RebuildList() {
    const QList<quint32> selected = SelectedIds();
    list_->RemoveAllRows();
    rowOf_.clear();
    QList<QStringList> cells;
    for (const auto& [id, row] : entries_) {
        if (RowMatchesFilter(row, filter_)) {
            rowOf_.insert(id, static_cast<int>(cells.size()));
            cells.append(row.cells);
        }
    }
    if (!cells.isEmpty()) {
        list_->AppendRows(cells);
    }
    // The order the user chose stays.
    if (list_->SortColumn() >= 0) {
        list_->SortByColumn(list_->SortColumn(), list_->IsSortAscending());
    }
    SelectIds(selected);
    UpdateCounts();
}

QList<quint32> CDlgQueue::SelectedIds() const {
    QList<int> rows;
    list_->ListSelectedRows(rows);
    QList<quint32> ids;
    ids.reserve(rows.size());
    for (int row : rows) {
        ids.append(list_->CellText(row, kIdColumn).toUInt());
    }
    return ids;
}

void CDlgQueue::SelectIds(const QList<quint32>& ids) {
    QItemSelection selection;
    for (quint32 id : ids) {
        const int row = RowOf(id);
        if (row >= 0) {
            selection.select(list_->model()->index(row, 0),
                             list_->model()->index(row, kQueueColumnCount - 1));
        }
    }
    list_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void CDlgQueue::UpdateButtons() {
    const bool any = list_->selectionModel()->hasSelection();
    retryButton_->setEnabled(any && !finished_);
    deleteButton_->setEnabled(any && !finished_);
    diagnoseButton_->setEnabled(any);
    openButton_->setEnabled(any);
}

QString CDlgQueue::CountText() const {
    return countLabel_->text();
}

QString CDlgQueue::ActionText() const {
    return actionLabel_->text();
}

void CDlgQueue::UpdateCounts() {
    QString text;
    if (!readable_ && loaded_) {
        text = QStringLiteral("%1 cannot be read").arg(QDir::toNativeSeparators(Directory()));
    } else {
        const qsizetype all = static_cast<qsizetype>(entries_.size());
        text =
            MailCount(all) + (finished_ ? QStringLiteral(" finished") : QStringLiteral(" waiting"));
        if (!filter_.isEmpty()) {
            text = QStringLiteral("%1 of %2 shown").arg(list_->RowCount()).arg(text);
        }
        if (!loaded_) {
            text += QStringLiteral(", reading...");
        }
    }
    countLabel_->setText(text);
    UpdateButtons();
}

void CDlgQueue::RetrySelected() {
    const QList<quint32> ids = SelectedIds();
    if (finished_ || ids.isEmpty()) {
        return;
    }
    tally_ = Tally{};
    tally_.change = Change::kRetry;
    RunChange(Change::kRetry, ids);
}

QString CDlgQueue::NamedMails(const QList<quint32>& ids) const {
    constexpr qsizetype kNamed = 3;
    QStringList named;
    for (quint32 id : ids.mid(0, kNamed)) {
        const auto entry = entries_.find(id);
        if (entry == entries_.end()) {
            named << QStringLiteral("mail %1").arg(id);
            continue;
        }
        const QStringList& cells = entry->second.cells;
        // The recipients cell lists "address (state)" entries; the first address names the mail.
        const QString first = cells[kRecipientsColumn].section(QStringLiteral(" ("), 0, 0);
        named << QStringLiteral("mail %1 (from %2 to %3)").arg(id).arg(cells[kSenderColumn], first);
    }
    if (ids.size() > kNamed) {
        return named.join(QStringLiteral(", ")) +
               QStringLiteral(" and %1 more").arg(ids.size() - kNamed);
    }
    if (named.size() > 1) {
        const QString last = named.takeLast();
        return named.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    }
    return named.join(QString());
}

void CDlgQueue::DeleteSelected() {
    const QList<quint32> ids = SelectedIds();
    if (finished_ || ids.isEmpty()) {
        return;
    }
    const QString question =
        QStringLiteral("Delete %1 from the queue? %2 not be sent, and the sender is not told.")
            .arg(NamedMails(ids),
                 ids.size() == 1 ? QStringLiteral("It will") : QStringLiteral("They will"));
    if (!ask_(this, question)) {
        return;
    }
    tally_ = Tally{};
    tally_.change = Change::kDelete;
    RunChange(Change::kDelete, ids);
}

void CDlgQueue::RunChange(Change change, const QList<quint32>& ids) {
    for (quint32 id : ids) {
        if (!pendingIds_.contains(id)) {
            pendingIds_.append(id);
        }
    }
    const std::string queueDir = Utf8(queueDir_);
    const std::string oldDir = Utf8(oldDir_);
    changes_.start([this, change, ids, queueDir, oldDir] {
        ChangeResults results;
        results.change = change;
        for (quint32 id : ids) {
            std::string error;
            const mailqueue::OperatorOutcome outcome =
                change == Change::kRetry ? mailqueue::RetryNow(queueDir, id, &error)
                                         : mailqueue::DeleteQueued(queueDir, oldDir, id, &error);
            switch (outcome) {
                case mailqueue::OperatorOutcome::kDone:
                    results.done.append(id);
                    break;
                case mailqueue::OperatorOutcome::kBusy:
                    results.busy.append(id);
                    break;
                case mailqueue::OperatorOutcome::kGone:
                    results.gone.append(id);
                    break;
                case mailqueue::OperatorOutcome::kFinished:
                    results.finished.append(id);
                    break;
                case mailqueue::OperatorOutcome::kFailed:
                    results.failed.append(id);
                    results.errors.append(
                        QStringLiteral("Mail %1: %2").arg(id).arg(FromUtf8(error)));
                    break;
            }
        }
        // The destructor waits for this task, so the dialog is still there.
        QMetaObject::invokeMethod(
            this, [this, results] { ChangeDone(results); }, Qt::QueuedConnection);
    });
}

void CDlgQueue::UpdateActionText() {
    QStringList parts;
    // A retried mail is told as waiting only while the view still lists it: it leaves the queue
    // once sent or given up.
    qsizetype waiting = 0;
    for (quint32 id : tally_.done) {
        waiting += entries_.count(id) != 0 ? 1 : 0;
    }
    const qsizetype left = tally_.done.size() - waiting;
    if (tally_.change == Change::kDelete && !tally_.done.isEmpty()) {
        parts << QStringLiteral("%1 deleted").arg(MailCount(tally_.done.size()));
    } else if (tally_.change == Change::kRetry) {
        if (waiting > 0) {
            parts << QStringLiteral("%1 to be sent now").arg(MailCount(waiting));
        }
        if (left > 0) {
            parts << QStringLiteral("%1 left the queue since").arg(MailCount(left));
        }
    }
    if (tally_.gone > 0) {
        parts << QStringLiteral("%1 had already left the queue").arg(MailCount(tally_.gone));
    }
    if (tally_.finished > 0) {
        parts << QStringLiteral("%1 had nothing left to send").arg(MailCount(tally_.finished));
    }
    if (!pendingIds_.isEmpty()) {
        parts << QStringLiteral("%1 being delivered, waiting").arg(MailCount(pendingIds_.size()));
    }
    if (parts.isEmpty()) {
        return;
    }
    QString text = parts.join(QStringLiteral("; ")) + QLatin1Char('.');
    // A relvoserver on the same directory may still send them; this console cannot.
    if (tally_.change == Change::kRetry && waiting > 0 && sendRunning_ && !sendRunning_()) {
        text += QStringLiteral(" This console's SEND service is stopped.");
    }
    actionLabel_->setText(text);
}

void CDlgQueue::ChangeDone(const ChangeResults& results) {
    const bool retry = results.change == Change::kRetry;
    if (results.change == tally_.change) {
        tally_.done += results.done;
        tally_.gone += results.gone.size();
        tally_.finished += results.finished.size();
    }
    if (!results.busy.isEmpty()) {
        // Its delivery is under way: the change is made once that try has ended, and the mail is
        // then either finished by it or changed, never both.
        QTimer::singleShot(
            kBusyRetryMs, this,
            [this, change = results.change, busy = results.busy] { RunChange(change, busy); });
    }
    for (quint32 id : results.done + results.gone + results.finished + results.failed) {
        pendingIds_.removeAll(id);
    }
    QStringList failed = results.errors;
    UpdateActionText();
    RequestScan();
    if (!failed.isEmpty()) {
        const qsizetype more = failed.size() - kShownErrors;
        failed = failed.mid(0, kShownErrors);
        if (more > 0) {
            failed << QStringLiteral("... and %1 more").arg(more);
        }
        notice_(this, (retry ? QStringLiteral("Some mails could not be retried:\n")
                             : QStringLiteral("Some mails could not be deleted:\n")) +
                          failed.join(QLatin1Char('\n')));
    }
    if (pendingIds_.isEmpty()) {
        emit ChangesFinished();
        if (closeWhenChangesEnd_) {
            QDialog::done(*std::exchange(closeWhenChangesEnd_, std::nullopt));
        }
    }
}

void CDlgQueue::DiagnoseSelected() {
    const QList<quint32> ids = SelectedIds();
    if (ids.isEmpty()) {
        return;
    }
    std::string path;
    std::string error;
    if (!CopyForDiagnose(Utf8(DirectoryOf(ids.front())), ids.front(), &path, &error)) {
        notice_(this, QStringLiteral("Mail %1 cannot be diagnosed: %2")
                          .arg(ids.front())
                          .arg(FromUtf8(error)));
        return;
    }
    if (diagnose_) {
        diagnose_(this, FromUtf8(path));
    }
}

void CDlgQueue::OpenSelected() {
    const QList<quint32> ids = SelectedIds();
    if (!ids.isEmpty()) {
        ShowMessage(ids.front());
    }
}

void CDlgQueue::ShowMessage(quint32 id) {
    std::string text;
    bool whole = false;
    std::string error;
    if (!mailqueue::ReadMessage(Utf8(DirectoryOf(id)), id, kMaxShownMessage, &text, &whole,
                                &error)) {
        notice_(this, QStringLiteral("Mail %1 cannot be shown: %2").arg(id).arg(FromUtf8(error)));
        return;
    }
    auto* window = new QDialog(this);
    window->setObjectName(QStringLiteral("MessageWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Mail %1").arg(id));
    auto* view = new QPlainTextEdit(window);
    view->setObjectName(QStringLiteral("MessageText"));
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::Monospace);
    view->setFont(font);
    view->setPlainText(FromUtf8(text));
    auto* layout = new QVBoxLayout(window);
    const std::string results = ArrivalResultsText(ArrivalResults(text));
    if (!results.empty()) {
        auto* label = new QLabel(FromUtf8(results), window);
        label->setObjectName(QStringLiteral("ArrivalResults"));
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(label);
    }
    if (!whole) {
        layout->addWidget(new QLabel(
            QStringLiteral("Only the first %1 MiB are shown.").arg(kMaxShownMessage >> 20),
            window));
    }
    layout->addWidget(view);
    auto* close = MakeButton(QStringLiteral("&Close"), "CloseButton", window);
    connect(close, &QPushButton::clicked, window, &QDialog::close);
    layout->addWidget(close, 0, Qt::AlignRight);
    window->resize(780, 540);
    window->show();
}
