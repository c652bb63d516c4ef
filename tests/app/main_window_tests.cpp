// The main window against the recording fake engine: the opening sequence, service toggles and
// their lines, the close question and exit sequence, tray clicks, keys, and engine lines.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "app/activity_pane.h"
#include "app/config_app.h"
#include "app/config_dlg.h"
#include "app/dlg_close.h"
#include "app/ext_system_tray.h"
#include "common/clock.h"
#include "common/profile_store.h"
#include "support/fake_engine.h"
#include "support/local_time.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

using Lines = std::vector<std::string>;

// The pane's lines without their "[hh:mm:ss] " stamps.
QStringList PaneLines(const CRelvoConfigDlg& window) {
    QStringList lines = window.Pane()->PaneText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (QString& line : lines) {
        if (line.startsWith(QLatin1Char('[')) && line.indexOf(QLatin1String("] ")) > 0) {
            line = line.mid(line.indexOf(QLatin1String("] ")) + 2);
        }
    }
    return lines;
}

QString Text(const CRelvoConfigDlg& window, const char* name) {
    if (auto* label = window.findChild<QLabel*>(name)) {
        return label->text();
    }
    return window.findChild<QPushButton*>(name)->text();
}

// Clicks a button of the next modal dialog that appears, once it is up.
void ClickInNextModal(const QString& buttonName) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, buttonName] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal->objectName() == QLatin1String("CRelvoConfigDlg")) {
            return;
        }
        if (auto* button = modal->findChild<QPushButton*>(buttonName)) {
            timer->stop();
            timer->deleteLater();
            button->click();
        }
    });
    timer->start(20);
}

// Every question fails the test: paths that must not ask use it.
CRelvoConfigDlg::Question NoQuestion() {
    return [](QWidget*, const QString& question) {
        ADD_FAILURE() << "unexpected question: " << question.toStdString();
        return false;
    };
}

class MainWindowTest : public ::testing::Test {
  protected:
    TempAppDir dir;
    FakeEngine fake;
};

}  // namespace

TEST_F(MainWindowTest, OpeningRegistersTheWindowThenStartsBothServices) {
    ProfileSetInt("System", "SmtpPort", 2525, ".cfg");
    ProfileSetInt("System", "SmtpPort2nd", 587, ".cfg");
    CRelvoConfigDlg window(nullptr, NoQuestion());
    EXPECT_EQ(
        fake.Calls(),
        (Lines{"RelvoMail_SmtpServiceSetWnd(window,32768)",
               "RelvoMail_SendServiceSetWnd(window,32768)", "RelvoMail_SmtpServiceStart(2525)",
               "RelvoMail_SmtpServiceStart(587)", "RelvoMail_SendServiceStart(5)"}));
    EXPECT_EQ(PaneLines(window), (QStringList{"SMTP service [Port:2525] started successfully",
                                              "SMTP service 2nd [Port:587] started successfully",
                                              "SEND service started successfully"}));
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: RUNNING!");
    EXPECT_EQ(Text(window, "SendStatus"), "SEND service: RUNNING!");
    EXPECT_EQ(Text(window, "SmtpButton"), "Stop SMTP service");
    EXPECT_EQ(Text(window, "SendButton"), "Stop SEND service");
    EXPECT_EQ(window.findChild<QLabel*>("SmtpStatus")->palette().color(QPalette::WindowText),
              QColor(0, 0, 255));
    EXPECT_EQ(window.windowTitle(), "Relvo SMTP Server 1.1");
}

TEST_F(MainWindowTest, AutomaticStartFollowsTheSettings) {
    ProfileSetInt("System", "AutoStartSmtpService", 0, ".cfg");
    ProfileSetInt("System", "SendMailThread", 12, ".cfg");
    ProfileSetInt("System", "SmtpPort2nd", -4, ".cfg");
    CRelvoConfigDlg window(nullptr, NoQuestion());
    Lines calls = fake.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls.back(), "RelvoMail_SendServiceStart(12)");
    EXPECT_EQ(
        std::count_if(calls.begin(), calls.end(),
                      [](const std::string& c) { return c.find("SmtpServiceStart") != c.npos; }),
        0);
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: STOPPED!");
}

TEST_F(MainWindowTest, FailedStartsAreLoggedAndLeaveTheServicesStopped) {
    fake.SetResult("SmtpServiceStart", 0);
    fake.SetResult("SendServiceStart", 0);
    ProfileSetInt("System", "SmtpPort2nd", 2525, ".cfg");
    CRelvoConfigDlg window(nullptr, NoQuestion());
    EXPECT_EQ(PaneLines(window), (QStringList{"SMTP service [Port:25] started failed",
                                              "SMTP service 2nd [Port:2525] started failed",
                                              "SEND service started failed"}));
    // The reason at the end of the long line is seen without scrolling sideways.
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.Pane()->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: STOPPED!");
    EXPECT_EQ(Text(window, "SmtpButton"), "Start SMTP service");
    EXPECT_EQ(window.findChild<QLabel*>("SendStatus")->palette().color(QPalette::WindowText),
              QColor(255, 0, 0));

    // Pressing the button tries both ports again.
    fake.SetResult("SmtpServiceStart", 1);
    window.findChild<QPushButton*>("SmtpButton")->click();
    EXPECT_EQ(PaneLines(window).mid(3),
              (QStringList{"SMTP service [Port:25] started successfully",
                           "SMTP service 2nd [Port:2525] started successfully"}));
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: RUNNING!");
}

TEST_F(MainWindowTest, DecliningAStopChangesNothing) {
    bool answer = false;
    QStringList asked;
    CRelvoConfigDlg window(nullptr, [&](QWidget*, const QString& question) {
        asked << question;
        return answer;
    });
    Lines before = fake.Calls();
    QStringList paneBefore = PaneLines(window);
    window.findChild<QPushButton*>("SmtpButton")->click();
    window.findChild<QPushButton*>("SendButton")->click();
    EXPECT_EQ(asked, (QStringList{"Are you sure to stop SMTP service?",
                                  "Are you sure to stop SEND service?"}));
    EXPECT_EQ(fake.Calls(), before);
    EXPECT_EQ(PaneLines(window), paneBefore);
    EXPECT_EQ(Text(window, "SmtpButton"), "Stop SMTP service");

    answer = true;
    window.findChild<QPushButton*>("SmtpButton")->click();
    EXPECT_EQ(fake.Calls().back(), "RelvoMail_SmtpServiceStop()");
    EXPECT_EQ(PaneLines(window).back(), "SMTP service stopped");
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: STOPPED!");
    EXPECT_EQ(Text(window, "SmtpButton"), "Start SMTP service");
}

TEST_F(MainWindowTest, ExitStopsOnlyRunningServicesSmtpFirstWithoutAQuestion) {
    {
        CRelvoConfigDlg window(nullptr, NoQuestion());
        size_t opened = fake.Calls().size();
        window.RunExitSequence();
        Lines calls = fake.Calls();
        EXPECT_EQ(Lines(calls.begin() + static_cast<long>(opened), calls.end()),
                  (Lines{"RelvoMail_SmtpServiceStop()", "RelvoMail_SendServiceStop()"}));
        EXPECT_EQ(window.result(), QDialog::Accepted);
    }
    fake.Reset();
    fake.SetResult("SmtpServiceStart", 0);
    CRelvoConfigDlg window(nullptr, NoQuestion());
    size_t opened = fake.Calls().size();
    window.RunExitSequence();
    window.RunExitSequence();  // a second request stops nothing twice
    Lines calls = fake.Calls();
    EXPECT_EQ(Lines(calls.begin() + static_cast<long>(opened), calls.end()),
              (Lines{"RelvoMail_SendServiceStop()"}));
}

TEST_F(MainWindowTest, CloseQuestionHidesExitsOrCancels) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    size_t opened = fake.Calls().size();

    ClickInNextModal("CancelButton");
    window.AskClose();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(fake.Calls().size(), opened);

    ClickInNextModal("HideButton");
    window.AskClose();
    QTest::qWait(50);
    EXPECT_TRUE(!window.isVisible() || window.isMinimized());
    EXPECT_FALSE(window.ExitRequested());
    EXPECT_EQ(fake.Calls().size(), opened);

    ClickInNextModal("ExitButton");
    window.AskClose();
    EXPECT_TRUE(window.ExitRequested());
    EXPECT_EQ(fake.Calls().back(), "RelvoMail_SendServiceStop()");
}

TEST_F(MainWindowTest, StartupProblemsAndAnUnreadableConfigurationComeFirstInThePane) {
    std::filesystem::create_directory(dir.ConfigFile());  // unreadable, even for root
    dir.Write("mail", "a file where the mail directory belongs");
    CRelvoConfigApp app({});
    app.EnsureWorkingDirectories();
    CRelvoConfigDlg window(nullptr, NoQuestion(), app.StartupProblems());
    EXPECT_EQ(
        PaneLines(window).mid(0, 4),
        (QStringList{
            QString::fromStdString("Cannot create the working directory " + dir.File("mail") +
                                   ": something that is not a directory has "
                                   "that name"),
            QString::fromStdString("Cannot read the configuration file " + dir.ConfigFile() +
                                   ": Is a directory; the defaults are used "
                                   "until it can be read"),
            "SMTP service [Port:25] started successfully", "SEND service started successfully"}));
}

TEST_F(MainWindowTest, CloseQuestionSaysWhatHideDoesWithAndWithoutATray) {
    struct Case {
        bool tray;
        const char* hide;
    };
    for (const Case& c : {Case{true, "Hide: keep running in the system tray."},
                          Case{false, "Hide: keep running and minimise the window."}}) {
        CDlgClose question(c.tray);
        EXPECT_EQ(question.findChild<QGroupBox*>()->title(), "What do you want to do?");
        EXPECT_EQ(question.findChild<QLabel*>("HideText")->text(), c.hide);
        EXPECT_EQ(question.findChild<QLabel*>("ExitText")->text(),
                  "Exit: stop the services and exit.");
    }
    // Offscreen there is no tray: the window's own question says that Hide minimises.
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    QString shown;
    QTimer::singleShot(100, [&shown] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            shown = modal->findChild<QLabel*>("HideText")->text();
            modal->findChild<QPushButton*>("CancelButton")->click();
        }
    });
    window.AskClose();
    EXPECT_EQ(shown, "Hide: keep running and minimise the window.");
}

TEST_F(MainWindowTest, ShutdownDuringAnotherModalDialogEndsTheWindowAfterIt) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    QSignalSpy finished(&window, &QDialog::finished);
    QMessageBox other(QMessageBox::Information, "Accounts", "open", QMessageBox::Ok, &window);
    other.setObjectName("OtherDialog");
    QTimer::singleShot(50, [&] {
        window.RunExitSequence();
        // Services stop at once, the window stays until the other dialog is closed.
        EXPECT_EQ(fake.Calls().back(), "RelvoMail_SendServiceStop()");
        QTimer::singleShot(200, [&] {
            EXPECT_EQ(finished.count(), 0);
            EXPECT_TRUE(window.isVisible());
            other.accept();
        });
    });
    other.exec();
    // The window may have ended before the other dialog's run returned.
    EXPECT_TRUE(finished.count() > 0 || finished.wait(5000));
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, EnterDoesNothingAndEscapePutsTheWindowAway) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    QApplication::setActiveWindow(&window);
    window.findChild<QPushButton*>("SmtpButton")->setFocus();
    size_t opened = fake.Calls().size();
    QTest::keyClick(&window, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter);
    EXPECT_EQ(fake.Calls().size(), opened);
    EXPECT_TRUE(window.isVisible());

    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_TRUE(!window.isVisible() || window.isMinimized());
    EXPECT_FALSE(window.ExitRequested());
    EXPECT_EQ(fake.Calls().size(), opened);  // services keep running

    window.close();
    EXPECT_FALSE(window.ExitRequested());
}

TEST_F(MainWindowTest, TrayClicksToggleOrAlwaysShow) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    CExtSystemTray tray(&window);
    window.show();
    EXPECT_EQ(tray.HandleTrayCallback(QSystemTrayIcon::Trigger), 0);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(tray.HandleTrayCallback(QSystemTrayIcon::Trigger), 0);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(tray.HandleTrayCallback(QSystemTrayIcon::Context), 0);
    EXPECT_TRUE(window.isVisible());
    window.hide();
    EXPECT_EQ(tray.HandleTrayCallback(QSystemTrayIcon::Context), 0);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(tray.HandleTrayCallback(QSystemTrayIcon::MiddleClick), 1);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(MainWindowTest, AutoMinimizePutsTheWindowAwayAtTheFirstShowOnly) {
    ProfileSetInt("System", "AutoMinimize", 1, ".cfg");
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    QTest::qWait(50);
    EXPECT_TRUE(!window.isVisible() || window.isMinimized());
    window.BringForward();
    window.showNormal();
    QTest::qWait(50);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
}

TEST_F(MainWindowTest, EngineLinesFromTheEngineThreadArriveInOrder) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    ASSERT_TRUE(fake.SendLines("smtp", 300, "2026 Client/line "));
    ASSERT_TRUE(fake.SendLines("send", 1, "from send"));
    fake.JoinThreads();
    QTRY_VERIFY_WITH_TIMEOUT(window.Pane()->PaneText().contains(QLatin1String("from send")), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(window.Pane()->PaneText().contains(QLatin1String("C/line 299")), 5000);
    QStringList lines = PaneLines(window).filter(QStringLiteral("C/line "));
    ASSERT_EQ(lines.size(), 300);
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(lines[i], QStringLiteral("2026 C/line %1").arg(i));
    }
}

TEST_F(MainWindowTest, LinesForAClosedWindowAreDropped) {
    auto window = std::make_unique<CRelvoConfigDlg>(nullptr, NoQuestion());
    ASSERT_TRUE(fake.SendLines("smtp", 2000, "late "));
    window.reset();
    fake.JoinThreads();
    // Lines queued for the dead window are handled (and dropped) while a new window lives.
    CRelvoConfigDlg next(nullptr, NoQuestion());
    QTest::qWait(200);
    EXPECT_FALSE(next.Pane()->PaneText().contains(QLatin1String("late ")));
    EXPECT_EQ(PaneLines(next).size(), 2);
}

TEST_F(MainWindowTest, TheClockShowsTheNewDateAfterMidnight) {
    auto now = LocalTime(2026, 12, 31, 23, 59, 59);
    SetClockForTesting([&now] { return now; });
    CRelvoConfigDlg window(nullptr, NoQuestion());
    EXPECT_EQ(Text(window, "Date"), "Thursday, Dec.31");
    EXPECT_EQ(Text(window, "Clock"), "23:59:59");
    now += std::chrono::seconds(1);
    QTRY_COMPARE_WITH_TIMEOUT(Text(window, "Date"), QStringLiteral("Friday, Jan.01"), 2500);
    EXPECT_EQ(Text(window, "Clock"), "00:00:00");
    SetClockForTesting({});
}

TEST(MainWindowWithoutEngine, LogsFailuresOnTheDefaultPortTheFirstSayingWhy) {
    TempAppDir dir;
    CRelvoConfigDlg window(nullptr, NoQuestion());
    EXPECT_EQ(PaneLines(window),
              (QStringList{QString::fromStdString(
                               "SMTP service [Port:25] started failed: the engine library " +
                               dir.File("librelvomailservice.so") +
                               " cannot be loaded: cannot open shared object file: No such file "
                               "or directory"),
                           "SEND service started failed"}));
    // The reason at the end of the long line is seen without scrolling sideways.
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.Pane()->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(Text(window, "SmtpStatus"), "SMTP service: STOPPED!");
    EXPECT_EQ(Text(window, "SendStatus"), "SEND service: STOPPED!");
    window.RunExitSequence();
    EXPECT_EQ(window.result(), QDialog::Accepted);
}

TEST_F(MainWindowTest, TableButtonsOpenTheirDialogsModally) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    window.show();
    for (auto [button, caption] :
         {std::pair{"AccountButton", "Accounts"}, std::pair{"DomainButton", "Domains"},
          std::pair{"RelayButton", "Relay accounts"}}) {
        QString seen;
        QTimer::singleShot(100, [&seen] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                seen = modal->windowTitle();
                modal->close();
            }
        });
        window.findChild<QPushButton*>(button)->click();
        EXPECT_EQ(seen, QString::fromLatin1(caption));
    }
}

TEST_F(MainWindowTest, TheProgramRunsOnWhileHiddenAndEndsOnlyWithTheExitSequence) {
    CRelvoConfigDlg window(nullptr, NoQuestion());
    QStringList seen;  // what happened while the program still ran
    QTimer::singleShot(50, &window, [&] {
        window.hide();  // what the tray and Hide do (offscreen there is no tray)
        QTimer::singleShot(100, &window, [&] {
            seen << "ran on after the window hid";
            // The last visible window closing must not end the program either.
            auto* other = new QWidget;
            other->setAttribute(Qt::WA_DeleteOnClose);
            other->show();
            other->close();
            QTimer::singleShot(100, &window, [&] {
                seen << "ran on after the last window closed";
                window.RunExitSequence();
            });
        });
    });
    QTimer::singleShot(5000, &window, [&] {
        seen << "timed out";
        QCoreApplication::quit();
    });
    RunMainWindow(window);
    EXPECT_EQ(seen,
              (QStringList{"ran on after the window hid", "ran on after the last window closed"}));
    EXPECT_EQ(fake.Calls().back(), "RelvoMail_SendServiceStop()");
}
