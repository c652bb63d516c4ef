#include "app/config_dlg.h"

#include <QApplication>

CRelvoConfigDlg::CRelvoConfigDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CRelvoConfigDlg"));
    setWindowTitle(QStringLiteral("Relvo SMTP Server 1.1"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    clockTimer_.setInterval(1000);
    clockTimer_.start();
}

void CRelvoConfigDlg::RunExitSequence() {
    clockTimer_.stop();
    accept();
}

void CRelvoConfigDlg::BringForward() {
    raise();
    activateWindow();
}

void CRelvoConfigDlg::reject() {
    // Escape and the close box never end the program; they only put the window away.
    showMinimized();
}
