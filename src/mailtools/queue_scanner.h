// The queue view's rows and the worker that reads them: a directory (queue/ or old/) is rescanned
// on a thread of its own and only the rows that changed come back, in chunks, to the UI thread.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <ctime>
#include <memory>

#include "common/queue_scan.h"
#include "mailtools/queue_text.h"

// The list's columns, in CSortListCtrl's description form.
extern const char* const kQueueColumns;
enum QueueColumn {
    kIdColumn,
    kArrivalColumn,
    kSenderColumn,
    kRecipientsColumn,
    kSizeColumn,
    kTriesColumn,
    kNextTryColumn,
    kAnswerColumn,
    kQueueColumnCount
};

struct QueueRow {
    quint32 id = 0;
    QStringList cells;
    QString filterText;  // sender, recipients and last answer, for the filter
};

// finished: the row of a mail in old/, whose next-try cell tells how it ended.
QueueRow MakeQueueRow(const mailqueue::QueueEntryView& entry, bool finished, std::time_t now);
// Whether the row's sender, recipients or last answer contain the filter (ignoring case).
bool RowMatchesFilter(const QueueRow& row, const QString& filter);

class QueueScanner final : public QObject {
    Q_OBJECT

  public:
    QueueScanner();
    ~QueueScanner() override;

    // Any thread: scans of an older generation stop at their next chunk.
    void Want(int generation) { wanted_ = generation; }

  public slots:
    // Rescans dir; a new generation starts from an empty index (everything comes as new).
    void Scan(int generation, const QString& dir, bool finished);

  signals:
    void Chunk(int generation, const QList<QueueRow>& rows, const QList<quint32>& removed,
               bool last, bool readable);

  private:
    std::unique_ptr<mailqueue::QueueDirectoryIndex> index_;
    int indexGeneration_ = -1;
    std::atomic<int> wanted_{0};
};
