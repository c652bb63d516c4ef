#include "app/config_app.h"

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

#include <unistd.h>

#include "app/config_dlg.h"
#include "app/instance_channel.h"
#include "app/startup_checks.h"
#include "app/startup_report.h"
#include "common/app_paths.h"
#include "common/utilities.h"
#include "mailtools/mail_files.h"

namespace {

constexpr int kCommandLineLimit = 1023;
constexpr int kLookupTries = 5;
constexpr int kLookupPauseMs = 10;
constexpr int kShutdownPolls = 300;
constexpr int kShutdownPollPauseMs = 20;

// Messages Qt prints while it opens the display; shown only if the display opened.
QList<QPair<QtMsgType, QString>>* pendingStartupMessages = nullptr;

void StartupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        // Qt cannot open the display: one clear line instead of an abort with a backtrace.
        std::fprintf(stderr,
                     "relvoconsole: cannot open a window: no usable display (check DISPLAY or "
                     "WAYLAND_DISPLAY)\n");
        std::fflush(stderr);
        _exit(1);
    }
    if (pendingStartupMessages) {
        pendingStartupMessages->append({type, message});
    }
}

std::unique_ptr<QApplication> OpenGuiApplication(int& argc, char** argv) {
    QList<QPair<QtMsgType, QString>> messages;
    pendingStartupMessages = &messages;
    QtMessageHandler previous = qInstallMessageHandler(StartupMessageHandler);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    pendingStartupMessages = nullptr;
    for (const auto& [type, text] : messages) {
        qt_message_output(type, QMessageLogContext(), text);
    }
    return app;
}

// One line for the user who started the process from a terminal.
void PrintLine(const QString& line) {
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString PlatformName(const QStringList& arguments) {
    int index = arguments.indexOf(QStringLiteral("-platform"));
    if (index >= 0 && index + 1 < arguments.size()) {
        return arguments[index + 1];
    }
    return qEnvironmentVariable("QT_QPA_PLATFORM");
}

}  // namespace

QString MissingDisplayReason(const QStringList& arguments) {
    QString platform = PlatformName(arguments).section(QLatin1Char(':'), 0, 0);
    bool hasX = !qEnvironmentVariableIsEmpty("DISPLAY");
    bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (platform.isEmpty() && !hasX && !hasWayland) {
        return QStringLiteral(
            "no display found (DISPLAY and WAYLAND_DISPLAY are not set); the "
            "console needs a graphical desktop");
    }
    if (platform == QLatin1String("xcb") && !hasX) {
        return QStringLiteral("no X display found (DISPLAY is not set)");
    }
    if (platform == QLatin1String("wayland") && !hasWayland) {
        return QStringLiteral("no Wayland display found (WAYLAND_DISPLAY is not set)");
    }
    return {};
}

CRelvoConfigApp::CRelvoConfigApp(QStringList arguments) : arguments_(std::move(arguments)) {}

CRelvoConfigApp::~CRelvoConfigApp() = default;

InstanceChannel& CRelvoConfigApp::Channel() {
    if (!channel_) {
        channel_ =
            std::make_unique<InstanceChannel>(QString::fromStdString(ApplicationDirectory()));
    }
    return *channel_;
}

QString CRelvoConfigApp::CommandLineText() const {
    return arguments_.join(QLatin1Char(' ')).left(kCommandLineLimit);
}

bool CRelvoConfigApp::IsUninstallCommand(const QString& commandLine) {
    // The whole text, nothing trimmed: " -uninstall" or "-uninstall now" are not the command.
    return commandLine.compare(QLatin1String("-uninstall"), Qt::CaseInsensitive) == 0;
}

bool CRelvoConfigApp::EnsureWorkingDirectories() {
    startupProblems_.clear();
    for (const char* name : {"mail", "log", "old"}) {
        const std::string path = AppFilePath(name);
        const std::string problem = WorkingDirectoryProblem(path);
        if (!problem.empty()) {
            // Mail and logs would fail later with no word of why: say it now.
            startupProblems_ << QStringLiteral("Cannot create the working directory %1: %2")
                                    .arg(QString::fromStdString(path),
                                         QString::fromStdString(problem));
            std::fprintf(stderr, "relvoconsole: %s\n", qPrintable(startupProblems_.last()));
        }
    }
    EnsureSampleMail();  // a sample that cannot be written only leaves the diagnose dialog empty
    return true;
}

bool CRelvoConfigApp::HandleUninstallCommand() {
    if (!IsUninstallCommand(CommandLineText())) {
        return true;
    }
    // Sockets need an application object; no display is needed for this command.
    static int argc = 1;
    static char name[] = "relvoconsole";
    static char* argv[] = {name, nullptr};
    std::optional<QCoreApplication> core;
    if (QCoreApplication::instance() == nullptr) {
        core.emplace(argc, argv);
    }
    InstanceChannel& channel = Channel();
    const bool asked = channel.SendRequest(InstanceChannel::Request::Shutdown);
    for (int poll = 0; poll < kShutdownPolls && channel.IsInstanceRunning(); ++poll) {
        QThread::msleep(kShutdownPollPauseMs);
    }
    if (!channel.Problem().isEmpty()) {
        uninstallOutcome_ = UninstallOutcome::NoChannel;  // no console can be reached
    } else if (channel.IsInstanceRunning()) {
        uninstallOutcome_ = UninstallOutcome::StillRunning;
    } else {
        uninstallOutcome_ = asked ? UninstallOutcome::ShutDown : UninstallOutcome::NotRunning;
    }
    return false;
}

QString CRelvoConfigApp::UninstallLine(UninstallOutcome outcome) {
    switch (outcome) {
        case UninstallOutcome::NotRunning:
            return QStringLiteral("Relvo SMTP Server is not running; nothing to shut down.");
        case UninstallOutcome::ShutDown:
            return QStringLiteral(
                "Relvo SMTP Server was running; it stopped its services and "
                "has shut down.");
        case UninstallOutcome::NoChannel:
            return QStringLiteral("Relvo SMTP Server cannot reach a running console here.");
        case UninstallOutcome::StillRunning:
            break;
    }
    return QStringLiteral(
        "Relvo SMTP Server was asked to shut down but is still running after "
        "6 seconds.");
}

QString CRelvoConfigApp::BroughtForwardLine(bool windowShown) {
    return windowShown
               ? QStringLiteral("Relvo SMTP Server is already running; brought its window forward.")
               : QStringLiteral(
                     "Relvo SMTP Server is already running, but did not say that its window is "
                     "shown; open it from its tray icon.");
}

bool CRelvoConfigApp::ActivateRunningInstance() {
    InstanceChannel& channel = Channel();
    for (int attempt = 0; attempt < kLookupTries; ++attempt) {
        if (channel.TryBecomeInstance()) {
            return false;
        }
        if (!channel.Problem().isEmpty()) {
            return true;  // no election is possible; Run() says why
        }
        if (channel.SendRequest(InstanceChannel::Request::BringForward, &windowShown_)) {
            broughtForward_ = true;
            return true;
        }
        // The elected console may be between taking the lock and listening.
        QThread::msleep(kLookupPauseMs);
    }
    // A live console holds the election but does not answer: never run a second one.
    std::fprintf(stderr, "relvoconsole: another console is running but does not answer\n");
    return true;
}

void RunMainWindow(CRelvoConfigDlg& window) {
    // Hiding the window (to the tray) must not end the program. A modal run of a dialog ends
    // when the dialog hides, and the application would quit when its last window closes (the
    // tray icon is no window), so the window runs modeless in the application's own loop, which
    // ends only with the window's exit sequence.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&window, &QDialog::finished, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    QApplication::exec();
}

int CRelvoConfigApp::Run(int& argc, char** argv) {
    EnsureWorkingDirectories();
    if (!HandleUninstallCommand()) {
        if (uninstallOutcome_ == UninstallOutcome::NoChannel) {
            std::fprintf(stderr, "relvoconsole: %s (%s)\n",
                         qPrintable(UninstallLine(uninstallOutcome_)),
                         qPrintable(Channel().Problem()));
            return 1;
        }
        PrintLine(UninstallLine(uninstallOutcome_));
        return uninstallOutcome_ == UninstallOutcome::StillRunning ? 1 : 0;
    }
    QString reason = MissingDisplayReason(arguments_);
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "relvoconsole: %s\n", qPrintable(reason));
        return 1;
    }
    std::unique_ptr<QApplication> app = OpenGuiApplication(argc, argv);
    if (ActivateRunningInstance()) {
        if (broughtForward_) {
            PrintLine(BroughtForwardLine(windowShown_));
            return 0;
        }
        if (Channel().Problem().isEmpty()) {
            return 1;  // a console runs but did not answer; the line was printed
        }
        std::fprintf(stderr,
                     "relvoconsole: cannot make sure that only one console runs: %s (set "
                     "XDG_RUNTIME_DIR to a directory of your own with mode 0700)\n",
                     qPrintable(Channel().Problem()));
        return 1;
    }
    {
        CRelvoConfigDlg dialog(nullptr, {}, startupProblems_);
        QObject::connect(&Channel(), &InstanceChannel::bringForwardRequested, &dialog,
                         &CRelvoConfigDlg::BringForward);
        Channel().SetWindowShownCheck(
            [&dialog] { return dialog.isVisible() && !dialog.isMinimized(); });
        QObject::connect(&Channel(), &InstanceChannel::shutdownRequested, &dialog,
                         &CRelvoConfigDlg::RunExitSequence);
        if (StartupReportWanted()) {
            // The first turn of the window's loop, once it is shown.
            QTimer::singleShot(0, [] { ReportStartupMoment("window shown"); });
        }
        RunMainWindow(dialog);
        // The window is gone: a waiting "-uninstall" may return now.
        Channel().Release();
    }
    channel_.reset();
    return 0;
}
