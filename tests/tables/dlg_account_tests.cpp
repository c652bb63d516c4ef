// The Accounts dialog driven through its widgets, checked against the configuration file.
#include "tables/dlg_account.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>

#include "common/profile_store.h"
#include "controls/sort_list_ctrl.h"
#include "controls/xhyperlink.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"
#include "tables/account_file.h"
#include "tables/account_table.h"

namespace {

const QString kSupportUrl = QStringLiteral("https://support.example/accounts");

std::string Info(const std::string& key) {
    return ProfileGetString("AccountInfo", key, "<missing>", ".cfg");
}

class AccountDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.Write("relvoconsole.cfg",
                  "[AccountList]\r\njoe@x.org=1\r\nann@x.org=1\r\nbare@x.org=1\r\n"
                  "[AccountInfo]\r\njoe@x.org_Password=jpw\r\njoe@x.org_Desc=Joe\r\n"
                  "joe@x.org_Enabled=1\r\nann@x.org_Password=apw\r\nann@x.org_Desc=Ann\r\n"
                  "ann@x.org_Enabled=2\r\n");
    }

    // Opens the dialog with prompts that record what they are asked and answer `answer`.
    std::unique_ptr<CDlgAccount> Open() {
        auto dialog = std::make_unique<CDlgAccount>(kSupportUrl);
        AccountDialogPrompts prompts;
        prompts.ask = [this](QWidget*, const QString& text) {
            questions.append(text);
            return answer;
        };
        prompts.confirmDelete = prompts.ask;
        prompts.inform = [this](QWidget*, const QString& text) { informed.append(text); };
        prompts.warn = [this](QWidget*, const QString& text) { warned.append(text); };
        prompts.chooseImportFile = [this](QWidget*) {
            ++choices;
            return chosen;
        };
        prompts.chooseExportFile = prompts.chooseImportFile;
        dialog->SetPrompts(prompts);
        dialog->show();
        QApplication::setActiveWindow(dialog.get());
        return dialog;
    }

    template <typename T>
    static T* Child(const CDlgAccount& dialog, const char* name) {
        T* child = dialog.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static CSortListCtrl* List(const CDlgAccount& d) {
        return Child<CSortListCtrl>(d, "AccountList");
    }
    static void Click(const CDlgAccount& d, const char* button) {
        Child<QPushButton>(d, button)->click();
    }
    static void Fill(const CDlgAccount& d, const QString& name, const QString& password,
                     const QString& description, bool enabled) {
        Child<QLineEdit>(d, "AccountEdit")->setText(name);
        Child<QLineEdit>(d, "PasswordEdit")->setText(password);
        Child<QLineEdit>(d, "DescriptionEdit")->setText(description);
        Child<QCheckBox>(d, "EnabledCheck")->setChecked(enabled);
    }
    static QStringList Column(const CDlgAccount& d, int column) {
        QStringList texts;
        for (int row = 0; row < List(d)->RowCount(); ++row) {
            texts.append(List(d)->CellText(row, column));
        }
        return texts;
    }
    static void ClickRowArea(const CDlgAccount& d, QPoint at) {
        QTest::mouseClick(List(d)->viewport(), Qt::LeftButton, {}, at);
    }
    static QPoint RowCenter(const CDlgAccount& d, int row) {
        return List(d)->visualRect(List(d)->model()->index(row, 0)).center();
    }
    static void SelectRows(const CDlgAccount& d, std::initializer_list<int> rows) {
        List(d)->clearSelection();
        for (int row : rows) {
            List(d)->selectionModel()->select(
                List(d)->model()->index(row, 0),
                QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    TempAppDir dir;
    bool answer = true;
    QStringList questions;
    QStringList informed;
    QStringList warned;
    QString chosen;
    int choices = 0;
};

}  // namespace

TEST_F(AccountDialogTest, OpensWithTheAccountsOfTheFileAndAnEmptyForm) {
    auto d = Open();
    EXPECT_EQ(d->windowTitle(), "Accounts");
    EXPECT_EQ(Column(*d, 0), (QStringList{"joe@x.org", "ann@x.org", "bare@x.org"}));
    EXPECT_EQ(Column(*d, 1), (QStringList{"Joe", "Ann", ""}));
    EXPECT_EQ(Column(*d, 2), (QStringList{"Yes", "Yes", "-"}));  // 2 counts as enabled
    auto* model = List(*d)->model();
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), QString(15, ' ') + "Account");
    EXPECT_EQ(List(*d)->header()->sectionSize(1), 160);
    EXPECT_EQ(Child<QLineEdit>(*d, "AccountEdit")->text(), "");
    EXPECT_TRUE(Child<QCheckBox>(*d, "EnabledCheck")->isChecked());
    EXPECT_EQ(Child<CXHyperLink>(*d, "HelpLink")->LinkUrl(), kSupportUrl);
}

TEST_F(AccountDialogTest, SaveAddsTheAccountAndSelectsItsNewRow) {
    auto d = Open();
    Fill(*d, "new@x.org", "  pw  ", "New one", false);
    Click(*d, "SaveButton");
    EXPECT_EQ(ProfileGetString("AccountList", "new@x.org", "", ".cfg"), "1");
    EXPECT_EQ(Info("new@x.org_Password"), "pw");
    EXPECT_EQ(Info("new@x.org_Desc"), "New one");
    EXPECT_EQ(Info("new@x.org_Enabled"), "0");
    ASSERT_EQ(List(*d)->RowCount(), 4);
    EXPECT_EQ(List(*d)->RowRecord(3), (QStringList{"new@x.org", "New one", "-"}));
    QList<int> selected;
    List(*d)->ListSelectedRows(selected);
    EXPECT_EQ(selected, QList<int>{3});
    EXPECT_EQ(QApplication::focusWidget(), List(*d));
    EXPECT_EQ(Child<QLineEdit>(*d, "PasswordEdit")->text(), "  pw  ");  // the form keeps its text
}

TEST_F(AccountDialogTest, SaveUnderAnotherLetterCaseUpdatesTheExistingRow) {
    auto d = Open();
    Fill(*d, "JOE@x.org", "new", "Joseph", true);
    Click(*d, "SaveButton");
    EXPECT_EQ(Column(*d, 0), (QStringList{"JOE@x.org", "ann@x.org", "bare@x.org"}));
    EXPECT_EQ(List(*d)->RowRecord(0), (QStringList{"JOE@x.org", "Joseph", "Yes"}));
    EXPECT_EQ(AccountTable().Names().size(), 3u);
    EXPECT_EQ(Info("joe@x.org_Password"), "new");
}

TEST_F(AccountDialogTest, RefusedInputFocusesTheBoxAndSaysWhyBesideTheForm) {
    const std::string before = dir.Read("relvoconsole.cfg");
    auto d = Open();
    const QString name = "An account name is a mail address such as name@example.org";
    const QString password = "The password cannot be empty";
    struct Case {
        const char* name;
        const char* password;
        const char* focused;
        QString hint;
    } cases[] = {{"a@b", "pw", "AccountEdit", name},        {"@abc", "pw", "AccountEdit", name},
                 {"", "pw", "AccountEdit", name},           {"a=b@cd", "pw", "AccountEdit", name},
                 {" a@bcd", "pw", "AccountEdit", name},     {";a@bcd", "pw", "AccountEdit", name},
                 {"a@bcd", "   ", "PasswordEdit", password}};
    for (const Case& c : cases) {
        Fill(*d, c.name, c.password, "", true);
        Child<QPushButton>(*d, "SaveButton")->setFocus();
        Click(*d, "SaveButton");
        EXPECT_EQ(QApplication::focusWidget(), Child<QWidget>(*d, c.focused)) << c.name;
        EXPECT_EQ(d->HintText(), c.hint) << c.name;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    EXPECT_EQ(dir.Read("relvoconsole.cfg"), before);
    EXPECT_EQ(List(*d)->RowCount(), 3);
    EXPECT_TRUE(questions.isEmpty() && informed.isEmpty() && warned.isEmpty());

    // The longest hint, at the smallest size the dialog allows, has a room of its own.
    d->resize(d->minimumSize().expandedTo(d->minimumSizeHint()));
    Fill(*d, "ok@x.org", "pw", QString(1100, QLatin1Char('x')), true);
    Click(*d, "SaveButton");
    QApplication::processEvents();
    auto* hint = Child<QLabel>(*d, "hint");
    EXPECT_GE(hint->height(), hint->heightForWidth(hint->width())) << hint->text().toStdString();
    EXPECT_FALSE(hint->geometry().intersects(List(*d)->geometry()));
    EXPECT_FALSE(List(*d)->geometry().intersects(Child<QWidget>(*d, "HelpLink")->geometry()));
    EXPECT_LE(Child<QWidget>(*d, "HelpLink")->geometry().bottom(), d->height());

    Fill(*d, "ok@x.org", "pw", "", true);
    Click(*d, "SaveButton");
    EXPECT_EQ(d->HintText(), "");
}

TEST_F(AccountDialogTest, AFailedWriteIsToldAndTheListStaysAsItWas) {
    auto d = Open();
    std::filesystem::remove(dir.ConfigFile());
    std::filesystem::create_directory(dir.ConfigFile());
    Fill(*d, "new@x.org", "pw", "", true);
    Click(*d, "SaveButton");
    EXPECT_EQ(warned,
              QStringList({"The change was not saved: " + QString::fromStdString(dir.ConfigFile()) +
                           " is not a regular file; the store neither reads nor "
                           "replaces it."}));
    EXPECT_EQ(List(*d)->RowCount(), 3);
}

TEST_F(AccountDialogTest, DeleteAsksOnceNamingEveryRowAndRemovesTheirKeys) {
    auto d = Open();
    SelectRows(*d, {2, 0, 1});
    answer = false;
    Click(*d, "DeleteButton");
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0],
              "Are you sure to delete 3 account(s)?\r\njoe@x.org\r\nann@x.org\r\nbare@x.org");
    EXPECT_EQ(List(*d)->RowCount(), 3);
    EXPECT_EQ(AccountTable().Names().size(), 3u);

    answer = true;
    SelectRows(*d, {0, 2});
    Click(*d, "DeleteButton");
    EXPECT_EQ(Column(*d, 0), QStringList{"ann@x.org"});
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"ann@x.org"});
    EXPECT_EQ(Info("joe@x.org_Password"), "<missing>");
    EXPECT_EQ(Info("joe@x.org_Desc"), "<missing>");
    EXPECT_EQ(Info("joe@x.org_Enabled"), "<missing>");
    EXPECT_EQ(Info("ann@x.org_Password"), "apw");

    questions.clear();
    List(*d)->clearSelection();
    Click(*d, "DeleteButton");  // nothing selected: no question
    EXPECT_TRUE(questions.isEmpty());
}

TEST_F(AccountDialogTest, DeleteAsksWithARealMessageBox) {
    auto d = std::make_unique<CDlgAccount>(kSupportUrl);
    d->show();
    SelectRows(*d, {1});
    QString asked;
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [&asked, timer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        asked = box->text();
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));  // Enter keeps them
        box->button(QMessageBox::Yes)->click();
    });
    timer->start(20);
    Click(*d, "DeleteButton");
    EXPECT_EQ(asked, "Are you sure to delete 1 account(s)?\nann@x.org");
    EXPECT_EQ(AccountTable().Names(), (std::vector<std::string>{"joe@x.org", "bare@x.org"}));
}

TEST_F(AccountDialogTest, ClickingARowLoadsTheAccountFromTheFile) {
    auto d = Open();
    ProfileSetString("AccountInfo", "ann@x.org_Desc", "changed since opening", ".cfg");
    ClickRowArea(*d, RowCenter(*d, 1));
    EXPECT_EQ(Child<QLineEdit>(*d, "AccountEdit")->text(), "ann@x.org");
    EXPECT_EQ(Child<QLineEdit>(*d, "PasswordEdit")->text(), "apw");
    EXPECT_EQ(Child<QLineEdit>(*d, "DescriptionEdit")->text(), "changed since opening");
    EXPECT_TRUE(Child<QCheckBox>(*d, "EnabledCheck")->isChecked());
}

// The keyboard does what the mouse does: a row reached with it loads, Delete on the list deletes
// the selected rows after the question (in a box it edits the text).
TEST_F(AccountDialogTest, KeyboardLoadsRowsAndDeletesAfterAsking) {
    auto d = Open();
    ClickRowArea(*d, RowCenter(*d, 0));
    const struct {
        Qt::Key key;
        const char* loaded;
        const char* password;
    } moves[] = {{Qt::Key_Down, "ann@x.org", "apw"},
                 {Qt::Key_End, "bare@x.org", ""},
                 {Qt::Key_Up, "ann@x.org", "apw"},
                 {Qt::Key_Home, "joe@x.org", "jpw"}};
    for (const auto& move : moves) {
        QTest::keyClick(List(*d), move.key);
        EXPECT_EQ(Child<QLineEdit>(*d, "AccountEdit")->text(), move.loaded);
        EXPECT_EQ(Child<QLineEdit>(*d, "PasswordEdit")->text(), move.password);
    }
    QTest::keyClick(Child<QLineEdit>(*d, "AccountEdit"), Qt::Key_Delete);
    EXPECT_TRUE(questions.isEmpty());
    answer = false;
    QTest::keyClick(List(*d), Qt::Key_Delete);
    EXPECT_EQ(questions, QStringList({"Are you sure to delete 1 account(s)?\r\njoe@x.org"}));
    EXPECT_EQ(AccountTable().Names().size(), 3u);
    answer = true;
    QTest::keyClick(List(*d), Qt::Key_Delete);
    EXPECT_EQ(Column(*d, 0), (QStringList{"ann@x.org", "bare@x.org"}));
    EXPECT_EQ(Info("joe@x.org_Password"), "<missing>");
}

TEST_F(AccountDialogTest, TheNameColumnStretchesWithTheDialog) {
    auto d = Open();
    d->resize(1000, 500);
    QApplication::processEvents();
    EXPECT_GT(List(*d)->header()->sectionSize(0), 500);
    EXPECT_EQ(List(*d)->header()->length(), List(*d)->viewport()->width());
}

TEST_F(AccountDialogTest, AnUnreadableConfigurationIsToldOnOpeningNotShownAsEmpty) {
    std::filesystem::remove(dir.ConfigFile());
    std::filesystem::create_directory(dir.ConfigFile());
    auto d = Open();
    QTRY_COMPARE(warned.size(), 1);
    EXPECT_TRUE(warned[0].startsWith("The configuration file " +
                                     QString::fromStdString(dir.ConfigFile()) + " cannot be read"))
        << warned[0].toStdString();
}

TEST_F(AccountDialogTest, AClickBelowTheLastRowEmptiesTheName) {
    ProfileSetString("AccountInfo", "_Password", "stray", ".cfg");
    auto d = Open();
    ClickRowArea(*d, RowCenter(*d, 0));
    ClickRowArea(*d, QPoint(20, List(*d)->viewport()->height() - 5));
    EXPECT_EQ(Child<QLineEdit>(*d, "AccountEdit")->text(), "");
    EXPECT_EQ(Child<QLineEdit>(*d, "PasswordEdit")->text(), "stray");
    EXPECT_EQ(Child<QLineEdit>(*d, "DescriptionEdit")->text(), "");
    EXPECT_FALSE(Child<QCheckBox>(*d, "EnabledCheck")->isChecked());
}

// Enter in a changed form saves instead of dropping the typing; in an unchanged one it closes,
// as Escape always does, writing nothing.
TEST_F(AccountDialogTest, EnterSavesAChangedFormAndOtherwiseCloses) {
    const std::string before = dir.Read("relvoconsole.cfg");
    const struct {
        Qt::Key key;
        bool change;
        bool staysOpen;
    } cases[] = {{Qt::Key_Escape, true, false},
                 {Qt::Key_Return, false, false},
                 {Qt::Key_Return, true, true}};
    for (const auto& c : cases) {
        auto d = Open();
        ClickRowArea(*d, RowCenter(*d, 1));
        if (c.change) {
            Child<QLineEdit>(*d, "DescriptionEdit")->setText("typed");
        }
        Child<QLineEdit>(*d, "DescriptionEdit")->setFocus();
        QTest::keyClick(Child<QLineEdit>(*d, "DescriptionEdit"), c.key);
        EXPECT_EQ(d->isVisible(), c.staysOpen) << c.key;
        if (!c.staysOpen) {
            EXPECT_EQ(dir.Read("relvoconsole.cfg"), before) << c.key;
        }
    }
    EXPECT_EQ(Info("ann@x.org_Desc"), "typed");
    EXPECT_EQ(Info("ann@x.org_Password"), "apw");
}

TEST_F(AccountDialogTest, EnterOnAFocusedButtonPressesIt) {
    auto d = Open();
    Fill(*d, "new@x.org", "pw", "", true);
    Child<QPushButton>(*d, "SaveButton")->setFocus();
    QTest::keyClick(Child<QPushButton>(*d, "SaveButton"), Qt::Key_Return);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(Info("new@x.org_Password"), "pw");
}

TEST_F(AccountDialogTest, ImportAsksThenRefillsTheListAndTellsTheCounts) {
    dir.Write("in.csv", "\"joe@x.org\",\"pw\"\r\nnew@x.org,pw,New,1\r\n;bad@x.org,pw\r\n");
    chosen = QString::fromStdString(dir.File("in.csv"));
    auto d = Open();
    answer = false;
    Click(*d, "ImportButton");
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0],
              "Are you sure to import accounts from in.csv?\nWarning: existing accounts will be "
              "updated.");
    EXPECT_EQ(AccountTable().Names().size(), 3u);
    EXPECT_TRUE(informed.isEmpty());

    answer = true;
    Click(*d, "ImportButton");
    ASSERT_EQ(informed.size(), 1);
    EXPECT_EQ(informed[0],
              "in.csv: added 1 accounts, updated 1 accounts.\nSkipped 1 lines:\nline 3: the "
              "account name is not a mail address such as name@example.org");
    EXPECT_EQ(Column(*d, 0), (QStringList{"joe@x.org", "ann@x.org", "bare@x.org", "new@x.org"}));
    EXPECT_EQ(List(*d)->RowRecord(3), (QStringList{"new@x.org", "New", "Yes"}));
}

TEST_F(AccountDialogTest, TheImportSummaryNamesTenSkippedLinesAndCountsTheRest) {
    AccountImportCounts counts;
    counts.added = 2;
    counts.skipped = 13;
    for (std::size_t line = 1; line <= kNamedSkippedLines; ++line) {
        counts.firstSkipped.push_back(
            {line * 2, line == 3 ? SkipReason::kNoPassword : SkipReason::kAccountName});
    }
    const QStringList lines = CDlgAccount::ImportSummary("a.csv", counts).split('\n');
    ASSERT_EQ(lines.size(), 13);
    EXPECT_EQ(lines[0], "a.csv: added 2 accounts, updated 0 accounts.");
    EXPECT_EQ(lines[1], "Skipped 13 lines:");
    EXPECT_EQ(lines[4], "line 6: it has no password field");
    EXPECT_EQ(lines[11],
              "line 20: the account name is not a mail address such as "
              "name@example.org");
    EXPECT_EQ(lines[12], "and 3 more.");
}

TEST_F(AccountDialogTest, ImportOfAMissingFileWarnsAndChangesNothing) {
    chosen = QString::fromStdString(dir.File("gone.csv"));
    auto d = Open();
    Click(*d, "ImportButton");
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_EQ(warned.size(), 1);
    chosen.clear();  // cancelled: nothing at all
    Click(*d, "ImportButton");
    EXPECT_EQ(warned.size(), 1);
}

TEST_F(AccountDialogTest, ExportWritesEveryAccountAndTellsHowMany) {
    chosen = QString::fromStdString(dir.File("out.csv"));
    auto d = Open();
    Click(*d, "ExportButton");
    EXPECT_EQ(dir.Read("out.csv"), FormatAccountLine({"joe@x.org", "jpw", "Joe", 1}) +
                                       FormatAccountLine({"ann@x.org", "apw", "Ann", 2}) +
                                       FormatAccountLine({"bare@x.org", "", "", 0}));
    EXPECT_EQ(informed, QStringList{"out.csv: exported 3 accounts successfully."});
}

TEST_F(AccountDialogTest, AFailedExportIsToldAndNeverClaimedDone) {
    chosen = QString::fromStdString(dir.File("no/such/dir/out.csv"));
    auto d = Open();
    Click(*d, "ExportButton");
    EXPECT_TRUE(informed.isEmpty());
    ASSERT_EQ(warned.size(), 1);
    EXPECT_TRUE(warned[0].startsWith("out.csv: the accounts could not be exported"))
        << warned[0].toStdString();
}

TEST_F(AccountDialogTest, ExportWithoutAccountsDoesNothing) {
    dir.Write("relvoconsole.cfg", "[AccountList]\r\n");
    auto d = Open();
    Click(*d, "ExportButton");
    EXPECT_EQ(choices, 0);
    EXPECT_TRUE(informed.isEmpty() && warned.isEmpty());
}
