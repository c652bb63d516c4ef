#include "mailtools/queue_scanner.h"

#include <QLocale>

const char* const kQueueColumns =
    "Id,70;Arrival time,135;Sender,170;Recipients,230;Size,70;Tries,45;Next try,175;"
    "Last answer,280;";

namespace {

using mailqueue::QueueDirectoryIndex;
using mailqueue::QueueEntryView;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

constexpr size_t kChunkRows = 2000;

}  // namespace

QueueRow MakeQueueRow(const mailqueue::QueueEntryView& entry, bool finished, std::time_t now) {
    QueueRow row;
    row.id = entry.id;
    const QString sender = FromUtf8(SenderText(entry));
    const QString recipients = FromUtf8(RecipientsText(entry));
    const QString answer = FromUtf8(entry.lastAnswer);
    row.cells = {QString::number(entry.id),
                 FromUtf8(entry.arrival),
                 sender,
                 recipients,
                 QString::number(entry.size),
                 QString::number(entry.tries),
                 FromUtf8(finished ? OutcomeText(entry) : NextTryText(entry.nextTry, now)),
                 answer};
    row.filterText = sender + QLatin1Char('\n') + recipients + QLatin1Char('\n') + answer;
    return row;
}

bool RowMatchesFilter(const QueueRow& row, const QString& filter) {
    return filter.isEmpty() || row.filterText.contains(filter, Qt::CaseInsensitive);
}

QueueScanner::QueueScanner() {
    qRegisterMetaType<QList<QueueRow>>();
    qRegisterMetaType<QList<quint32>>();
}

QueueScanner::~QueueScanner() = default;

void QueueScanner::Scan(int generation, const QString& dir, bool finished) {
    if (generation != wanted_) {
        return;
    }
    if (!index_ || indexGeneration_ != generation) {
        index_ = std::make_unique<QueueDirectoryIndex>(dir.toStdString());
        indexGeneration_ = generation;
    }
    const std::time_t now = std::time(nullptr);
    bool stopped = false;
    index_->Rescan(kChunkRows, [&](QueueDirectoryIndex::Changes changes, bool last) {
        if (wanted_ != generation) {
            stopped = true;
            return false;
        }
        QList<QueueRow> rows;
        rows.reserve(static_cast<qsizetype>(changes.changed.size()));
        for (const QueueEntryView& entry : changes.changed) {
            rows.append(MakeQueueRow(entry, finished, now));
        }
        QList<quint32> removed(changes.removed.begin(), changes.removed.end());
        emit Chunk(generation, rows, removed, last, changes.readable);
        return true;
    });
    if (stopped) {
        index_.reset();  // half read: the next scan of this view starts over
    }
}
