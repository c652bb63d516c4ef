// The console's main window: runs for the whole life of the program and ends only through the
// exit sequence (the Exit choice or a shutdown request from another process).
#pragma once

#include <QDialog>
#include <QTimer>

class CRelvoConfigDlg : public QDialog {
    Q_OBJECT

public:
    explicit CRelvoConfigDlg(QWidget* parent = nullptr);

    // Stops the running services and the clock, then ends the window's modal run.
    void RunExitSequence();
    // Raises and activates the window (a second start asked for it).
    void BringForward();

protected:
    void reject() override;

private:
    QTimer clockTimer_;
};
