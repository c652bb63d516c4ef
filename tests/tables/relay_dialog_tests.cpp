#include "tables/dlg_relay.h"

#include <QCheckBox>

#include "common/profile_store.h"
#include "table_dialog_driver.h"
#include "tables/record_rules.h"

namespace {

using RelayDialogTest = TableDialogTest<CDlgRelay>;

const std::string kList = "[RelayList]\nme@isp.net=1\nold@host.org=1\n";
const std::string kInfo =
    "[RelayInfo]\nme@isp.net_SmtpServer=smtp.isp.net\nme@isp.net_SmtpPort=587\n"
    "me@isp.net_SSLFlag=1\nme@isp.net_Enabled=2\nme@isp.net_LoginAcc=me\n"
    "me@isp.net_LoginPwd=secret\nme@isp.net_SmtpAuthFlag=0\n";
const std::string kAuthFlag = "old@host.org_SmtpAuthFlag=1\n";

TEST_F(RelayDialogTest, ClickLoadsEveryFieldAndAMissingEnabledFlagLoadsTicked) {
    Open(kList + kInfo + kAuthFlag);
    EXPECT_EQ(List()->RowRecord(0), QStringList({"me@isp.net", "smtp.isp.net", "587", "Yes"}));
    EXPECT_EQ(List()->RowRecord(1), QStringList({"old@host.org", "", "25", "-"}));
    ClickRow(0);
    EXPECT_EQ(Find("port")->text(), "587");
    EXPECT_TRUE(Find<QCheckBox>("ssl")->isChecked());
    EXPECT_EQ(Find("password")->text(), "secret");
    ClickBelowRows();
    EXPECT_EQ(Find("mailbox")->text(), "");
    EXPECT_EQ(Find("port")->text(), "25");
    EXPECT_FALSE(Find<QCheckBox>("ssl")->isChecked());
    ClickRow(1);
    EXPECT_TRUE(Find<QCheckBox>("enabled")->isChecked());
    Type("smtpServer", "relay.host.org");
    Press("saveButton");
    EXPECT_EQ(List()->RowRecord(1), QStringList({"old@host.org", "relay.host.org", "25", "Yes"}));
}

TEST_F(RelayDialogTest, SaveUnderAnotherCaseRewritesTheSixFieldsAndKeepsTheAuthFlag) {
    Open(kList + kInfo + kAuthFlag);
    ClickRow(0);
    Type("mailbox", "ME@ISP.NET");
    Type("port", "2525");
    Find<QCheckBox>("ssl")->setChecked(false);
    Find<QCheckBox>("enabled")->setChecked(false);
    Type("password", " new pass ");
    Press("saveButton");
    EXPECT_EQ(Config(),
              kList +
                  "[RelayInfo]\nme@isp.net_SmtpServer=smtp.isp.net\nme@isp.net_SmtpPort=2525\n"
                  "me@isp.net_SSLFlag=0\nme@isp.net_Enabled=0\nme@isp.net_LoginAcc=me\n"
                  "me@isp.net_LoginPwd=\" new pass \"\nme@isp.net_SmtpAuthFlag=0\n" +
                  kAuthFlag);
    EXPECT_EQ(List()->RowRecord(0), QStringList({"ME@ISP.NET", "smtp.isp.net", "2525", "-"}));
    EXPECT_EQ(List()->RowCount(), 2);
}

TEST_F(RelayDialogTest, RefusedInputFocusesTheBoxAndSaysWhatIsExpected) {
    Open(kList + kInfo);
    const struct {
        const char* mailbox;
        const char* server;
        const char* port;
        const char* focused;
        FormHint hint;
    } cases[] = {
        {"me@", "smtp.x.org", "25", "mailbox", FormHint::kMailbox},
        {"a@b", "", "25", "smtpServer", FormHint::kSmtpServer},
        {"a@b", "smtp.x.org", "0", "port", FormHint::kPort},
        {"a@b", "smtp.x.org", "70000", "port", FormHint::kPort},
    };
    for (const auto& c : cases) {
        Type("mailbox", c.mailbox);
        Type("smtpServer", c.server);
        Type("port", c.port);
        Press("saveButton");
        EXPECT_TRUE(Find(c.focused)->hasFocus()) << c.mailbox << " " << c.port;
        EXPECT_EQ(Hint(), FormHintText(c.hint)) << c.mailbox << " " << c.port;
    }
    EXPECT_EQ(FormHintText(FormHint::kSmtpServer), "The SMTP server cannot be empty");
    EXPECT_EQ(Config(), kList + kInfo);
    EXPECT_TRUE(warnings_.isEmpty());
}

TEST_F(RelayDialogTest, SslClickSetsItsUsualPortUnlessThePortCannotBeRead) {
    Open(kList + kInfo);
    Type("port", "2525");
    Press("ssl");
    EXPECT_EQ(Find("port")->text(), "465");
    Type("port", "10025");
    Press("ssl");
    EXPECT_EQ(Find("port")->text(), "25");
    Type("port", "ssl");
    Press("ssl");
    EXPECT_EQ(Hint(), FormHintText(FormHint::kPort));
    EXPECT_TRUE(warnings_.isEmpty());
    EXPECT_FALSE(Find<QCheckBox>("ssl")->isChecked());  // the click changed nothing
    EXPECT_EQ(Find("port")->text(), "ssl");
    QTest::keyClick(Find("port"), Qt::Key_Escape);  // ends at once, reading nothing
    EXPECT_EQ(dialog_->result(), QDialog::Rejected);
    EXPECT_TRUE(warnings_.isEmpty());
    EXPECT_EQ(Config(), kList + kInfo);
}

TEST_F(RelayDialogTest, DeleteRemovesTheRecordsButKeepsTheirAuthFlags) {
    Open(kList + kInfo + kAuthFlag);
    ClickRow(0);
    ClickRow(1, Qt::ControlModifier);
    Press("deleteButton");
    EXPECT_EQ(
        questions_,
        QStringList({"Are you sure to delete 2 relay account(s)?\r\nme@isp.net\r\nold@host.org"}));
    EXPECT_EQ(Config(), "[RelayList]\n[RelayInfo]\nme@isp.net_SmtpAuthFlag=0\n" + kAuthFlag);
    EXPECT_EQ(List()->RowCount(), 0);
}

}  // namespace
