// The queue view's rows and the worker that reads them: a directory (queue/, or old/ with the
// quarantine/ beside it) is rescanned on a thread of its own and only the rows that changed come
// back, in chunks, to the UI thread.
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
    QString filterText;        // sender, recipients and last answer, for the filter
    bool quarantined = false;  // its files are in quarantine/, not old/
};

// finished: the row of a mail in old/, whose next-try cell tells how it ended; quarantined: one
// the SEND service set aside in quarantine/ because it could not read it.
QueueRow MakeQueueRow(const mailqueue::QueueEntryView& entry, bool finished, std::time_t now,
                      bool quarantined = false);
// The quarantine/ directory beside a finished-mail directory (old/).
std::string QuarantineBeside(const std::string& oldDir);
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
    // Rescans dir (and for finished mail the quarantine beside it); a new generation starts from
    // an empty index (everything comes as new).
    void Scan(int generation, const QString& dir, bool finished);

  signals:
    void Chunk(int generation, const QList<QueueRow>& rows, const QList<quint32>& removed,
               bool last, bool readable);

  private:
    // One index's changes as chunks; `final` says whether its last chunk ends the scan. False
    // when a newer generation stopped it.
    bool Rescan(mailqueue::QueueDirectoryIndex& index, int generation, bool finished,
                bool quarantined, bool final, bool* readable);

    std::unique_ptr<mailqueue::QueueDirectoryIndex> index_;
    std::unique_ptr<mailqueue::QueueDirectoryIndex> quarantine_;  // finished view only
    int indexGeneration_ = -1;
    std::atomic<int> wanted_{0};
};
