// The mail queue view: one row per mail waiting in queue/ or finished in old/, kept current while
// open (a watcher on the directory, and a periodic rescan as the safety net), with a text filter,
// and the operator's changes: retry now, delete, diagnose and open. Reading happens on a thread of
// its own and changes run off the UI thread, so a long queue never stalls the window. Modeless;
// UI thread only.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>

#include "mailtools/queue_scanner.h"

class CSortListCtrl;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class CDlgQueue final : public QDialog {
    Q_OBJECT

  public:
    // A Yes/No question (Yes: true) and a notice with the warning icon; tests answer instead.
    using Question = std::function<bool(QWidget* parent, const QString& text)>;
    using Notice = std::function<void(QWidget* parent, const QString& text)>;
    // Opens the diagnose dialog on a mail file.
    using Diagnose = std::function<void(QWidget* parent, const QString& mailPath)>;

    // queueDir/oldDir default to the application directory's queue and old.
    explicit CDlgQueue(QWidget* parent = nullptr, QString queueDir = {}, QString oldDir = {});
    ~CDlgQueue() override;

    void SetQuestion(Question ask) { ask_ = std::move(ask); }
    void SetNotice(Notice notice) { notice_ = std::move(notice); }
    void SetDiagnose(Diagnose diagnose) { diagnose_ = std::move(diagnose); }
    // Whether the SEND service of this console runs; a retry while it is stopped says so.
    void SetSendRunning(std::function<bool()> running) { sendRunning_ = std::move(running); }

    CSortListCtrl* List() const { return list_; }

    // The switch: finished mail in old/, or what waits in queue/.
    void ShowFinished(bool finished);
    bool ShowsFinished() const { return finished_; }
    void SetFilter(const QString& text);

    // The buttons. Retry and delete act on every selected waiting mail; diagnose and open on the
    // first selected mail.
    void RetrySelected();
    void DeleteSelected();
    void DiagnoseSelected();
    void OpenSelected();

    QList<quint32> SelectedIds() const;
    void SelectIds(const QList<quint32>& ids);
    // The list's row of a mail, or -1 when it is not shown.
    int RowOf(quint32 id) const { return rowOf_.value(id, -1); }
    // Mails of the current view (before the filter), and whether a scan is under way or due.
    int EntryCount() const { return static_cast<int>(entries_.size()); }
    bool Scanning() const { return scanning_ || rescanDue_; }
    // Operator changes not finished yet (a delete waits while its mail is being delivered).
    int PendingChanges() const { return static_cast<int>(pendingIds_.size()); }
    QString CountText() const;
    QString ActionText() const;

    // How long after a change of the directory the list is read again, and the safety rescan.
    static constexpr int kSettleMs = 100;
    static constexpr int kMinScanGapMs = 250;
    static constexpr int kSafetyRescanMs = 5000;
    static constexpr int kBusyRetryMs = 250;
    // The most of a message the Open window shows.
    static constexpr size_t kMaxShownMessage = 4u << 20;

    // Closing while a change still waits for a delivery only hides the window: the change is
    // made, and the window closes once every change has its outcome (unless shown again).
    void done(int result) override;

  signals:
    // A scan's last chunk was applied (tests and the benchmark wait on it).
    void ScanApplied();
    // Every change asked for so far has an outcome.
    void ChangesFinished();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    enum class Change { kRetry, kDelete };
    struct ChangeResults {
        Change change = Change::kRetry;
        QList<quint32> done;
        QList<quint32> busy;
        QList<quint32> gone;      // finished before the change could be made
        QList<quint32> finished;  // retry: nothing left to send
        QList<quint32> failed;
        QStringList errors;  // one per failed mail
    };

    void BuildWidgets();
    QString Directory() const;
    // Where the mail's files are: Directory(), or quarantine/ for a quarantined finished mail.
    QString DirectoryOf(quint32 id) const;
    void StartNewView();
    void RequestScan();
    void StartScan();
    void ApplyChunk(int generation, const QList<QueueRow>& rows, const QList<quint32>& removed,
                    bool last, bool readable);
    void RebuildRowIndex();
    void RebuildList();
    void UpdateButtons();
    void UpdateCounts();
    void WatchDirectory();
    void RunChange(Change change, const QList<quint32>& ids);
    void ChangeDone(const ChangeResults& results);
    void ShowMessage(quint32 id);

    const QString queueDir_;
    const QString oldDir_;
    Question ask_;
    Notice notice_;
    Diagnose diagnose_;
    std::function<bool()> sendRunning_;

    CSortListCtrl* list_ = nullptr;
    QRadioButton* waitingButton_ = nullptr;
    QRadioButton* finishedButton_ = nullptr;
    QLineEdit* filterEdit_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QLabel* actionLabel_ = nullptr;
    QPushButton* retryButton_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QPushButton* diagnoseButton_ = nullptr;
    QPushButton* openButton_ = nullptr;

    bool finished_ = false;
    QString filter_;
    std::map<quint32, QueueRow> entries_;  // the whole view, in id (arrival) order
    QHash<quint32, int> rowOf_;            // the shown ones

    QThread scanThread_;
    QueueScanner* scanner_ = nullptr;
    int generation_ = 0;
    bool scanning_ = false;
    bool rescanDue_ = false;
    bool loaded_ = false;  // the view's first scan has ended
    bool readable_ = true;
    QElapsedTimer sinceScan_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    QTimer safety_;
    QTimer filterSettle_;

    QThreadPool changes_;
    QList<quint32> pendingIds_;
    std::optional<int> closeWhenChangesEnd_;
    // What the operator's latest retry or delete has come to so far (a delete that waited for a
    // delivery ends later than the rest).
    struct Tally {
        Change change = Change::kRetry;
        QList<quint32> done;
        qsizetype gone = 0;
        qsizetype finished = 0;
    };
    Tally tally_;

    // The status line of the latest change, as the view stands now.
    void UpdateActionText();
    // "mail 7 (from a@x to b@y)" for up to three mails, then how many more.
    QString NamedMails(const QList<quint32>& ids) const;
};
