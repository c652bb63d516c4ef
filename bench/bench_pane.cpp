// Engine lines into the main window's activity pane: 100,000 lines of 80 characters sent from an
// engine thread. Prints lines per second, the pane's largest size right after an engine line, and
// the longest stall of the UI thread as seen by a 1 ms timer.
#include <QApplication>
#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/activity_pane.h"
#include "app/config_dlg.h"
#include "app/pane_text.h"
#include "support/fake_engine.h"
#include "support/temp_app_dir.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    TempAppDir dir;
    FakeEngine fake;
    const int kLines = argc > 1 ? std::atoi(argv[1]) : 100000;
    const std::string prefix(74, 'x');  // with the index and the line break: about 80 characters

    CRelvoConfigDlg window(nullptr, [](QWidget*, const QString&) { return true; });
    window.show();
    ActivityPane* pane = window.Pane();
    QString lastLine = QStringLiteral("%1%2").arg(QString::fromStdString(prefix)).arg(kLines - 1);

    int largest = 0;
    bool done = false;
    QObject::connect(pane->document(), &QTextDocument::contentsChanged,
                     [&] { largest = std::max(largest, pane->CharacterCount()); });
    QElapsedTimer sinceTick;
    qint64 longestStallMs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestStallMs = std::max(longestStallMs, sinceTick.restart()); });

    QElapsedTimer total;
    total.start();
    sinceTick.start();
    ticker.start(1);
    fake.SendLines("smtp", kLines, prefix);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (pane->document()->lastBlock().previous().text() == lastLine) {
            done = true;
            QCoreApplication::exit(0);  // quit() would ask the window, which refuses to close
        }
    });
    poll.start(5);
    QTimer::singleShot(120000, [] { QCoreApplication::exit(1); });
    app.exec();
    double seconds = total.elapsed() / 1000.0;
    fake.JoinThreads();

    std::printf("engine lines into the pane: %d lines of %zu characters%s\n", kLines,
                prefix.size() + 6, done ? "" : " (NOT all arrived within 120 s)");
    std::printf("  throughput: %.0f lines/s (target >= 20000)\n", kLines / seconds);
    std::printf("  largest pane after an engine line: %d characters (limit %d + one line)\n",
                largest, pane::kTrimThreshold);
    std::printf("  longest UI stall seen by a 1 ms timer: %lld ms (target <= 100)\n",
                static_cast<long long>(longestStallMs));
    return done ? 0 : 1;
}
