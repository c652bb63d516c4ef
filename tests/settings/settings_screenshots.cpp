// Pictures of the settings sheet, one per page, for the documentation. Run under Xvfb:
//   xvfb-run -a -s "-screen 0 1280x800x24" build/tests/bin/settings_screenshots docs/screenshots
// writes settings-general.png, settings-smtp.png, settings-send.png and settings-advanced.png
// there, and
// settings-port-refused.png: OK refused for a port that cannot work, with the hint.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <cstdio>

#include "common/profile_store.h"
#include "settings/dlg_settings.h"
#include "support/temp_app_dir.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    TempAppDir dir;
    ProfileSetInt("System", "SmtpPort2nd", 2525, ".cfg");
    ProfileSetString("System", "HELOString", "mail.relvo.example", ".cfg");
    CDlgSettings sheet;
    sheet.show();
    const char* names[] = {"settings-general.png", "settings-smtp.png", "settings-send.png",
                           "settings-advanced.png"};
    bool saved = true;
    for (int page = 0; page < 4; ++page) {
        sheet.Tabs()->setCurrentIndex(page);
        QTest::qWait(200);
        saved = sheet.grab().save(QString::fromLocal8Bit(argv[1]) + "/" + names[page]) && saved;
    }
    sheet.Tabs()->setCurrentIndex(0);
    QLineEdit* port = sheet.findChild<QLineEdit*>(QStringLiteral("SmtpPort"));
    port->setText(QStringLiteral("70000"));
    QTest::mouseClick(sheet.findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
    QTest::qWait(200);
    saved =
        sheet.grab().save(QString::fromLocal8Bit(argv[1]) + "/settings-port-refused.png") && saved;
    return saved ? 0 : 1;
}
