#include "tables/dlg_domain.h"

#include <QCheckBox>
#include <QHeaderView>
#include <filesystem>

#include "common/profile_store.h"
#include "controls/product_links.h"
#include "controls/xhyperlink.h"
#include "table_dialog_driver.h"
#include "tables/record_rules.h"

namespace {

using DomainDialogTest = TableDialogTest<CDlgDomain>;

const std::string kList = "[DomainList]\nb.com=1\na.org=1\nc.net=1\n";
const std::string kInfo =
    "[DomainInfo]\nb.com_ServerAddress=mx.b.com\nb.com_Port=2525\na.org_Port=x7\n";

TEST_F(DomainDialogTest, ListsStoredTextsAndAClickLoadsTheRecordFromTheFile) {
    Open(kList + kInfo + "_ServerAddress=stray\n");
    EXPECT_EQ(dialog_->windowTitle(), "Domains");
    EXPECT_EQ(Find<CXHyperLink>("helpLink")->LinkUrl(), SupportPageUrl());
    EXPECT_EQ(List()->RowRecord(1), QStringList({"a.org", "", "x7"}));
    EXPECT_EQ(List()->RowRecord(2), QStringList({"c.net", "", "25"}));
    std::string changed = Config();
    dir_.Write("relvoconsole.cfg", changed.replace(changed.find("2525"), 4, "2600"));
    ClickRow(0);  // from the file as it is now, not from the row
    EXPECT_EQ(Find("serverAddress")->text(), "mx.b.com");
    EXPECT_EQ(Find("port")->text(), "2600");
    ClickRow(1);
    EXPECT_EQ(Find("port")->text(), "0");  // "x7" begins with no digit
    ClickBelowRows();
    EXPECT_EQ(Find("domainName")->text(), "");
    EXPECT_EQ(Find("serverAddress")->text(), "stray");
    EXPECT_EQ(Find("port")->text(), "25");
}

TEST_F(DomainDialogTest, SaveAppendsANewDomainAndUpdatesOneListedUnderAnotherCase) {
    Open(kList + kInfo);
    Type("domainName", "new.example");
    Type("serverAddress", " 10.0.0.1 ");
    Type("port", "  +587 smtp");
    Press("saveButton");
    EXPECT_EQ(Config(), kList + "new.example=1\n" + kInfo +
                            "new.example_ServerAddress=\" 10.0.0.1 \"\nnew.example_Port=587\n");
    QList<int> selected;
    EXPECT_EQ(List()->ListSelectedRows(selected), 1);
    EXPECT_EQ(selected.front(), 3);
    EXPECT_TRUE(List()->hasFocus());

    Type("domainName", "B.COM");
    Type("port", "65535");
    Press("saveButton");
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 4);
    EXPECT_EQ(ProfileGetString("DomainInfo", "b.com_Port", "?", ".cfg"), "65535");
    EXPECT_EQ(List()->RowRecord(0), QStringList({"B.COM", " 10.0.0.1 ", "65535"}));
    EXPECT_EQ(List()->RowCount(), 4);
}

// Refused input: the focus goes to the box at fault with its text selected, a hint beside the
// form says what is expected, no box is shown and nothing is written.
TEST_F(DomainDialogTest, RefusedInputSaysWhyBesideTheFormWithoutABox) {
    Open(kList + kInfo);
    const struct {
        const char* name;
        const char* port;
        const char* focused;
        FormHint hint;
    } cases[] = {
        {"a=b.com", "25", "domainName", FormHint::kDomainName},  // an inner "." but not a key
        {"nodot", "25", "domainName", FormHint::kDomainName},
        {"d.org", "none", "port", FormHint::kPort},
        {"d.org", "0", "port", FormHint::kPort},
        {"d.org", "65536", "port", FormHint::kPort},
        {"d.org", "-1", "port", FormHint::kPort},
    };
    for (const auto& c : cases) {
        Type("domainName", c.name);
        Type("port", c.port);
        Find<QAbstractButton>("saveButton")->setFocus();
        Press("saveButton");
        EXPECT_TRUE(Find(c.focused)->hasFocus()) << c.name << " " << c.port;
        EXPECT_EQ(Find(c.focused)->selectedText(), Find(c.focused)->text());
        EXPECT_EQ(Hint(), FormHintText(c.hint)) << c.name << " " << c.port;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    EXPECT_EQ(Hint(), "A port is a number from 1 to 65535");
    EXPECT_EQ(Config(), kList + kInfo);
    EXPECT_TRUE(warnings_.isEmpty());
    Type("port", "1");
    Press("saveButton");
    EXPECT_EQ(Hint(), "");  // a Save that succeeds takes the hint away
    EXPECT_EQ(ProfileGetString("DomainInfo", "d.org_Port", "?", ".cfg"), "1");
}

TEST_F(DomainDialogTest, DeleteAsksOnceNamingEverySelectedRowAndRemovesTheirKeys) {
    Open(kList + kInfo + "[Other]\nb.com_Port=1\n");
    ClickRow(0);
    ClickRow(2, Qt::ControlModifier);
    answer_ = false;
    Press("deleteButton");
    EXPECT_EQ(List()->RowCount(), 3);
    answer_ = true;
    Press("deleteButton");
    EXPECT_EQ(questions_.size(), 2);
    EXPECT_EQ(questions_.back(), "Are you sure to delete 2 domain(s)?\r\nb.com\r\nc.net");
    EXPECT_EQ(Config(),
              "[DomainList]\na.org=1\n[DomainInfo]\na.org_Port=x7\n[Other]\nb.com_Port=1\n");
    EXPECT_EQ(List()->RowCount(), 1);
}

TEST_F(DomainDialogTest, AWriteThatFailsIsReportedAndLeavesTheListAlone) {
    Open(kList);
    std::filesystem::remove(dir_.ConfigFile());
    std::filesystem::create_directory(dir_.ConfigFile());  // cannot be replaced by a file
    Type("domainName", "d.org");
    Press("saveButton");
    ASSERT_EQ(warnings_.size(), 1);
    EXPECT_EQ(warnings_[0],
              "The change was not saved: " + QString::fromStdString(dir_.ConfigFile()) +
                  " is not a regular file; the store neither reads nor replaces it.");
    EXPECT_EQ(List()->RowCount(), 3);
}

TEST_F(DomainDialogTest, EnterSavesAChangedFormAndClosesAnUnchangedOne) {
    Open(kList + kInfo);
    Type("domainName", "z.org");
    Type("port", "x");
    QTest::keyClick(Find("domainName"), Qt::Key_Return);
    EXPECT_TRUE(dialog_->isVisible());  // refused: the typing stays
    EXPECT_EQ(Hint(), FormHintText(FormHint::kPort));
    Type("port", "26");
    QTest::keyClick(Find("port"), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(List()->RowRecord(3), QStringList({"z.org", "", "26"}));
    Find("domainName")->setFocus();
    Type("domainName", "y.org");
    Find<QAbstractButton>("closeButton")->setFocus();
    QTest::keyClick(Find<QAbstractButton>("closeButton"), Qt::Key_Return);  // the focused button
    EXPECT_EQ(dialog_->result(), QDialog::Rejected);
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 4);  // y.org was not saved

    Open(kList + kInfo);
    ClickRow(0);  // loading a record is no change
    QTest::keyClick(Find("port"), Qt::Key_Return);
    EXPECT_EQ(dialog_->result(), QDialog::Accepted);
    EXPECT_EQ(Config(), kList + kInfo);
}

TEST_F(DomainDialogTest, KeyboardMovesLoadAndDeleteAsksWithNoAsTheDefault) {
    Open(kList + kInfo);
    ClickRow(2);
    QTest::keyClick(List(), Qt::Key_Home);
    EXPECT_EQ(Find("domainName")->text(), "b.com");
    EXPECT_EQ(Find("port")->text(), "2525");
    QTest::keyClick(List(), Qt::Key_Down);
    EXPECT_EQ(Find("domainName")->text(), "a.org");
    EXPECT_EQ(Hint(), "");

    QTest::keyClick(Find("domainName"), Qt::Key_Delete);  // in a box it edits the text
    EXPECT_TRUE(questions_.isEmpty());
    answer_ = true;
    QTest::keyClick(List(), Qt::Key_Delete);
    EXPECT_EQ(questions_, QStringList({"Are you sure to delete 1 domain(s)?\r\na.org"}));
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 2);

    dialog_->SetQuestion({});  // the real box
    ClickRow(1);
    auto seen = AnswerNextMessageBox(QMessageBox::No);
    QTest::keyClick(List(), Qt::Key_Delete);
    EXPECT_EQ(seen->defaultButton, QMessageBox::No);
    EXPECT_EQ(seen->icon, QMessageBox::Question);
    EXPECT_EQ(seen->text, "Are you sure to delete 1 domain(s)?\nc.net");
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 2);
}

// Whether the engine asks a domain's server about recipients: on unless stored as 0, and only
// for a domain that has a server to ask.
TEST_F(DomainDialogTest, VerifyRecipientsBoxNeedsAServerAndIsStoredOnlyWhenOff) {
    Open(kList + kInfo + "c.net_VerifyRecipients=0\n");
    auto* verify = Find<QCheckBox>("verifyRecipients");
    EXPECT_EQ(verify->text(), "Verify recipients with the server");
    const struct {
        int row;
        bool enabled;
        bool checked;
    } loads[] = {{0, true, true}, {1, false, true}, {2, false, false}};
    for (const auto& load : loads) {
        ClickRow(load.row);
        EXPECT_EQ(verify->isEnabled(), load.enabled) << load.row;
        EXPECT_EQ(verify->isChecked(), load.checked) << load.row;
    }
    Type("serverAddress", "10.0.0.2");  // c.net gets a server
    EXPECT_TRUE(verify->isEnabled());
    Type("serverAddress", " ");
    EXPECT_FALSE(verify->isEnabled());

    ClickRow(0);
    verify->click();
    Press("saveButton");
    EXPECT_EQ(ProfileGetString("DomainInfo", "b.com_VerifyRecipients", "?", ".cfg"), "0");
    ClickRow(1);
    ClickRow(0);
    EXPECT_FALSE(verify->isChecked());
    verify->click();
    Press("saveButton");
    EXPECT_EQ(ProfileGetString("DomainInfo", "b.com_VerifyRecipients", "?", ".cfg"), "?");

    ClickRow(2);
    answer_ = true;
    Press("deleteButton");
    EXPECT_EQ(ProfileGetString("DomainInfo", "c.net_VerifyRecipients", "?", ".cfg"), "?");
}

TEST_F(DomainDialogTest, TheNameColumnTakesTheWidthTheDialogGives) {
    Open(kList + kInfo);
    dialog_->resize(900, dialog_->height());
    QApplication::processEvents();
    const QHeaderView* header = List()->header();
    EXPECT_GT(header->sectionSize(0), 300);
    EXPECT_EQ(header->sectionSize(1), 160);
    EXPECT_EQ(header->sectionSize(2), 90);
    EXPECT_EQ(header->length(), List()->viewport()->width());
}

// A configuration file that exists but cannot be read is told when the dialog opens, with its
// path and why, instead of an empty list that looks like no domains.
TEST_F(DomainDialogTest, AnUnreadableConfigurationIsToldWhenTheDialogOpens) {
    std::filesystem::create_directory(dir_.ConfigFile());
    dialog_ = std::make_unique<CDlgDomain>();
    dialog_->SetWarning([this](QWidget*, const QString& text) { warnings_.append(text); });
    dialog_->show();
    QTRY_COMPARE(warnings_.size(), 1);
    EXPECT_EQ(warnings_[0], "The configuration file " + QString::fromStdString(dir_.ConfigFile()) +
                                " cannot be read (it is not a regular file). Nothing of it is "
                                "shown and changes cannot be saved until it can be read.");
    dialog_->hide();
    dialog_->show();  // told once per opening, not at every show
    QApplication::processEvents();
    EXPECT_EQ(warnings_.size(), 1);

    std::filesystem::remove(dir_.ConfigFile());
    Open(kList);  // a readable file tells nothing
    QApplication::processEvents();
    EXPECT_EQ(warnings_.size(), 1);
}

}  // namespace
