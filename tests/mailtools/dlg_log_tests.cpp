// The log viewer against a real log directory: which entries it lists and in what order, today's
// logs across midnight, View and double-click, and what it says when a file cannot be opened.
#include "mailtools/dlg_log.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <memory>

#include "common/clock.h"
#include "controls/sort_list_ctrl.h"
#include "support/local_time.h"
#include "support/modal_answer.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace fs = std::filesystem;

namespace {

class LogViewerTest : public testing::Test {
  protected:
    ~LogViewerTest() override { SetClockForTesting({}); }

    void MakeLogs(std::initializer_list<const char*> names) {
        fs::create_directories(dir_.File("log"));
        for (const char* name : names) {
            dir_.Write(std::string("log/") + name, "line\n");
        }
    }
    // Opens the dialog with the desktop and the information box recorded.
    void Open() {
        dialog_ = std::make_unique<CDlgLog>();
        dialog_->SetFileOpener([this](const QString& path) {
            opened_.append(path);
            return desktopOpens_;
        });
        dialog_->SetNotice([this](QWidget*, const QString& text) { notices_.append(text); });
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    }
    QStringList Listed() const {
        QStringList names;
        for (int row = 0; row < dialog_->List()->RowCount(); ++row) {
            names.append(dialog_->List()->RowRecord(row).front());
        }
        return names;
    }
    QString LogPath(const QString& name) const {
        return QString::fromStdString(dir_.File("log/")) + name;
    }
    void Press(const char* button) {
        QTest::mouseClick(dialog_->findChild<QPushButton*>(button), Qt::LeftButton);
    }
    QPoint RowCentre(int row) const {
        return dialog_->List()->visualRect(dialog_->List()->model()->index(row, 0)).center();
    }

    TempAppDir dir_;
    std::unique_ptr<CDlgLog> dialog_;
    QStringList opened_;
    QStringList notices_;
    bool desktopOpens_ = true;
};

TEST_F(LogViewerTest, ListsTxtEntriesOfAnyCaseSortedWithoutRegardToCase) {
    MakeLogs({"smtp20091024.txt", "SMTP20091023.TXT", "send20091024.txt", "Send20091025.Txt",
              "smtp20091024.log", "smtp20091024.txt.bak", "txt", "a.TxT", "A.txt", "send.tx"});
    fs::create_directory(dir_.File("log/old.txt"));  // a directory is listed like a file
    fs::create_directory(dir_.File("log/older"));
    Open();
    EXPECT_EQ(dialog_->windowTitle(), "SMTP & SEND logs");
    EXPECT_EQ(Listed(), (QStringList{LogPath("A.txt"), LogPath("a.TxT"), LogPath("old.txt"),
                                     LogPath("send20091024.txt"), LogPath("Send20091025.Txt"),
                                     LogPath("SMTP20091023.TXT"), LogPath("smtp20091024.txt")}));
}

TEST_F(LogViewerTest, MissingOrEmptyLogDirectoryGivesAnEmptyList) {
    Open();
    EXPECT_EQ(dialog_->List()->RowCount(), 0);
    MakeLogs({});
    Open();
    EXPECT_EQ(dialog_->List()->RowCount(), 0);
    Press("viewButton");  // nothing selected: nothing happens
    EXPECT_TRUE(opened_.isEmpty());
    EXPECT_TRUE(notices_.isEmpty());
}

TEST_F(LogViewerTest, TodaysLogsFollowTheClockAcrossMidnight) {
    MakeLogs({"smtp20091024.txt", "send20091024.txt"});
    Open();
    struct Step {
        std::chrono::system_clock::time_point now;
        const char* button;
        const char* name;
        bool exists;
    };
    const Step steps[] = {
        {LocalTime(2009, 10, 24, 23, 59, 59), "smtpTodayButton", "smtp20091024.txt", true},
        {LocalTime(2009, 10, 24, 23, 59, 59), "sendTodayButton", "send20091024.txt", true},
        {LocalTime(2009, 10, 25, 0, 0, 1), "smtpTodayButton", "smtp20091025.txt", false},
        {LocalTime(2009, 10, 25, 0, 0, 1), "sendTodayButton", "send20091025.txt", false},
    };
    for (const Step& step : steps) {
        SetClockForTesting([now = step.now] { return now; });
        opened_.clear();
        notices_.clear();
        Press(step.button);
        if (step.exists) {
            EXPECT_EQ(opened_, QStringList{LogPath(step.name)}) << step.button;
            EXPECT_TRUE(notices_.isEmpty());
        } else {
            EXPECT_TRUE(opened_.isEmpty()) << step.button;
            EXPECT_EQ(notices_, QStringList{CDlgLog::MissingFileMessage(LogPath(step.name))});
        }
    }
}

TEST_F(LogViewerTest, ViewAndDoubleClickOpenTheSelectedEntry) {
    MakeLogs({"send20091024.txt", "smtp20091023.txt", "smtp20091024.txt"});
    Open();
    QTest::mouseClick(dialog_->List()->viewport(), Qt::LeftButton, {}, RowCentre(1));
    Press("viewButton");
    EXPECT_EQ(opened_, QStringList{LogPath("smtp20091023.txt")});

    // a double click begins with a press, which selects the row
    QTest::mouseClick(dialog_->List()->viewport(), Qt::LeftButton, {}, RowCentre(2));
    QTest::mouseDClick(dialog_->List()->viewport(), Qt::LeftButton, {}, RowCentre(2));
    EXPECT_EQ(opened_.size(), 2);
    EXPECT_EQ(opened_.back(), LogPath("smtp20091024.txt"));

    fs::remove(dir_.File("log/smtp20091024.txt"));  // gone since the list was filled
    Press("viewButton");
    EXPECT_EQ(opened_.size(), 2);
    EXPECT_EQ(notices_, QStringList{CDlgLog::MissingFileMessage(LogPath("smtp20091024.txt"))});
}

TEST_F(LogViewerTest, DesktopWithoutProgramForTextFilesIsToldInAnInformationBox) {
    MakeLogs({"smtp20091024.txt"});
    desktopOpens_ = false;
    Open();
    dialog_->SetNotice({});  // the real box
    dialog_->List()->setCurrentIndex(dialog_->List()->model()->index(0, 0));
    auto box = AnswerNextBox(QMessageBox::Ok);
    Press("viewButton");
    ASSERT_TRUE(box->seen);
    EXPECT_EQ(box->icon, QMessageBox::Information);
    EXPECT_EQ(box->text, CDlgLog::NoProgramMessage(LogPath("smtp20091024.txt")));
    EXPECT_TRUE(box->text.contains(LogPath("smtp20091024.txt")));
    EXPECT_EQ(opened_, QStringList{LogPath("smtp20091024.txt")});
}

}  // namespace
