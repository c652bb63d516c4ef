#include "app/ext_system_tray.h"

CExtSystemTray::CExtSystemTray(QWidget* mainWindow) : mainWindow_(mainWindow) {}

CExtSystemTray::~CExtSystemTray() {
    if (icon_) {
        icon_->hide();
    }
}

bool CExtSystemTray::Create(const QIcon& icon) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return false;
    }
    icon_ = std::make_unique<QSystemTrayIcon>(icon);
    icon_->setToolTip(ToolTip());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { HandleTrayCallback(reason); });
    icon_->show();
    return true;
}

void CExtSystemTray::ShowAndActivate() {
    if (mainWindow_->isMinimized()) {
        mainWindow_->showNormal();
    }
    if (!mainWindow_->isVisible()) {
        mainWindow_->show();
    }
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

int CExtSystemTray::HandleTrayCallback(QSystemTrayIcon::ActivationReason reason) {
    if (!mainWindow_) {
        return 1;
    }
    switch (reason) {
        case QSystemTrayIcon::Context:
            ShowAndActivate();
            return 0;
        case QSystemTrayIcon::Trigger:
        case QSystemTrayIcon::DoubleClick:  // the second click of a double click
            if (mainWindow_->isVisible()) {
                mainWindow_->hide();
            } else {
                ShowAndActivate();
            }
            return 0;
        default:
            return 1;
    }
}

void CExtSystemTray::SetToolTipDetail(const QString& detail) {
    detail_ = detail;
    if (icon_) {
        icon_->setToolTip(ToolTip());
    }
}

QString CExtSystemTray::ToolTip() const {
    return detail_.isEmpty() ? ToolTipText() : ToolTipText() + QLatin1Char('\n') + detail_;
}
