// Opens a URL in the web browser: the desktop services first, then the desktop's default browser
// entry run as a detached process. Reports false when neither way started anything; then
// ShowUrlAddressBox lets the user copy the address instead. UI thread (the desktop services need
// the application object).
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

// The two steps that reach outside the process, replaceable so tests open nothing.
struct UrlLaunchSteps {
    // Hands the URL to the desktop; true when it was taken.
    std::function<bool(const QUrl& url)> openWithDesktop;
    // Starts program with arguments, not waiting for it; true when it started.
    std::function<bool(const QString& program, const QStringList& arguments)> startDetached;
};

// QDesktopServices::openUrl and QProcess::startDetached.
UrlLaunchSteps SystemUrlLaunchSteps();

// An empty URL succeeds at once and opens nothing. Otherwise the URL (read as user input, so
// "www.example.com" works, and fully percent-encoded for the command line) goes to the desktop;
// failing that, the default browser's Exec line is completed by BuildBrowserCommand and run.
// newWindow is accepted for callers' sake: neither the desktop services nor desktop entries can
// ask for a new window, so the browser decides.
bool OpenUrlInBrowser(const QString& url, bool newWindow, const UrlLaunchSteps& steps);
bool OpenUrlInBrowser(const QString& url, bool newWindow = false);

// A box, not modal, that holds the address in a selected read-only line so it can be copied, with
// Copy (to the clipboard) and Close buttons. It deletes itself when closed.
class CUrlAddressBox final : public QDialog {
    Q_OBJECT

  public:
    CUrlAddressBox(const QString& url, QWidget* parent);

    static QString Message() {
        return QStringLiteral("No web browser could be started. Copy this address into one:");
    }
};

// Shows a CUrlAddressBox for the URL over parent's window and returns it.
CUrlAddressBox* ShowUrlAddressBox(const QString& url, QWidget* parent);

// OpenUrlInBrowser, and when that fails the address box. True when a browser took the URL.
bool OpenUrlOrShowAddress(const QString& url, QWidget* parent, const UrlLaunchSteps& steps);
bool OpenUrlOrShowAddress(const QString& url, QWidget* parent);
