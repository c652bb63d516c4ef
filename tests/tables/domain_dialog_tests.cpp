#include "tables/dlg_domain.h"

#include <filesystem>

#include "config/profile_store.h"
#include "controls/product_links.h"
#include "controls/xhyperlink.h"
#include "table_dialog_driver.h"

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
    Type("port", "4294967295");
    Press("saveButton");
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 4);
    EXPECT_EQ(ProfileGetString("DomainInfo", "b.com_Port", "?", ".cfg"), "-1");
    EXPECT_EQ(List()->RowRecord(0), QStringList({"B.COM", " 10.0.0.1 ", "-1"}));
    EXPECT_EQ(List()->RowCount(), 4);
}

TEST_F(DomainDialogTest, BadNameOnlyMovesTheFocusAndWritesNothing) {
    Open(kList + kInfo);
    Type("domainName", "a=b.com");  // has its inner "." but cannot be a key
    Find("port")->setFocus();
    Press("saveButton");
    EXPECT_TRUE(Find("domainName")->hasFocus());
    EXPECT_EQ(Config(), kList + kInfo);
    EXPECT_TRUE(warnings_.isEmpty());
}

TEST_F(DomainDialogTest, PortWithoutANumberShowsTheWarningBoxAndSelectsTheBox) {
    Open(kList + kInfo);
    dialog_->SetWarning({});  // the real box
    Type("domainName", "d.org");
    Type("port", "none");
    auto seen = AnswerNextMessageBox(QMessageBox::Ok);
    Press("saveButton");
    EXPECT_EQ(seen->text, "Please enter a positive integer.");
    EXPECT_EQ(seen->icon, QMessageBox::Warning);
    EXPECT_EQ(Config(), kList + kInfo);
    dialog_->activateWindow();  // offscreen has no window manager to give it back
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
    EXPECT_TRUE(Find("port")->hasFocus());
    EXPECT_EQ(Find("port")->selectedText(), "none");
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
    EXPECT_EQ(warnings_, QStringList({CTableDialog::kWriteFailedMessage}));
    EXPECT_EQ(List()->RowCount(), 3);
}

TEST_F(DomainDialogTest, EnterEndsOnlyWithAReadablePortOrPressesTheFocusedButton) {
    Open(kList + kInfo);
    Type("domainName", "z.org");
    Type("port", "x");
    QTest::keyClick(Find("domainName"), Qt::Key_Return);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(warnings_.size(), 1);
    Type("port", "26");
    Find<QAbstractButton>("saveButton")->setFocus();
    QTest::keyClick(Find<QAbstractButton>("saveButton"), Qt::Key_Return);
    EXPECT_EQ(List()->RowCount(), 4);
    Type("domainName", "y.org");
    QTest::keyClick(Find("port"), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(dialog_->result(), QDialog::Accepted);
    EXPECT_EQ(ProfileGetSection("DomainList", nullptr), 4);  // y.org was not saved
}

}  // namespace
