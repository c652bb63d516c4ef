// The real console on a real desktop with a tray: an X server (Xvfb), a window manager (openbox)
// and a tray host (trayer), driven with xdotool. Every way of putting the window away must leave
// the program running in the tray with its services up; a tray click brings the window back; only
// Exit and the shutdown request end the program.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "support/child_process.h"
#include "support/fake_engine.h"
#include "support/portable_console.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

const QString kMainTitle = "^Relvo SMTP Server 1\\.1$";
const QString kEngineStops = "RelvoMail_SmtpServiceStop()\nRelvoMail_SendServiceStop()";
constexpr int kStepTimeoutMs = 10000;
constexpr int kAttempts = 3;

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kStepTimeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QTest::qWait(50);
    }
    return true;
}

void Stop(QProcess& process) {
    process.terminate();
    if (!process.waitForFinished(2000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

// An X server of its own (a free display number chosen by the server), with openbox and trayer.
class TrayDesktop {
  public:
    ~TrayDesktop() { StopAll(); }

    // "" once the desktop is up, else what is missing. Now and then a display or a tray host fails
    // to come up when other X servers start on the machine at the same moment: it is tried again.
    QString Start() {
        for (const char* tool : {"openbox", "trayer", "xdotool", "xwininfo", "xprop"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty()) {
                return QString(tool) + " is not installed (scripts/install-deps.sh installs it)";
            }
        }
        QString problem;
        for (int attempt = 0; attempt < kAttempts && !(problem = StartOnce()).isEmpty();
             ++attempt) {
            std::fprintf(stderr, "desktop not ready, starting another: %s\n", qPrintable(problem));
            StopAll();
        }
        return problem;
    }

    // A new tray host in place of the running one, as when a desktop panel restarts; "" once up.
    QString RestartTrayHost() {
        Stop(*processes_.back());
        processes_.pop_back();
        return StartTrayHost();
    }

    const QProcessEnvironment& Environment() const { return environment_; }

    // Runs an X client to its end: its output, or nothing when it failed.
    std::optional<QString> Tool(const QString& program, const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.start(program, arguments);
        if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAllStandardOutput());
    }
    bool Xdotool(const QStringList& arguments) const {
        return Tool("xdotool", arguments).has_value();
    }

    // The id of a visible window whose title matches, or "".
    QString VisibleWindow(const QString& title = kMainTitle) const {
        return Tool("xdotool", {"search", "--onlyvisible", "--name", title})
            .value_or("")
            .section('\n', 0, 0);
    }

    // The centre of the console's icon inside the tray host's panel, on the screen.
    std::optional<QPoint> TrayIcon() const {
        // A window line: indentation, id, "name": ("instance" "class"), WxH+x+y, +absX+absY.
        static const QRegularExpression line(
            R"(^(\s*)0x[0-9a-f]+ (.*) (\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)");
        int panelIndent = -1;
        for (const QString& text : Tool("xwininfo", {"-root", "-tree"}).value_or("").split('\n')) {
            QRegularExpressionMatch match = line.match(text);
            int indent = static_cast<int>(match.capturedLength(1));
            if (!match.hasMatch()) {
                continue;
            } else if (match.captured(2).contains(R"(("panel" "trayer"))")) {
                panelIndent = indent;
            } else if (indent <= panelIndent) {
                panelIndent = -1;
            } else if (panelIndent >= 0 &&
                       match.captured(2).contains(R"(("relvoconsole" "relvoconsole"))")) {
                return QPoint(match.captured(5).toInt() + match.captured(3).toInt() / 2,
                              match.captured(6).toInt() + match.captured(4).toInt() / 2);
            }
        }
        return std::nullopt;
    }

    bool ClickTrayIcon() const {
        std::optional<QPoint> icon = TrayIcon();
        return icon && Xdotool({"mousemove", QString::number(icon->x()), QString::number(icon->y()),
                                "click", "1"});
    }

  private:
    QString StartOnce() {
        QProcess& server =
            Launch("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        WaitFor([&] { return server.canReadLine() || server.state() == QProcess::NotRunning; });
        bool isNumber = false;
        int display = server.readLine().trimmed().toInt(&isNumber);
        if (!isNumber) {
            return "Xvfb did not start: " + Output(server);
        }
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert("DISPLAY", QString(":%1").arg(display));
        // Without a session bus Qt puts its icon into the tray host itself (XEmbed).
        environment_.remove("DBUS_SESSION_BUS_ADDRESS");

        QProcess& manager = Launch("openbox", {});
        if (!WaitFor([&] {
                return Tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"})
                    .value_or("")
                    .contains("window id");
            })) {
            return "openbox did not start: " + Output(manager) + "; Xvfb: " + Output(server);
        }
        return StartTrayHost();
    }

    // trayer now and then never maps its panel (about one start in 25 here): start another.
    QString StartTrayHost() {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (attempt > 0) {
                std::fprintf(stderr, "trayer showed no panel, starting another\n");
                Stop(*processes_.back());
                processes_.pop_back();
            }
            Launch("trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "request",
                              "--height", "24"});
            if (WaitFor(
                    [&] {
                        return Xdotool({"search", "--onlyvisible", "--class", "trayer"});
                    },
                    3000)) {
                return {};
            }
        }
        return "trayer did not show its panel: " + Output(*processes_.back());
    }

    void StopAll() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            Stop(**it);
        }
        processes_.clear();
    }

    static QString Output(QProcess& process) {
        return QString::fromLocal8Bit(process.readAllStandardOutput() +
                                      process.readAllStandardError()) +
               QString(" (state %1, exit code %2)").arg(process.state()).arg(process.exitCode());
    }

    QProcess& Launch(const QString& program, const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        EndWithTest(*process);
        if (!processes_.empty()) {  // the server's own output carries its display number
            process->setProcessEnvironment(environment_);
            process->setProcessChannelMode(QProcess::MergedChannels);
        }
        process->start(program, arguments);
        processes_.push_back(std::move(process));
        return *processes_.back();
    }

    std::vector<std::unique_ptr<QProcess>> processes_;
    QProcessEnvironment environment_;
};

class TrayProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty()) {
            GTEST_SKIP() << "Xvfb is not installed: no X display to test the tray on";
        }
        QString problem = desktop.Start();
        ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
        FakeEngine::PlaceInto(dir.Path());
        ASSERT_TRUE(runtime.isValid());
    }

    void TearDown() override {
        if (console) {
            Stop(*console);
        }
    }

    // A console process on the test's desktop and data directory, not started yet.
    std::unique_ptr<QProcess> ConsoleProcess() const {
        auto process = std::make_unique<QProcess>();
        EndWithTest(*process);
        QProcessEnvironment environment = desktop.Environment();
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("RELVO_APP_DIR", QString::fromStdString(dir.Path()));
        environment.insert("RELVO_FAKE_ENGINE_LOG", QString::fromStdString(EngineLogPath()));
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        // Under the sanitizers: the D-Bus library Qt uses on X keeps memory to the end.
        environment.insert("LSAN_OPTIONS", "suppressions=" RELVO_LSAN_SUPPRESSIONS);
        process->setProcessEnvironment(environment);
        return process;
    }

    // Starts the console (kept as console), or runs a command console to its end.
    void RunConsole(const QStringList& arguments = {}) {
        auto process = ConsoleProcess();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(PortableConsole(dir.Path()), arguments);
        ASSERT_TRUE(process->waitForStarted(kProcessStartMs));
        if (arguments.isEmpty()) {
            console = std::move(process);
        } else {
            ASSERT_TRUE(process->waitForFinished(kStepTimeoutMs));
        }
    }

    std::string EngineLogPath() const { return dir.File("engine-calls.log"); }
    QString EngineLog() const { return QString::fromStdString(dir.Read("engine-calls.log")); }
    bool ConsoleRuns() const { return console && console->state() == QProcess::Running; }

    void StartConsoleInTray() {
        ASSERT_NO_FATAL_FAILURE(RunConsole());
        ASSERT_TRUE(WaitFor([&] { return desktop.TrayIcon().has_value(); })) << "no tray icon";
        ASSERT_TRUE(WaitFor([&] {
            return EngineLog().contains("SmtpServiceStart") &&
                   EngineLog().contains("SendServiceStart");
        })) << EngineLog().toStdString();
    }

    // The main window is put away by the keys or commands of steps; "wait-close-question"
    // waits for the close question to show.
    void PutAway(const std::vector<QStringList>& steps) {
        QString window = desktop.VisibleWindow();
        ASSERT_FALSE(window.isEmpty());
        ASSERT_TRUE(desktop.Xdotool({"windowactivate", "--sync", window}));
        for (QStringList step : steps) {
            if (step.first() == "wait-close-question") {
                ASSERT_TRUE(WaitFor([&] { return !desktop.VisibleWindow("^Close$").isEmpty(); }));
            } else {
                ASSERT_TRUE(desktop.Xdotool(step.replaceInStrings("%W", window)))
                    << step.join(' ').toStdString();
            }
        }
    }

    // The window is away and stays away with the program in the tray and the services up; a tray
    // click brings it back.
    void ExpectInTrayThenBack() {
        ASSERT_TRUE(WaitFor([&] { return desktop.VisibleWindow().isEmpty(); }))
            << "the window was not put away";
        QTest::qWait(400);  // an ending program would be gone by now
        ASSERT_TRUE(ConsoleRuns())
            << "the console ended, exit code " << (console ? console->exitCode() : -1);
        EXPECT_TRUE(desktop.VisibleWindow().isEmpty());
        ASSERT_TRUE(desktop.TrayIcon().has_value()) << "the tray icon is gone";
        EXPECT_FALSE(EngineLog().contains("ServiceStop")) << EngineLog().toStdString();

        ASSERT_TRUE(desktop.ClickTrayIcon());
        ASSERT_TRUE(WaitFor([&] { return !desktop.VisibleWindow().isEmpty(); }))
            << "a tray click did not bring the window back";
        EXPECT_TRUE(ConsoleRuns());
    }

    TempAppDir dir;
    QTemporaryDir runtime;
    TrayDesktop desktop;
    std::unique_ptr<QProcess> console;
};

}  // namespace

TEST_F(TrayProcessTest, EveryWayOfPuttingTheWindowAwayKeepsTheConsoleInTheTray) {
    ASSERT_NO_FATAL_FAILURE(StartConsoleInTray());
    ASSERT_TRUE(WaitFor([&] { return !desktop.VisibleWindow().isEmpty(); }));
    const std::vector<std::pair<const char*, std::vector<QStringList>>> ways = {
        {"Escape", {{"key", "Escape"}}},
        // openbox's Alt+F4 sends the window manager's close request, as its close box does
        {"close through the window manager", {{"key", "alt+F4"}}},
        {"minimise", {{"windowminimize", "%W"}}},
        {"Hide in the close question",
         {{"key", "alt+x"}, {"wait-close-question"}, {"key", "alt+h"}}},
    };
    for (const auto& [name, steps] : ways) {
        SCOPED_TRACE(name);
        ASSERT_NO_FATAL_FAILURE(PutAway(steps));
        ExpectInTrayThenBack();
        if (HasFatalFailure()) {
            return;
        }
    }

    // Exit in the close question is the way out: services stopped, icon gone, program ended.
    ASSERT_NO_FATAL_FAILURE(PutAway({{"key", "alt+x"}, {"wait-close-question"}, {"key", "alt+x"}}));
    ASSERT_TRUE(console->waitForFinished(kStepTimeoutMs));
    EXPECT_EQ(console->exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(EngineLog().contains(kEngineStops)) << EngineLog().toStdString();
    EXPECT_FALSE(desktop.TrayIcon().has_value());
}

TEST_F(TrayProcessTest, AutoMinimizeStartsInTheTrayWhichSurvivesARestartOfTheTrayHost) {
    dir.Write("relvoconsole.cfg", "[System]\r\nAutoMinimize=1\r\n");
    ASSERT_NO_FATAL_FAILURE(StartConsoleInTray());
    {
        SCOPED_TRACE("AutoMinimize=1");
        ExpectInTrayThenBack();
    }
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_NO_FATAL_FAILURE(PutAway({{"key", "Escape"}}));
    ASSERT_TRUE(WaitFor([&] { return desktop.VisibleWindow().isEmpty(); }));
    QString problem = desktop.RestartTrayHost();
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    {
        SCOPED_TRACE("tray host restarted");
        ExpectInTrayThenBack();
    }
    if (HasFatalFailure()) {
        return;
    }

    // Put away once more, the shutdown request reaches the hidden console.
    ASSERT_NO_FATAL_FAILURE(PutAway({{"key", "Escape"}}));
    ASSERT_TRUE(WaitFor([&] { return desktop.VisibleWindow().isEmpty(); }));
    ASSERT_NO_FATAL_FAILURE(RunConsole({"-uninstall"}));
    ASSERT_TRUE(console->waitForFinished(kStepTimeoutMs));
    EXPECT_EQ(console->exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(EngineLog().contains(kEngineStops)) << EngineLog().toStdString();
}

TEST_F(TrayProcessTest, AFailedAutomaticStartSaysWhyAndASecondStartShowsTheWindowFromTheTray) {
    // The real engine, with port 25 taken (or, without the privilege, closed to this user):
    // either way the engine gives its reason.
    std::filesystem::remove(dir.File("librelvomailservice.so"));
    std::filesystem::create_symlink(RELVO_ENGINE_LIBRARY, dir.File("librelvomailservice.so"));
    dir.Write("relvoconsole.cfg", "[System]\r\nSmtpPort=25\r\nAutoStartSendService=0\r\n");
    QTcpServer holder;
    holder.listen(QHostAddress::Any, 25);

    auto start = [&] {
        auto process = ConsoleProcess();
        QProcessEnvironment environment = process->processEnvironment();
        environment.insert("RELVO_REPORT_SHOWN", "1");
        process->setProcessEnvironment(environment);
        process->start(PortableConsole(dir.Path()), QStringList());
        return process;
    };
    console = start();
    ASSERT_TRUE(console->waitForStarted(kProcessStartMs));
    QString reported;
    auto timeOf = [&reported](const QString& pattern) -> std::optional<qint64> {
        const QRegularExpressionMatch match = QRegularExpression(pattern).match(reported);
        return match.hasMatch() ? std::optional(match.captured(1).toLongLong()) : std::nullopt;
    };
    const QString reason = "engine line at (\\d+) us: .*SMTP port 25 cannot be opened";
    ASSERT_TRUE(WaitFor([&] {
        reported += QString::fromLocal8Bit(console->readAllStandardError());
        return timeOf("window shown at (\\d+) us") && timeOf(reason);
    })) << reported.toStdString();
    EXPECT_LE(*timeOf(reason) - *timeOf("window shown at (\\d+) us"), 2'000'000)
        << reported.toStdString();

    ASSERT_TRUE(WaitFor([&] { return desktop.TrayIcon().has_value(); })) << "no tray icon";
    ASSERT_NO_FATAL_FAILURE(PutAway({{"key", "Escape"}}));
    ASSERT_TRUE(WaitFor([&] { return desktop.VisibleWindow().isEmpty(); }));
    auto second = start();
    ASSERT_TRUE(second->waitForFinished(kStepTimeoutMs));
    EXPECT_EQ(QString::fromLocal8Bit(second->readAllStandardOutput()),
              "Relvo SMTP Server is already running; brought its window forward.\n");
    EXPECT_TRUE(WaitFor([&] { return !desktop.VisibleWindow().isEmpty(); }))
        << "the window stayed in the tray";
}