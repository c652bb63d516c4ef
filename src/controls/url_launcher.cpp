#include "controls/url_launcher.h"

#include <QDesktopServices>
#include <QProcess>

#include "controls/browser_command.h"

UrlLaunchSteps SystemUrlLaunchSteps() {
    return {[](const QUrl& url) { return QDesktopServices::openUrl(url); },
            [](const QString& program, const QStringList& arguments) {
                return QProcess::startDetached(program, arguments);
            }};
}

bool OpenUrlInBrowser(const QString& url, [[maybe_unused]] bool newWindow,
                      const UrlLaunchSteps& steps) {
    if (url.isEmpty()) {
        return true;
    }
    const QUrl target = QUrl::fromUserInput(url);
    if (!target.isValid()) {
        return false;
    }
    if (steps.openWithDesktop && steps.openWithDesktop(target)) {
        return true;
    }
    const QString commandTemplate = DefaultBrowserCommandTemplate();
    if (commandTemplate.isEmpty()) {
        return false;
    }
    // Fully encoded, the URL holds no blank or quote, so splitting the line keeps it one argument.
    const std::optional<QString> command =
        BuildBrowserCommand(commandTemplate, target.toString(QUrl::FullyEncoded));
    if (!command) {
        return false;
    }
    QStringList arguments = QProcess::splitCommand(*command);
    if (arguments.isEmpty() || !steps.startDetached) {
        return false;
    }
    const QString program = arguments.takeFirst();
    return steps.startDetached(program, arguments);
}

bool OpenUrlInBrowser(const QString& url, bool newWindow) {
    return OpenUrlInBrowser(url, newWindow, SystemUrlLaunchSteps());
}
