// Start-up and single instance: the working directories, the "-uninstall" command, and the
// election of one console among processes started at once (real console processes).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <functional>
#include <vector>

#include "app/config_app.h"
#include "app/instance_channel.h"
#include "app/startup_checks.h"
#include "support/child_process.h"
#include "support/portable_console.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

QString AppDir(const TempAppDir& dir) {
    return QString::fromStdString(dir.Path());
}

// A console process of the product itself, on the test's application directory, offscreen.
// Whether the process has ended within the time. A QProcess whose end an earlier event loop (a
// signal spy's wait) has already seen makes waitForFinished return false at once.
bool Ended(QProcess& process, int milliseconds) {
    return process.state() == QProcess::NotRunning || process.waitForFinished(milliseconds);
}

std::unique_ptr<QProcess> StartConsole(const TempAppDir& dir, const QStringList& arguments = {}) {
    auto process = std::make_unique<QProcess>();
    EndWithTest(*process);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RELVO_APP_DIR"), AppDir(dir));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(PortableConsole(dir.Path()), arguments);
    EXPECT_TRUE(process->waitForStarted(kProcessStartMs));
    return process;
}

bool WaitUntilRunning(InstanceChannel& channel, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (channel.IsInstanceRunning()) {
            return true;
        }
        QTest::qWait(20);
    }
    return false;
}

// What a finished process printed on its standard output.
QString Printed(QProcess& process) {
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

}  // namespace

TEST(UninstallCommand, IsTheWholeTextIgnoringCaseOnly) {
    EXPECT_TRUE(CRelvoConfigApp::IsUninstallCommand("-uninstall"));
    EXPECT_TRUE(CRelvoConfigApp::IsUninstallCommand("-UNINSTALL"));
    EXPECT_TRUE(CRelvoConfigApp::IsUninstallCommand("-UnInstall"));
    EXPECT_FALSE(CRelvoConfigApp::IsUninstallCommand(" -uninstall"));
    EXPECT_FALSE(CRelvoConfigApp::IsUninstallCommand("-uninstall now"));
    EXPECT_FALSE(CRelvoConfigApp::IsUninstallCommand("uninstall"));
    EXPECT_FALSE(CRelvoConfigApp::IsUninstallCommand(""));
    EXPECT_EQ(CRelvoConfigApp({"-uninstall", "now"}).CommandLineText(), "-uninstall now");
}

TEST(WorkingDirectories, AreCreatedWhereNothingOfThatNameExists) {
    TempAppDir dir;
    dir.Write("log", "a file in the way");
    CRelvoConfigApp app({});
    EXPECT_TRUE(app.EnsureWorkingDirectories());
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("mail")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("old")));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.File("log")));
    EXPECT_EQ(dir.Read("log"), "a file in the way");
    EXPECT_EQ(app.StartupProblems(), QStringList{QString::fromStdString(
                                         "Cannot create the working directory " + dir.File("log") +
                                         ": something that is not a directory has that name")});
}

// Each case lays out the application directory with fs calls, then names the reason expected
// ("" for none) from the check of one path in it.
struct PathCase {
    const char* name;
    std::function<void(const TempAppDir&)> layOut;
    std::string expected;
};

TEST(StartupChecks, UnreadableConfigurationFileIsNamedAndMissingOneIsNoFault) {
    const PathCase cases[] = {
        {"missing", [](const TempAppDir&) {}, ""},
        {"readable", [](const TempAppDir& d) { d.Write("relvoconsole.cfg", "[System]\n"); }, ""},
        {"empty", [](const TempAppDir& d) { d.Write("relvoconsole.cfg", ""); }, ""},
        {"directory",
         [](const TempAppDir& d) { std::filesystem::create_directory(d.ConfigFile()); },
         "Is a directory"},
        {"link loop",
         [](const TempAppDir& d) {
             std::filesystem::create_symlink(d.ConfigFile(), d.ConfigFile());
         },
         "Too many levels of symbolic links"},
    };
    for (const PathCase& c : cases) {
        TempAppDir dir;
        c.layOut(dir);
        EXPECT_EQ(FileReadProblem(dir.ConfigFile()), c.expected) << c.name;
    }
}

TEST(StartupChecks, WorkingDirectoryThatCannotBeMadeSaysWhyAndOneThatIsThereIsKept) {
    const std::string notADirectory = "something that is not a directory has that name";
    const PathCase cases[] = {
        {"nothing", [](const TempAppDir&) {}, ""},
        {"directory", [](const TempAppDir& d) { std::filesystem::create_directory(d.File("log")); },
         ""},
        {"link to a directory",
         [](const TempAppDir& d) {
             std::filesystem::create_directory_symlink(d.Path(), d.File("log"));
         },
         ""},
        {"file", [](const TempAppDir& d) { d.Write("log", "in the way"); }, notADirectory},
        {"dangling link",
         [](const TempAppDir& d) {
             std::filesystem::create_symlink(d.File("gone"), d.File("log"));
         },
         notADirectory},
    };
    for (const PathCase& c : cases) {
        TempAppDir dir;
        c.layOut(dir);
        EXPECT_EQ(WorkingDirectoryProblem(dir.File("log")), c.expected) << c.name;
        EXPECT_EQ(c.expected.empty(), std::filesystem::is_directory(dir.File("log"))) << c.name;
    }
    TempAppDir dir;
    dir.Write("blocker", "a file");
    EXPECT_EQ(WorkingDirectoryProblem(dir.File("blocker/log")), "Not a directory")
        << "a directory under a file cannot be made";
}

TEST(InstanceChannel, ElectsOneAndCarriesBothRequests) {
    TempAppDir dir;
    InstanceChannel first(AppDir(dir));
    InstanceChannel second(AppDir(dir));
    ASSERT_TRUE(first.TryBecomeInstance());
    EXPECT_FALSE(second.TryBecomeInstance());
    EXPECT_TRUE(second.IsInstanceRunning());

    QSignalSpy forward(&first, &InstanceChannel::bringForwardRequested);
    QSignalSpy shutdown(&first, &InstanceChannel::shutdownRequested);
    EXPECT_TRUE(second.SendRequest(InstanceChannel::Request::BringForward));
    EXPECT_TRUE(forward.wait(10000));
    EXPECT_TRUE(second.SendRequest(InstanceChannel::Request::Shutdown));
    EXPECT_TRUE(shutdown.wait(10000));
    EXPECT_EQ(forward.count(), 1);
    EXPECT_EQ(shutdown.count(), 1);

    first.Release();
    EXPECT_FALSE(second.IsInstanceRunning());
    EXPECT_TRUE(second.TryBecomeInstance());
}

TEST(InstanceChannel, ConsolesOfOtherDirectoriesDoNotMeet) {
    TempAppDir one;
    InstanceChannel first(AppDir(one));
    ASSERT_TRUE(first.TryBecomeInstance());
    std::string other = one.Path() + "-other";
    InstanceChannel second(QString::fromStdString(other));
    EXPECT_TRUE(second.TryBecomeInstance());
}

TEST(SecondStart, BringsTheRunningConsoleForwardAndSaysSoOnlyWhenItsWindowShows) {
    for (const bool shown : {true, false}) {
        TempAppDir dir;
        InstanceChannel running(AppDir(dir));
        ASSERT_TRUE(running.TryBecomeInstance());
        running.SetWindowShownCheck([shown] { return shown; });
        QSignalSpy forward(&running, &InstanceChannel::bringForwardRequested);

        auto second = StartConsole(dir);
        EXPECT_TRUE(forward.wait(15000));
        ASSERT_TRUE(Ended(*second, 15000));
        EXPECT_EQ(second->exitCode(), 0);
        EXPECT_EQ(Printed(*second) ==
                      "Relvo SMTP Server is already running; brought its window forward.\n",
                  shown);
        // The second start created the working directories before it looked for the first.
        EXPECT_TRUE(std::filesystem::is_directory(dir.File("mail")));
    }
}

TEST(SecondStart, ThatIsNotTheUninstallCommandIsAnOrdinaryStart) {
    TempAppDir dir;
    InstanceChannel running(AppDir(dir));
    ASSERT_TRUE(running.TryBecomeInstance());
    QSignalSpy forward(&running, &InstanceChannel::bringForwardRequested);
    QSignalSpy shutdown(&running, &InstanceChannel::shutdownRequested);

    auto second = StartConsole(dir, {"-uninstall", "now"});
    EXPECT_TRUE(forward.wait(15000));
    ASSERT_TRUE(Ended(*second, 15000));
    EXPECT_EQ(shutdown.count(), 0);
}

TEST(Uninstall, WithNoConsoleRunningEndsAtOnce) {
    TempAppDir dir;
    QElapsedTimer timer;
    timer.start();
    auto uninstall = StartConsole(dir, {"-UNINSTALL"});
    ASSERT_TRUE(Ended(*uninstall, 15000));
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(uninstall->exitCode(), 0);
    EXPECT_EQ(Printed(*uninstall), "Relvo SMTP Server is not running; nothing to shut down.\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("log")));
}

TEST(Uninstall, EndsARunningConsoleAndReturnsWhenItIsGone) {
    TempAppDir dir;
    auto console = StartConsole(dir);
    InstanceChannel probe(AppDir(dir));
    ASSERT_TRUE(WaitUntilRunning(probe));

    // Within the uninstall's own 6 s wait the console is gone, so it says so and returns 0 (a
    // console that stayed would make it give up with exit code 1 after the wait).
    auto uninstall = StartConsole(dir, {"-uninstall"});
    ASSERT_TRUE(Ended(*console, 15000));
    ASSERT_TRUE(Ended(*uninstall, 15000));
    EXPECT_EQ(console->exitStatus(), QProcess::NormalExit);
    EXPECT_FALSE(probe.IsInstanceRunning());
    EXPECT_EQ(uninstall->exitCode(), 0);
    EXPECT_EQ(Printed(*uninstall),
              "Relvo SMTP Server was running; it stopped its services and has shut down.\n");
    EXPECT_EQ(Printed(*console), "") << "the console itself prints nothing";
}

TEST(Uninstall, GivesUpAfterTheWaitWhenTheConsoleStays) {
    TempAppDir dir;
    InstanceChannel stubborn(AppDir(dir));  // receives the request but never goes away
    ASSERT_TRUE(stubborn.TryBecomeInstance());
    QSignalSpy shutdown(&stubborn, &InstanceChannel::shutdownRequested);

    QElapsedTimer timer;
    timer.start();
    auto uninstall = StartConsole(dir, {"-uninstall"});
    EXPECT_TRUE(shutdown.wait(15000));
    while (uninstall->state() != QProcess::NotRunning && timer.elapsed() < 40000) {
        QTest::qWait(50);
    }
    EXPECT_EQ(uninstall->state(), QProcess::NotRunning);
    // 300 polls of 20 ms: at least 6 s, more on a loaded machine.
    EXPECT_GE(timer.elapsed(), 5500);
    EXPECT_EQ(uninstall->exitCode(), 1);
    EXPECT_EQ(Printed(*uninstall),
              "Relvo SMTP Server was asked to shut down but is still running after 6 seconds.\n");
}

TEST(Election, TwentyConsolesStartedAtOnceLeaveExactlyOne) {
    TempAppDir dir;
    std::vector<std::unique_ptr<QProcess>> consoles;
    for (int i = 0; i < 20; ++i) {
        consoles.push_back(StartConsole(dir));
    }
    auto running = [&] {
        return std::count_if(consoles.begin(), consoles.end(),
                             [](const auto& p) { return p->state() != QProcess::NotRunning; });
    };
    QElapsedTimer timer;
    timer.start();
    while (running() > 1 && timer.elapsed() < 30000) {
        QTest::qWait(50);
    }
    ASSERT_EQ(running(), 1);
    QTest::qWait(500);
    EXPECT_EQ(running(), 1);

    auto uninstall = StartConsole(dir, {"-uninstall"});
    ASSERT_TRUE(Ended(*uninstall, 15000));
    for (auto& console : consoles) {
        EXPECT_TRUE(console->state() == QProcess::NotRunning || console->waitForFinished(15000));
    }
}

TEST(Election, AConsoleKilledOutrightIsTakenOverByTheNextStart) {
    TempAppDir dir;
    auto console = StartConsole(dir);
    InstanceChannel probe(AppDir(dir));
    ASSERT_TRUE(WaitUntilRunning(probe));
    console->kill();
    ASSERT_TRUE(Ended(*console, 15000));
    EXPECT_TRUE(probe.TryBecomeInstance());
}

TEST(Election, ALockFileLeftEmptyByACrashDoesNotKeepTheConsoleFromStarting) {
    TempAppDir dir;
    InstanceChannel probe(AppDir(dir));
    QFile lock(probe.LockPath());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.close();
    auto console = StartConsole(dir);
    ASSERT_TRUE(WaitUntilRunning(probe));
    auto uninstall = StartConsole(dir, {"-uninstall"});
    EXPECT_TRUE(Ended(*console, 15000));
    EXPECT_TRUE(Ended(*uninstall, 15000));
}

TEST(NoDisplay, SaysSoInOneLineAndFails) {
    TempAppDir dir;
    for (const char* platform : {"", "xcb"}) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("RELVO_APP_DIR"), AppDir(dir));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QString::fromLatin1(platform));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(RELVO_CONSOLE_PATH), {});
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << platform;
        EXPECT_NE(process.exitCode(), 0) << platform;
        QString errors = QString::fromUtf8(process.readAllStandardError()).trimmed();
        EXPECT_FALSE(errors.contains(QLatin1Char('\n'))) << errors.toStdString();
        EXPECT_TRUE(errors.startsWith(QLatin1String("relvoconsole: "))) << errors.toStdString();
    }
}

TEST(NoDisplay, AnUnreachableXDisplayIsReportedWithoutACrash) {
    TempAppDir dir;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RELVO_APP_DIR"), AppDir(dir));
    environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":987"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RELVO_CONSOLE_PATH), {});
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    QString errors = QString::fromUtf8(process.readAllStandardError()).trimmed();
    EXPECT_FALSE(errors.contains(QLatin1Char('\n'))) << errors.toStdString();
}
