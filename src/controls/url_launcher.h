// Opens a URL in the web browser: the desktop services first, then the desktop's default browser
// entry run as a detached process. Reports false when neither way started anything (the caller
// decides how to tell the user). UI thread (the desktop services need the application object).
#pragma once

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
