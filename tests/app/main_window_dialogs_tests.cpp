// The main window's settings and log buttons against the recording fake engine: a port changed
// in the settings sheet reaches the engine at the next start of the service, and the log viewer
// lists the log directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "app/config_dlg.h"
#include "controls/sort_list_ctrl.h"
#include "mailtools/dlg_log.h"
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
