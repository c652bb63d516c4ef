// Picture of the log viewer for the documentation: a log directory of a few days, one entry
// selected. Run under Xvfb:
//   xvfb-run -a -s "-screen 0 1280x800x24" build/tests/bin/logview_screenshot
//   docs/screenshots/logs.png
#include <QApplication>
#include <QTest>
#include <cstdio>
#include <filesystem>

#include "controls/sort_list_ctrl.h"
#include "mailtools/dlg_log.h"
#include "support/temp_app_dir.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <picture.png>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    TempAppDir dir;
    std::filesystem::create_directory(dir.File("log"));
    for (const char* name : {"smtp20091022.txt", "smtp20091023.txt", "smtp20091024.txt",
                             "send20091022.txt", "send20091023.txt", "send20091024.txt"}) {
        dir.Write(std::string("log/") + name, "10:02:11 started\n");
    }
    CDlgLog dialog;
    dialog.show();
    dialog.List()->setCurrentIndex(dialog.List()->model()->index(4, 0));
    QTest::qWait(300);
    return dialog.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
