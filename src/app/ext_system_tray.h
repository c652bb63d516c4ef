// The console's icon in the desktop's tray: a left click shows or hides the main window, a
// right click always shows it and brings it forward; no menu. On a desktop without a tray the
// object stays disabled and the main window must not hide itself (it minimises instead).
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <memory>

class CExtSystemTray final : public QObject {
    Q_OBJECT

  public:
    explicit CExtSystemTray(QWidget* mainWindow);
    ~CExtSystemTray() override;

    // Adds the icon; false when the desktop has no tray (nothing else of this class then acts).
    bool Create(const QIcon& icon);
    bool IsShown() const { return icon_ != nullptr; }

    // What a click on the icon does; 0 when handled, 1 when the click means nothing here.
    int HandleTrayCallback(QSystemTrayIcon::ActivationReason reason);

    static QString ToolTipText() { return QStringLiteral("Relvo SMTP Server"); }
    // The tooltip with a second line (none when empty), such as how many mails wait.
    void SetToolTipDetail(const QString& detail);
    QString ToolTip() const;

  private:
    void ShowAndActivate();

    QPointer<QWidget> mainWindow_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QString detail_;
};
