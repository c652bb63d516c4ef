// The real console on a real desktop with a tray: an X server (Xvfb), a window manager (openbox)
// and a tray host (trayer), driven with xdotool. Every way of putting the window away must leave
// the program running in the tray with its services up; a tray click brings the window back; only
// Exit and the shutdown request end the program.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "support/fake_engine.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

const QString kMainTitle = QStringLiteral("^Relvo SMTP Server 1\\.1$");
constexpr int kToolTimeoutMs = 5000;
constexpr int kStepTimeoutMs = 10000;
constexpr int kTrayerAttempts = 3;
constexpr int kDesktopAttempts = 3;
constexpr int kTrayerWaitMs = 3000;

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
    if (process.state() == QProcess::NotRunning) {
        return;
    }
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

    // "" once the desktop is up, else what is missing.
    QString Start() {
        for (const char* tool : {"openbox", "trayer", "xdotool", "xwininfo", "xprop"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                return QStringLiteral("%1 is not installed (scripts/install-deps.sh installs it)")
                    .arg(QString::fromLatin1(tool));
            }
        }
        // Now and then a display vanishes under its first client when other X servers start on
        // the machine at the same moment: a fresh desktop is tried before giving up.
        QString problem;
        for (int attempt = 0; attempt < kDesktopAttempts; ++attempt) {
            problem = StartOnce();
            if (problem.isEmpty()) {
                return {};
            }
            std::fprintf(stderr, "desktop not ready, starting another: %s\n", qPrintable(problem));
            StopAll();
        }
        return problem;
    }

    QString StartOnce() {
        QProcess& server =
            Launch(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
        if (!WaitFor(
                [&] { return server.canReadLine() || server.state() == QProcess::NotRunning; }) ||
            !server.canReadLine()) {
            return QStringLiteral("Xvfb did not start: ") + server.readAllStandardError();
        }
        bool isNumber = false;
        int display = server.readLine().trimmed().toInt(&isNumber);
        if (!isNumber) {
            return QStringLiteral("Xvfb named no display");
        }
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        // Without a session bus Qt puts its icon into the tray host itself (XEmbed).
        environment_.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

        Launch(QStringLiteral("openbox"), {});
        if (!WaitFor([&] {
                return Tool(QStringLiteral("xprop"),
                            {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                    .value_or(QString())
                    .contains(QLatin1String("window id"));
            })) {
            return QStringLiteral("openbox did not start: ") + Output(1) +
                   QStringLiteral("; Xvfb: ") + Output(0);
        }
        return StartTrayHost();
    }

    // Starts trayer (the last of the desktop's programs); "" once its panel shows.
    QString StartTrayHost() {
        // trayer now and then never maps its panel (about one start in 25 here): start another.
        for (int attempt = 0; attempt < kTrayerAttempts; ++attempt) {
            if (attempt > 0) {
                Stop(*processes_.back());
            }
            Launch(QStringLiteral("trayer"),
                   {QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"),
                    QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("24")});
            bool shown = WaitFor(
                [&] {
                    return Tool(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--class"), QStringLiteral("trayer")})
                        .has_value();
                },
                kTrayerWaitMs);
            if (shown) {
                return {};
            }
            std::fprintf(stderr, "trayer showed no panel, starting another\n");
        }
        return QStringLiteral("trayer did not show its panel: ") + Output(processes_.size() - 1);
    }

    // A new tray host in place of the running one, as when a desktop panel restarts.
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
        if (!process.waitForFinished(kToolTimeoutMs) ||
            process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    bool Xdotool(const QStringList& arguments) const {
        return Tool(QStringLiteral("xdotool"), arguments).has_value();
    }

    // The visible main window's id, or "".
    QString VisibleMainWindow() const {
        return Tool(QStringLiteral("xdotool"),
                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), kMainTitle})
            .value_or(QString())
            .section(QLatin1Char('\n'), 0, 0)
            .trimmed();
    }

    bool WindowVisible(const QString& titlePattern) const {
        return Tool(QStringLiteral("xdotool"),
                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), titlePattern})
            .has_value();
    }

    // The centre of the console's icon inside the tray host, on the screen.
    std::optional<QPoint> TrayIcon() const {
        std::optional<QString> tree =
            Tool(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
        if (!tree) {
            return std::nullopt;
        }
        // A window line: indentation, id, "name": ("instance" "class"), WxH+x+y, +absX+absY.
        static const QRegularExpression line(QStringLiteral(
            R"(^(\s*)0x[0-9a-f]+ (.*) (\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)"));
        int panelIndent = -1;
        for (const QString& text : tree->split(QLatin1Char('\n'))) {
            QRegularExpressionMatch match = line.match(text);
            if (!match.hasMatch()) {
                continue;
            }
            int indent = static_cast<int>(match.capturedLength(1));
            QString names = match.captured(2);
            if (names.contains(QLatin1String("(\"panel\" \"trayer\")"))) {
                panelIndent = indent;
            } else if (panelIndent >= 0 && indent <= panelIndent) {
                panelIndent = -1;
            } else if (panelIndent >= 0 &&
                       names.contains(QLatin1String("(\"relvoconsole\" \"relvoconsole\")"))) {
                return QPoint(match.captured(5).toInt() + match.captured(3).toInt() / 2,
                              match.captured(6).toInt() + match.captured(4).toInt() / 2);
            }
        }
        return std::nullopt;
    }

    bool ClickTrayIcon() const {
        std::optional<QPoint> icon = TrayIcon();
        return icon &&
               Xdotool({QStringLiteral("mousemove"), QString::number(icon->x()),
                        QString::number(icon->y()), QStringLiteral("click"), QStringLiteral("1")});
    }

  private:
    void StopAll() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            Stop(**it);
        }
        processes_.clear();
    }

    // What a helper said, for a failure message.
    QString Output(size_t index) const {
        QProcess& process = *processes_.at(index);
        return QString::fromLocal8Bit(process.readAllStandardOutput() +
                                      process.readAllStandardError()) +
               QStringLiteral(" (state %1, exit code %2)")
                   .arg(process.state())
                   .arg(process.exitCode());
    }

    QProcess& Launch(const QString& program, const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        if (!processes_.empty()) {
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
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
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

    void StartConsole(const QStringList& arguments = {}) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = desktop.Environment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("RELVO_APP_DIR"), QString::fromStdString(dir.Path()));
        environment.insert(QStringLiteral("RELVO_FAKE_ENGINE_LOG"), EngineLogPath());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        // Under the sanitizers: the D-Bus library Qt uses on X keeps memory to the end.
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           QStringLiteral("suppressions=" RELVO_LSAN_SUPPRESSIONS));
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(RELVO_CONSOLE_PATH), arguments);
        ASSERT_TRUE(process->waitForStarted(5000));
        if (arguments.isEmpty()) {
            console = std::move(process);
        } else {
            ASSERT_TRUE(process->waitForFinished(kStepTimeoutMs));
        }
    }

    QString EngineLogPath() const { return QString::fromStdString(dir.File("engine-calls.log")); }
    QString EngineLog() const {
        QFile file(EngineLogPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    bool ServicesStarted() const {
        QString log = EngineLog();
        return log.contains(QLatin1String("RelvoMail_SmtpServiceStart")) &&
               log.contains(QLatin1String("RelvoMail_SendServiceStart"));
    }
    bool ServicesStopped() const { return EngineLog().contains(QLatin1String("ServiceStop")); }
    bool ConsoleRuns() const { return console && console->state() == QProcess::Running; }

    // The window is away, and stays away with the program in the tray and the services up; a tray
    // click brings it back.
    void ExpectInTrayThenBack(const std::string& how) {
        SCOPED_TRACE(how);
        ASSERT_TRUE(WaitFor([&] { return desktop.VisibleMainWindow().isEmpty(); }))
            << "the window was not put away";
        QTest::qWait(400);  // an ending program would be gone by now
        ASSERT_TRUE(ConsoleRuns()) << "the console ended, exit code " << console->exitCode();
        EXPECT_TRUE(desktop.VisibleMainWindow().isEmpty());
        ASSERT_TRUE(desktop.TrayIcon().has_value()) << "the tray icon is gone";
        EXPECT_FALSE(ServicesStopped()) << EngineLog().toStdString();

        ASSERT_TRUE(desktop.ClickTrayIcon());
        ASSERT_TRUE(WaitFor([&] { return !desktop.VisibleMainWindow().isEmpty(); }))
            << "a tray click did not bring the window back";
        EXPECT_TRUE(ConsoleRuns());
    }

    TempAppDir dir;
    QTemporaryDir runtime;
    TrayDesktop desktop;
    std::unique_ptr<QProcess> console;
};

struct PutAwayWay {
    const char* name;
    std::vector<QStringList> xdotoolSteps;  // %W stands for the main window's id
};

}  // namespace

TEST_F(TrayProcessTest, EveryWayOfPuttingTheWindowAwayKeepsTheConsoleInTheTray) {
    StartConsole();
    ASSERT_TRUE(WaitFor([&] { return desktop.TrayIcon().has_value(); })) << "no tray icon appeared";
    ASSERT_TRUE(WaitFor([&] { return !desktop.VisibleMainWindow().isEmpty(); }));
    ASSERT_TRUE(WaitFor([&] { return ServicesStarted(); })) << EngineLog().toStdString();

    const std::vector<PutAwayWay> ways = {
        {"Escape", {{"key", "Escape"}}},
        // openbox closes the active window on Alt+F4 with the window manager's close request,
        // as its close box does.
        {"close through the window manager", {{"key", "alt+F4"}}},
        {"minimise", {{"windowminimize", "%W"}}},
        {"Hide in the close question",
         {{"key", "alt+x"}, {"wait-close-question"}, {"key", "alt+h"}}},
    };
    for (const PutAwayWay& way : ways) {
        SCOPED_TRACE(way.name);
        QString window = desktop.VisibleMainWindow();
        ASSERT_FALSE(window.isEmpty());
        ASSERT_TRUE(desktop.Xdotool({"windowactivate", "--sync", window}));
        for (QStringList step : way.xdotoolSteps) {
            if (step.first() == QLatin1String("wait-close-question")) {
                ASSERT_TRUE(WaitFor([&] { return desktop.WindowVisible("^Close$"); }));
                continue;
            }
            step.replaceInStrings(QStringLiteral("%W"), window);
            ASSERT_TRUE(desktop.Xdotool(step)) << step.join(' ').toStdString();
        }
        ExpectInTrayThenBack(way.name);
        if (HasFatalFailure()) {
            return;
        }
    }

    // Exit in the close question is the way out: services stopped, icon gone, program ended.
    QString window = desktop.VisibleMainWindow();
    ASSERT_TRUE(desktop.Xdotool({"windowactivate", "--sync", window}));
    ASSERT_TRUE(desktop.Xdotool({"key", "alt+x"}));
    ASSERT_TRUE(WaitFor([&] { return desktop.WindowVisible("^Close$"); }));
    ASSERT_TRUE(desktop.Xdotool({"key", "alt+x"}));
    ASSERT_TRUE(console->waitForFinished(kStepTimeoutMs));
    EXPECT_EQ(console->exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(EngineLog().contains("RelvoMail_SmtpServiceStop()\nRelvoMail_SendServiceStop()"))
        << EngineLog().toStdString();
    EXPECT_FALSE(desktop.TrayIcon().has_value());
}

TEST_F(TrayProcessTest, AutoMinimizeStartsInTheTrayWhichSurvivesARestartOfTheTrayHost) {
    dir.Write("relvoconsole.cfg", "[System]\r\nAutoMinimize=1\r\n");
    StartConsole();
    ASSERT_TRUE(WaitFor([&] { return desktop.TrayIcon().has_value(); })) << "no tray icon appeared";
    ASSERT_TRUE(WaitFor([&] { return ServicesStarted(); })) << EngineLog().toStdString();
    ExpectInTrayThenBack("AutoMinimize=1");
    if (HasFatalFailure()) {
        return;
    }

    // Put away again, the console stays reachable through a restarted tray host.
    ASSERT_TRUE(desktop.Xdotool({"windowactivate", "--sync", desktop.VisibleMainWindow()}));
    ASSERT_TRUE(desktop.Xdotool({"key", "Escape"}));
    ASSERT_TRUE(WaitFor([&] { return desktop.VisibleMainWindow().isEmpty(); }));
    QString problem = desktop.RestartTrayHost();
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    ASSERT_TRUE(WaitFor([&] { return desktop.TrayIcon().has_value(); }))
        << "the icon did not come back to the new tray";
    ExpectInTrayThenBack("tray host restarted");
    if (HasFatalFailure()) {
        return;
    }

    // Put away once more, the shutdown request reaches the hidden console.
    ASSERT_TRUE(desktop.Xdotool({"windowactivate", "--sync", desktop.VisibleMainWindow()}));
    ASSERT_TRUE(desktop.Xdotool({"key", "Escape"}));
    ASSERT_TRUE(WaitFor([&] { return desktop.VisibleMainWindow().isEmpty(); }));
    StartConsole({"-uninstall"});
    ASSERT_TRUE(console->waitForFinished(kStepTimeoutMs));
    EXPECT_EQ(console->exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(EngineLog().contains("RelvoMail_SmtpServiceStop()\nRelvoMail_SendServiceStop()"))
        << EngineLog().toStdString();
}
