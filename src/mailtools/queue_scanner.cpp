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

QueueRow MakeQueueRow(const mailqueue::QueueEntryView& entry, bool finished, std::time_t now,
                      bool quarantined) {
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
                 FromUtf8(quarantined ? std::string("quarantined")
                          : finished  ? OutcomeText(entry)
                                      : NextTryText(entry.nextTry, now)),
                 answer};
    row.filterText = sender + QLatin1Char('\n') + recipients + QLatin1Char('\n') + answer;
    row.quarantined = quarantined;
    return row;
}

std::string QuarantineBeside(const std::string& oldDir) {
    std::string parent = oldDir;
    while (parent.size() > 1 && parent.back() == '/') {
        parent.pop_back();
    }
    const size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string(".") : parent.substr(0, slash);
    return parent + "/quarantine";
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
        quarantine_ =
            finished ? std::make_unique<QueueDirectoryIndex>(QuarantineBeside(dir.toStdString()))
                     : nullptr;
        indexGeneration_ = generation;
    }
    bool readable = true;
    bool done = Rescan(*index_, generation, finished, false, quarantine_ == nullptr, &readable);
    if (done && quarantine_) {
        done = Rescan(*quarantine_, generation, finished, true, true, &readable);
    }
    if (!done) {
        index_.reset();  // half read: the next scan of this view starts over
        quarantine_.reset();
    }
}

bool QueueScanner::Rescan(QueueDirectoryIndex& index, int generation, bool finished,
                          bool quarantined, bool final, bool* readable) {
    const std::time_t now = std::time(nullptr);
    bool stopped = false;
    index.Rescan(kChunkRows, [&](QueueDirectoryIndex::Changes changes, bool last) {
        if (wanted_ != generation) {
            stopped = true;
            return false;
        }
        QList<QueueRow> rows;
        rows.reserve(static_cast<qsizetype>(changes.changed.size()));
        for (const QueueEntryView& entry : changes.changed) {
            rows.append(MakeQueueRow(entry, finished, now, quarantined));
        }
        QList<quint32> removed(changes.removed.begin(), changes.removed.end());
        // The view's readable state is its main directory's: a missing quarantine is normal.
        if (last && !quarantined) {
            *readable = changes.readable;
        }
        emit Chunk(generation, rows, removed, last && final, *readable);
        return true;
    });
    return !stopped;
}
