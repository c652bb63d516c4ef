// The console's main window: service status and toggles, clock and date, the buttons that open
// the other dialogs, and the activity pane. It runs for the whole life of the program; closing,
// Escape and minimising only put it away, and it ends only through the exit sequence (the Exit
// choice or a shutdown request from another process). UI thread only.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <memory>

#include "engine/service_control.h"

class ActivityPane;
class CExtSystemTray;
class CDlgQueue;
class CXHyperLink;
class QueueCounter;
struct RelvoMailWindow;

class CRelvoConfigDlg : public QDialog {
    Q_OBJECT

  public:
    // Asks a Yes/No question; replaceable so that tests answer without a modal box.
    using Question = std::function<bool(QWidget* parent, const QString& question)>;

    // startupProblems: lines that start-up could not do something, shown first in the pane.
    explicit CRelvoConfigDlg(QWidget* parent = nullptr, Question ask = {},
                             const QStringList& startupProblems = {});
    ~CRelvoConfigDlg() override;

    // Stops the running services and the clock, then ends the window's run (once any other modal
    // dialog of the console has closed).
    void RunExitSequence();
    // The Exit button: asks whether to hide or exit.
    void AskClose();
    // Shows, restores, raises and activates the window (a second start asked for it), also when
    // it was put away in the tray.
    void BringForward();
    // Prints each engine line with its time to standard error when start-up is measured.
    static void ReportEngineLines(const QList<QByteArray>& lines);
    // Puts the window away: hidden to the tray, or minimised where there is no tray.
    void PutAway();

    // The table dialogs, each run modally.
    void OpenAccounts();
    void OpenDomains();
    void OpenRelays();
    // A new modeless diagnose dialog, deleted when closed; several may be open at once.
    // A new diagnose window, on the given mail file when one is named.
    void OpenDiagnose(const QString& mailPath = QString());
    // The settings sheet and the log viewer, each run modally.
    void OpenSettings();
    void OpenLogs();
    // The queue view: modeless, one at a time (a second press raises it).
    void OpenQueue();
    CDlgQueue* QueueDialog() const;
    // "3 mails waiting", or "" before the first count.
    static QString WaitingText(int count);

    void ToggleSmtpService();
    void ToggleSendService();

    ActivityPane* Pane() const { return pane_; }
    CExtSystemTray* Tray() const { return tray_.get(); }
    const ServiceControl& Services() const { return services_; }
    bool ExitRequested() const { return exitRequested_; }

    // The application icon, drawn in code so the console needs no image files.
    static QIcon AppIcon();

  signals:
    // Emitted by the buttons whose dialogs are not part of the console yet.
    void diagnoseRequested();

  protected:
    void accept() override;  // Enter does nothing
    void reject() override;  // Escape puts the window away
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildControls();
    void RunOpeningSequence(const QStringList& startupProblems);
    void UpdateServiceTexts();
    void TickClock();
    void FinishExitWhenAlone();

    Question ask_;
    ServiceControl services_;
    std::unique_ptr<CExtSystemTray> tray_;
    ActivityPane* pane_ = nullptr;
    CXHyperLink* homeLink_ = nullptr;
    QLabel* smtpStatus_ = nullptr;
    QLabel* sendStatus_ = nullptr;
    QLabel* waiting_ = nullptr;
    QueueCounter* queueCounter_ = nullptr;
    QPointer<CDlgQueue> queueDialog_;
    QLabel* clock_ = nullptr;
    QLabel* date_ = nullptr;
    QPushButton* smtpButton_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    QTimer clockTimer_;
    QTimer exitTimer_;
    RelvoMailWindow* engineWindow_ = nullptr;
    bool exitRequested_ = false;
};
