// The log viewer: lists the ".txt" entries of the log directory and hands a chosen one, or today's
// SMTP or SEND log, to the desktop's default program for text files. Where that cannot happen (no
// such file yet, or nothing on the desktop opens it) an information box names the path. The list
// is filled once, when the dialog opens. Modal; UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

class CSortListCtrl;

enum class LogService { Smtp, Send };

// The entries the log list shows: those whose last four characters are ".txt" in any case,
// sorted without regard to case (entries differing only in case in their exact order).
QStringList LogListEntries(const QStringList& directoryEntries);

// The service's log file name for the local date of the moment: "smtp20091024.txt".
QString LogFileName(LogService service, std::chrono::system_clock::time_point moment);

// The full path of the service's log of today (by the process's clock) in the log directory.
QString TodayLogPath(LogService service);

class CDlgLog final : public QDialog {
    Q_OBJECT

  public:
    // Hands the file to the desktop; true when a program was started for it.
    using FileOpener = std::function<bool(const QString& path)>;
    // Tells the user something and returns once it was seen.
    using Notice = std::function<void(QWidget* parent, const QString& text)>;

    explicit CDlgLog(QWidget* parent = nullptr);
    ~CDlgLog() override;

    // Replace the desktop and the information box (tests record instead); empty restores them.
    void SetFileOpener(FileOpener open);
    void SetNotice(Notice notice);

    CSortListCtrl* List() const { return list_; }

    // The buttons.
    void OpenTodaysLog(LogService service);
    // Opens the selected entry; nothing when none is selected.
    void ViewSelected();
    // Opens the file, or says why it cannot be opened.
    void OpenLogFile(const QString& path);

    static QString MissingFileMessage(const QString& path);
    static QString NoProgramMessage(const QString& path);

  private:
    void FillList();

    FileOpener open_;
    Notice notice_;
    CSortListCtrl* list_;
};
