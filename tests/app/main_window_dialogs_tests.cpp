// The main window's settings and log buttons against the recording fake engine: a port changed
// in the settings sheet reaches the engine at the next start of the service, and the log viewer
// lists the log directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "app/config_dlg.h"
#include "app/ext_system_tray.h"
#include "controls/sort_list_ctrl.h"
#include "engine/service_control.h"
#include "mailtools/dlg_log.h"
#include "mailtools/dlg_queue.h"
#include "settings/dlg_settings.h"
#include "support/fake_engine.h"
#include "support/scoped_env.h"
#include "support/temp_app_dir.h"

namespace {

// Runs work on the next modal dialog of type Dialog once it is up (the click that opens it does
// not return before it closes); whether it ran is set through the result.
template <typename Dialog>
std::shared_ptr<bool> WhenModal(std::function<void(Dialog*)> work) {
    auto ran = std::make_shared<bool>(false);
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, ran, work] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *ran = true;
            work(dialog);
        }
    });
    timer->start(10);
    return ran;
}

TEST(MainWindowDialogs, PortSetInTheSheetIsUsedAtTheNextStartAndLogsAreListed) {
    TempAppDir dir;
    ScopedEnv configHome("XDG_CONFIG_HOME", dir.File("xdg"));  // OK acts on the autostart entry
    FakeEngine fake;
    std::filesystem::create_directory(dir.File("log"));
    dir.Write("log/smtp20091024.txt", "line\n");
    CRelvoConfigDlg window(nullptr, [](QWidget*, const QString&) { return true; });
    window.show();

    auto set = WhenModal<CDlgSettings>([](CDlgSettings* sheet) {
        sheet->Tabs()->setCurrentIndex(1);
        sheet->findChild<QLineEdit*>("SmtpPort")->setText(QStringLiteral("2626"));
        sheet->findChild<QPushButton*>("okButton")->click();
    });
    window.findChild<QPushButton*>("SettingsButton")->click();
    ASSERT_TRUE(*set);
    fake.Reset();
    window.findChild<QPushButton*>("SmtpButton")->click();  // stop
    window.findChild<QPushButton*>("SmtpButton")->click();  // start again
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"RelvoMail_SmtpServiceStop()",
                                                      "RelvoMail_SmtpServiceStart(2626)"}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("xdg")));  // AutoRun stayed unticked

    QStringList listed;
    auto viewed = WhenModal<CDlgLog>([&listed](CDlgLog* logs) {
        listed.append(logs->List()->RowRecord(0));
        logs->findChild<QPushButton*>("closeButton")->click();
    });
    window.findChild<QPushButton*>("LogsButton")->click();
    ASSERT_TRUE(*viewed);
    EXPECT_EQ(listed, QStringList{QString::fromStdString(dir.File("log/smtp20091024.txt"))});
}

}  // namespace

namespace {

// One queue view at a time, and the waiting count beside the SEND status and in the tray's tip.
TEST(MainWindowDialogs, QueueButtonRaisesOneViewAndTheCountFollowsTheQueue) {
    TempAppDir dir;
    FakeEngine fake;
    std::filesystem::create_directory(dir.File("queue"));
    dir.Write("queue/5.eml", "Subject: x\r\n\r\n");
    dir.Write("queue/5.cfg", "[MailInfo]\r\nRcptToNumber=1\r\nRcptTo0=a@b.test\r\n");
    CRelvoConfigDlg window(nullptr, [](QWidget*, const QString&) { return true; });
    window.show();
    auto* waiting = window.findChild<QLabel*>("WaitingCount");
    ASSERT_TRUE(QTest::qWaitFor([&] { return waiting->text() == "1 mail waiting"; }, 3000));
    EXPECT_EQ(window.findChild<QLabel*>("SendStatus")->text(),
              SendStatusText(window.Services().SendRunning()));
    dir.Write("queue/6.eml", "Subject: y\r\n\r\n");
    dir.Write("queue/6.cfg", "[MailInfo]\r\nRcptToNumber=1\r\nRcptTo0=a@b.test\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return waiting->text() == "2 mails waiting"; }, 3000));
    if (window.Tray()->IsShown()) {
        EXPECT_EQ(window.Tray()->ToolTip(), "Relvo SMTP Server\n2 mails waiting");
    }

    auto* button = window.findChild<QPushButton*>("QueueButton");
    EXPECT_EQ(button->text(), "Mail &queue");
    button->click();
    QPointer<CDlgQueue> first = window.QueueDialog();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isModal());
    button->click();
    EXPECT_EQ(window.QueueDialog(), first.data());
    EXPECT_EQ(window.findChildren<CDlgQueue*>().size(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->EntryCount() == 2; }, 3000));
    first->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 3000));
    button->click();
    EXPECT_NE(window.QueueDialog(), nullptr);
}

}  // namespace
