// The Accounts dialog with 10,000 accounts, each figure next to its floor measured in the same run:
//  open    constructing and showing the dialog until the list is filled, against one full parse
//          of the configuration file (read it, build the document);
//  sort    one header click on the account column, against std::sort of the same texts with the
//          same comparison;
//  import  the Import button on a 10,000-line file into an empty configuration (question answered,
//          list refilled), against writing the resulting configuration file once (new file,
//          fsync, rename);
//  export  the Export button, against writing the same bytes once the same way.
// With "--screenshot <file.png>" it only grabs the dialog with a few accounts into the file.
// Each figure is the median of several runs, each in a fresh application directory.

// Before any Qt header: it has a member named like Qt's `slots` keyword.
#include "common/profile_document.h"

#include <QApplication>
#include <QByteArray>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/app_paths.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "controls/list_compare.h"
#include "controls/sort_list_ctrl.h"
#include "support/temp_app_dir.h"
#include "tables/account_file.h"
#include "tables/dlg_account.h"

namespace {

constexpr int kAccounts = 10000;
constexpr int kRuns = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Accounts in shuffled order, so the sort has work to do.
std::string AccountFileBytes() {
    std::vector<int> order(kAccounts);
    for (int i = 0; i < kAccounts; ++i) {
        order[static_cast<size_t>(i)] = i;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::string bytes;
    for (int i : order) {
        const std::string n = std::to_string(i);
        bytes += FormatAccountLine(
            {"user" + n + "@example.org", "secret" + n, "Description of account " + n, i % 2});
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What the dialog told, each text once.
QStringList& Messages() {
    static QStringList messages;
    return messages;
}

// The dialog with prompts that answer Yes, choose `path` and show nothing.
std::unique_ptr<CDlgAccount> OpenDialog(const std::string& path) {
    auto dialog = std::make_unique<CDlgAccount>(QStringLiteral("https://example.org/"));
    AccountDialogPrompts prompts;
    prompts.ask = [](QWidget*, const QString&) { return true; };
    prompts.inform = [](QWidget*, const QString& text) {
        if (!Messages().contains(text)) {
            Messages().append(text);
        }
    };
    prompts.warn = [](QWidget*, const QString& text) {
        std::printf("    WARNING: %s\n", qPrintable(text));
    };
    const QString chosen = QString::fromStdString(path);
    prompts.chooseImportFile = [chosen](QWidget*) { return chosen; };
    prompts.chooseExportFile = prompts.chooseImportFile;
    dialog->SetPrompts(prompts);
    return dialog;
}

void Click(CDlgAccount& dialog, const char* button) {
    dialog.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

struct Figure {
    const char* what;
    double measured;
    double floor;
    double target;
};

void Report(const std::vector<Figure>& figures) {
    std::printf("\n%-8s %12s %12s %9s %10s  %s\n", "", "measured", "floor", "ratio", "target",
                "result");
    for (const Figure& f : figures) {
        std::printf("%-8s %10.1f ms %10.1f ms %8.1fx %8.0f ms  %s\n", f.what, f.measured * 1e3,
                    f.floor * 1e3, f.measured / f.floor, f.target * 1e3,
                    f.measured < f.target ? "ok" : "TOO SLOW");
    }
}

// The dialog with a few accounts, grabbed into a PNG file (for the documentation).
int Screenshot(const QString& png) {
    TempAppDir dir;
    WriteFile(dir.File("in.csv"),
              "\"anna.berg@example.org\",\"pw\",\"Anna Berg (sales)\",\"1\"\r\n"
              "\"postmaster@example.org\",\"pw\",\"Postmaster\",\"1\"\r\n"
              "\"j.mueller@example.org\",\"pw\",\"J\xC3\xBCrgen M\xC3\xBCller\",\"0\"\r\n"
              "\"noreply@example.org\",\"pw\",\"Automatic mail\",\"1\"\r\n");
    auto dialog = OpenDialog(dir.File("in.csv"));
    Click(*dialog, "ImportButton");
    dialog->findChild<QLineEdit*>(QStringLiteral("AccountEdit"))->setText("anna.berg@example.org");
    dialog->findChild<QLineEdit*>(QStringLiteral("PasswordEdit"))->setText("pw");
    dialog->findChild<QLineEdit*>(QStringLiteral("DescriptionEdit"))->setText("Anna Berg");
    dialog->show();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(20);
    }
    return dialog->grab().save(png) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--screenshot") {
        return Screenshot(QString::fromLocal8Bit(argv[2]));
    }
    const std::string accountFile = AccountFileBytes();
    std::printf("%d accounts, account file %zu bytes, %d runs each (median)\n", kAccounts,
                accountFile.size(), kRuns);

    std::vector<double> import, importFloor, open, openFloor, sort, sortFloor, exportTime,
        exportFloor;
    for (int run = 0; run < kRuns; ++run) {
        TempAppDir dir;
        WriteFile(dir.File("in.csv"), accountFile);
        {
            auto dialog = OpenDialog(dir.File("in.csv"));
            auto start = Clock::now();
            Click(*dialog, "ImportButton");
            import.push_back(Seconds(start));
        }
        const std::string config = ReadFile(dir.ConfigFile());
        {
            auto start = Clock::now();
            profile::ReplaceFileAtomically(dir.File("floor.cfg"), config, nullptr);
            importFloor.push_back(Seconds(start));
        }
        {
            auto start = Clock::now();
            profile::Document document(ReadFile(dir.ConfigFile()));
            openFloor.push_back(Seconds(start));
        }
        auto dialog = OpenDialog(dir.File("out.csv"));
        {
            dialog.reset();
            auto start = Clock::now();
            dialog = OpenDialog(dir.File("out.csv"));
            dialog->show();
            QCoreApplication::processEvents();
            open.push_back(Seconds(start));
        }
        auto* list = dialog->findChild<CSortListCtrl*>(QStringLiteral("AccountList"));
        if (list->RowCount() != kAccounts) {
            std::printf("the list holds %d rows, not %d\n", list->RowCount(), kAccounts);
            return 1;
        }
        {
            QStringList texts;
            for (int row = 0; row < list->RowCount(); ++row) {
                texts.append(list->RowRecord(row).value(0));
            }
            const QCollator collator = ListTextCollator();
            auto start = Clock::now();
            std::sort(texts.begin(), texts.end(), [&](const QString& a, const QString& b) {
                return CompareListCells(a, b, true, collator) < 0;
            });
            sortFloor.push_back(Seconds(start));
            QHeaderView* header = list->header();
            const QPoint middle(header->sectionViewportPosition(0) + header->sectionSize(0) / 2,
                                header->height() / 2);
            start = Clock::now();
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
            sort.push_back(Seconds(start));
            if (list->RowRecord(0).value(0) != texts.front()) {
                std::printf("the header click did not sort the list\n");
                return 1;
            }
        }
        {
            auto start = Clock::now();
            Click(*dialog, "ExportButton");
            exportTime.push_back(Seconds(start));
            const std::string exported = ReadFile(dir.File("out.csv"));
            start = Clock::now();
            QSaveFile floor(QString::fromStdString(dir.File("floor.csv")));
            floor.open(QIODevice::WriteOnly);
            floor.write(exported.data(), static_cast<qint64>(exported.size()));
            floor.commit();
            exportFloor.push_back(Seconds(start));
            if (exported != accountFile) {
                std::printf("the export differs from the imported file\n");
                return 1;
            }
        }
    }
    for (const QString& message : Messages()) {
        std::printf("the dialog told: %s\n", qPrintable(message));
    }
    Report({{"open", Median(open), Median(openFloor), 1.0},
            {"sort", Median(sort), Median(sortFloor), 0.3},
            {"import", Median(import), Median(importFloor), 5.0},
            {"export", Median(exportTime), Median(exportFloor), 1.0}});
    return 0;
}
