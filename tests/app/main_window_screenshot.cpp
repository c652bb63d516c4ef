// Picture of the main window for the documentation: the console against the recording fake
// engine, both services started, a few engine lines in the pane. Run under Xvfb:
//   xvfb-run -a -s "-screen 0 1280x800x24" build/tests/bin/main_window_screenshot
//   docs/screenshots/main-window.png
#include <QApplication>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/config_dlg.h"
#include "common/profile_store.h"
#include "support/fake_engine.h"
#include "support/temp_app_dir.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <picture.png>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    TempAppDir dir;
    FakeEngine fake;
    ProfileSetInt("System", "SmtpPort2nd", 2525, ".cfg");
    std::filesystem::create_directory(dir.File("queue"));
    for (const char* id : {"1043", "1044", "1045"}) {
        dir.Write(std::string("queue/") + id + ".eml", "Subject: x\r\n\r\n");
        dir.Write(std::string("queue/") + id + ".cfg", "[MailInfo]\r\nRcptToNumber=1\r\n");
    }
    CRelvoConfigDlg window(nullptr, [](QWidget*, const QString&) { return true; });
    window.show();
    fake.SendText("smtp", "10:02:11 Client/127.0.0.1:50312 EHLO printer.office.lan");
    fake.JoinThreads();
    fake.SendText("smtp", "10:02:11 Server/127.0.0.1:50312 250-relvo.example Hello");
    fake.JoinThreads();
    fake.SendText("send", "10:02:12 queued 1042.eml for alice@example.org");
    fake.JoinThreads();
    fake.SendText("send", "10:02:13 delivered 1042.eml to mx.example.org: 250 OK");
    fake.JoinThreads();
    QTest::qWait(1200);  // the waiting count's first look
    bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
    return saved ? 0 : 1;
}
