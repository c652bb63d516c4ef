// The diagnose dialog against the recording fake engine: what it opens with, the companion-file
// writes and engine calls of direct and relayed sends, the sends it refuses, "&New", the lines
// of each dialog's own sends, a dialog closed while lines arrive, and the main window's button.
#include "mailtools/dlg_mail_send.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <map>
#include <memory>

#include "app/config_app.h"
#include "app/config_dlg.h"
#include "mail_dialog_fixture.h"
#include "mailtools/diagnose_send.h"
#include "mailtools/dlg_mail_compose.h"
#include "mailtools/mail_files.h"

namespace {

using Calls = std::vector<std::string>;
using Keys = std::map<std::string, std::string>;

class DiagnoseDialogTest : public MailDialogTest {
  protected:
    // A new dialog (deleted when closed, like the main window's) with prompts of the test.
    QPointer<CDlgMailSend> Open() {
        auto* dialog = new CDlgMailSend(QStringLiteral("https://help.example/"));
        DiagnosePrompts prompts;
        prompts.chooseMailFile = [this](QWidget*) { return chosenFile; };
        prompts.compose = [this](QWidget* parent, int mailId, const QString& sender,
                                 const QString& recipients) {
            return compose(parent, mailId, sender, recipients);
        };
        prompts.warn = [this](QWidget*, const QString& text) { warnings.append(text); };
        dialog->SetPrompts(prompts);
        Show(*dialog);
        opened.push_back(dialog);
        return dialog;
    }
    void TearDown() override {
        for (auto& dialog : opened) {
            delete dialog.data();
        }
        MailDialogTest::TearDown();
    }

    static void Fill(const CDlgMailSend& d, const QString& from, const QString& to, int via) {
        Child<QComboBox>(d, "FromBox")->setEditText(from);
        Child<QLineEdit>(d, "ToEdit")->setText(to);
        Child<QComboBox>(d, "SendViaBox")->setCurrentIndex(via);
    }
    static QStringList Transcript(const CDlgMailSend& d) {
        return Child<QPlainTextEdit>(d, "TranscriptEdit")
            ->toPlainText()
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The companion's sections as key -> value (keys "MailInfo/..." and "RelayInfo/...").
    Keys Companion(const std::string& file, const std::vector<std::string>& keys) {
        Keys values;
        for (const std::string& key : keys) {
            auto slash = key.find('/');
            std::string value = ProfileGetString(key.substr(0, slash), key.substr(slash + 1),
                                                 "<missing>", dir.File(file));
            if (value != "<missing>") {
                values[key] = value;
            }
        }
        return values;
    }
    void WriteMail(int id) {
        dir.Write("mail/" + std::to_string(id) + ".eml", "Subject: x\r\n\r\nx\r\n");
        dir.Write("mail/" + std::to_string(id) + ".cfg",
                  "[MailInfo]\r\nMailId=" + std::to_string(id) + "\r\n");
    }

    QString chosenFile;
    QStringList warnings;
    std::function<ComposeOutcome(QWidget*, int, const QString&, const QString&)> compose;
    std::vector<QPointer<CDlgMailSend>> opened;
};

const std::vector<std::string> kSendKeys = {
    "MailInfo/MailId",    "MailInfo/MailFrom",  "MailInfo/RcptToNumber",  "MailInfo/RcptTo0",
    "MailInfo/LoginUser", "MailInfo/LoginPass", "RelayInfo/Mailbox",      "RelayInfo/SmtpServer",
    "RelayInfo/SmtpPort", "RelayInfo/SSLFlag",  "RelayInfo/SmtpAuthFlag", "RelayInfo/LoginAcc",
    "RelayInfo/LoginPwd"};

}  // namespace

TEST_F(DiagnoseDialogTest, OpensWithTheSampleMailTheAccountsAndTheRelays) {
    auto empty = Open();
    EXPECT_EQ(empty->windowTitle(), "Diagnose sending");
    EXPECT_EQ(Child<QLineEdit>(*empty, "PathEdit")->text(), "") << "no sample yet";
    EXPECT_EQ(Child<QComboBox>(*empty, "FromBox")->currentText(), "");

    ASSERT_TRUE(EnsureSampleMail());
    // An account name that merely begins with the stored sender is another account.
    dir.Write("help/9999000001.cfg",
              "[MailInfo]\r\nMailId=0\r\nMailFrom=ann@x\r\nRcptTo0=t@y.org\r\n");
    auto d = Open();
    EXPECT_EQ(Child<QLineEdit>(*d, "PathEdit")->text(),
              QString::fromStdString(dir.File("help/9999000001.eml")));
    EXPECT_EQ(Child<QLineEdit>(*d, "ToEdit")->text(), "t@y.org");
    auto* from = Child<QComboBox>(*d, "FromBox");
    EXPECT_EQ(Items(from), (QStringList{"ann@x.org", "bob@x.org", "zed@x.org"}));
    EXPECT_EQ(from->currentText(), "ann@x");
    auto* via = Child<QComboBox>(*d, "SendViaBox");
    EXPECT_EQ(Items(via),
              (QStringList{"Send this mail directly", "Send via: relay-a", "Send via: relay-b"}));
    EXPECT_EQ(via->currentIndex(), 0);
    EXPECT_EQ(d->MailId(), 0);

    dir.Write("help/9999000001.cfg", "[MailInfo]\r\nMailId=0\r\nMailFrom=ZED@x.org\r\n");
    EXPECT_EQ(Child<QComboBox>(*Open(), "FromBox")->currentIndex(), 2) << "letter case aside";
    EXPECT_TRUE(Child<QLabel>(*d, "ArrivalResults")->isHidden()) << "the sample was never received";

    // A received mail's copy shows the checks made when it arrived.
    dir.Write("mail/queued-7.eml",
              "Authentication-Results: mx.test; spf=fail smtp.mailfrom=far.test\r\n"
              "Subject: x\r\n\r\nbody\r\n");
    dir.Write("mail/queued-7.cfg", "[MailInfo]\r\nMailId=0\r\nRcptTo0=t@y.org\r\n");
    d->OpenMailFile(QString::fromStdString(dir.File("mail/queued-7.eml")));
    auto* results = Child<QLabel>(*d, "ArrivalResults");
    EXPECT_FALSE(results->isHidden());
    EXPECT_EQ(results->text(), "Checks on arrival: mx.test; spf=fail smtp.mailfrom=far.test");
}

TEST_F(DiagnoseDialogTest, EachSendWritesExactlyItsOwnSettingsThenCallsTheEngine) {
    WriteMail(5);
    chosenFile = QString::fromStdString(dir.File("mail/5.eml"));
    auto d = Open();
    Click(*d, "ChooseButton");
    EXPECT_EQ(d->MailId(), 5);
    const std::string companion = dir.File("mail/5.cfg");

    struct Step {
        QString from, to;
        int via;
        Keys expected;
    };
    const Step steps[] = {
        // relay entry 2 is the second relay name; an account's password becomes the login
        {"zed@x.org",
         "Joe <joe@y.org>",
         2,
         {{"MailInfo/MailId", "5"},
          {"MailInfo/MailFrom", "zed@x.org"},
          {"MailInfo/RcptToNumber", "1"},
          {"MailInfo/RcptTo0", "joe@y.org"},
          {"MailInfo/LoginUser", "zed@x.org"},
          {"MailInfo/LoginPass", "zpw"},
          {"RelayInfo/Mailbox", "relay-b"},
          {"RelayInfo/SmtpServer", "smtp.b.example"},
          {"RelayInfo/SmtpPort", "25"},
          {"RelayInfo/SSLFlag", "0"},
          {"RelayInfo/SmtpAuthFlag", "1"},
          {"RelayInfo/LoginAcc", ""},
          {"RelayInfo/LoginPwd", ""}}},
        // direct, from an account without password: no relay, no login left behind
        {"bob@x.org",
         "joe@y.org",
         0,
         {{"MailInfo/MailId", "5"},
          {"MailInfo/MailFrom", "bob@x.org"},
          {"MailInfo/RcptToNumber", "1"},
          {"MailInfo/RcptTo0", "joe@y.org"}}},
        {"\"Ann\" <ann@x.org>",
         "<k@z.org>",
         1,
         {{"MailInfo/MailId", "5"},
          {"MailInfo/MailFrom", "\"Ann\" <ann@x.org>"},
          {"MailInfo/RcptToNumber", "1"},
          {"MailInfo/RcptTo0", "k@z.org"},
          {"RelayInfo/Mailbox", "relay-a"},
          {"RelayInfo/SmtpServer", "smtp.a.example"},
          {"RelayInfo/SmtpPort", "587"},
          {"RelayInfo/SSLFlag", "1"},
          {"RelayInfo/SmtpAuthFlag", "0"},
          {"RelayInfo/LoginAcc", "ua"},
          {"RelayInfo/LoginPwd", "pa"}}},
        {"",
         "k@z.org",
         0,
         {{"MailInfo/MailId", "5"},
          {"MailInfo/MailFrom", ""},
          {"MailInfo/RcptToNumber", "1"},
          {"MailInfo/RcptTo0", "k@z.org"}}},
    };
    for (const Step& step : steps) {
        fake.Reset();
        Fill(*d, step.from, step.to, step.via);
        Click(*d, "SendButton");
        EXPECT_EQ(Companion("mail/5.cfg", kSendKeys), step.expected) << step.from.toStdString();
        EXPECT_EQ(fake.Calls(), (Calls{"RelvoMail_SetWnd(window,32768)",
                                       "RelvoMail_SendMailNow(\"" + companion + "\",\"" +
                                           step.expected.at("MailInfo/RcptTo0") + "\")"}));
    }
    std::vector<std::string> relayKeys;
    EXPECT_EQ(ProfileSnapshot(companion).GetSection("RelayInfo", &relayKeys), 0);
    EXPECT_TRUE(warnings.isEmpty());
}

TEST_F(DiagnoseDialogTest, SendsThatCannotGoMoveTheFocusAndWriteNothing) {
    WriteMail(5);
    dir.Write("loose.eml", "Subject: x\r\n\r\n");  // no companion, and mail id 0
    const std::string mail5 = dir.File("mail/5.eml");
    struct Case {
        QString to;
        std::string path;
        const char* focused;
    };
    const Case cases[] = {
        {"Joe", mail5, "ToEdit"},
        {"@y.org", mail5, "ToEdit"},
        {"joe@", mail5, "ToEdit"},
        {"joe@y.org", "", "PathEdit"},
        {"joe@y.org", dir.File("none.eml"), "PathEdit"},
        {"joe@y.org", dir.File("mail"), "PathEdit"},
        {"joe@y.org", dir.File("loose.eml"), "PathEdit"},
    };
    auto d = Open();
    for (const Case& c : cases) {
        Child<QPushButton>(*d, "CancelButton")->setFocus();
        Fill(*d, "zed@x.org", c.to, 0);
        Child<QLineEdit>(*d, "PathEdit")->setText(QString::fromStdString(c.path));
        Click(*d, "SendButton");
        EXPECT_TRUE(HasFocus(Child<QWidget>(*d, c.focused))) << c.to.toStdString() << c.path;
    }
    EXPECT_EQ(fake.Calls(), Calls{});
    EXPECT_EQ(MailInfo("mail/5.cfg", "MailFrom"), "<missing>");
    EXPECT_FALSE(std::filesystem::exists(dir.File("mail/0.cfg")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("loose.cfg")));
}

TEST_F(DiagnoseDialogTest, NewComposesAMailAndSwitchesToIt) {
    ASSERT_TRUE(EnsureSampleMail());
    fake.StoreSavedMails();
    std::vector<int> composedIds;
    // The real compose dialog, filled in and confirmed as the operator would.
    compose = [&](QWidget* parent, int mailId, const QString& sender, const QString& recipients) {
        composedIds.push_back(mailId);
        CDlgMailCompose dialog(mailId, sender, recipients, QString(), parent);
        Show(dialog);
        if (mailId == 0) {
            Child<QComboBox>(dialog, "SenderBox")->setEditText("\"Ann\" <ann@x.org>");
            Child<QLineEdit>(dialog, "RecipientsEdit")->setText(" ; Dee <d@e.f>, g@h.i");
            Child<QLineEdit>(dialog, "SubjectEdit")->setText("New");
        }
        Click(dialog, "OkButton");
        return ComposeOutcome{dialog.MailId(), dialog.Sender(), dialog.Recipients()};
    };
    auto d = Open();
    Click(*d, "NewButton");
    // The sample's companion says mail id 0: a new mail, the sample stays as it was.
    EXPECT_EQ(composedIds, std::vector<int>{0});
    EXPECT_EQ(d->MailId(), 1);
    EXPECT_EQ(Child<QComboBox>(*d, "FromBox")->currentText(), "ann@x.org");
    EXPECT_EQ(Child<QLineEdit>(*d, "ToEdit")->text(), "d@e.f");
    EXPECT_EQ(Child<QLineEdit>(*d, "PathEdit")->text(),
              QString::fromStdString(dir.File("mail/1.eml")));
    EXPECT_EQ(MailInfo("mail/1.cfg", "RcptToNumber"), "1");
    EXPECT_EQ(MailInfo("mail/1.cfg", "RcptTo0"), "d@e.f");

    // With To filled, the next New edits mail 1 and leaves To and the stored RcptTo0 alone.
    Child<QLineEdit>(*d, "ToEdit")->setText("keep@y.org");
    Click(*d, "NewButton");
    EXPECT_EQ(composedIds, (std::vector<int>{0, 1}));
    EXPECT_EQ(Child<QLineEdit>(*d, "ToEdit")->text(), "keep@y.org");
    EXPECT_NE(MailInfo("mail/1.cfg", "RcptTo0"), "keep@y.org");

    // A compose that ends without a mail changes nothing.
    compose = [](QWidget*, int, const QString&, const QString&) { return ComposeOutcome{}; };
    Click(*d, "NewButton");
    EXPECT_EQ(d->MailId(), 0);
    EXPECT_EQ(Child<QLineEdit>(*d, "PathEdit")->text(),
              QString::fromStdString(dir.File("mail/1.eml")));
}

TEST_F(DiagnoseDialogTest, TwoDialogsSendingAtOnceEachShowOnlyTheirOwnLines) {
    WriteMail(5);
    WriteMail(6);
    auto first = Open();
    auto second = Open();
    Fill(*first, "zed@x.org", "a@y.org", 0);
    Child<QLineEdit>(*first, "PathEdit")->setText(QString::fromStdString(dir.File("mail/5.eml")));
    Fill(*second, "bob@x.org", "b@y.org", 1);
    Child<QLineEdit>(*second, "PathEdit")->setText(QString::fromStdString(dir.File("mail/6.eml")));
    Click(*first, "SendButton");
    Click(*second, "SendButton");

    const std::string today = TodayPrefix();
    ASSERT_TRUE(fake.SendText(FakeEngine::SendTarget(0), today + "10:00:00 S/127.0.0.1:25 220"));
    fake.JoinThreads();
    ASSERT_TRUE(
        fake.SendLines(FakeEngine::SendTarget(0), 300, "first ", std::chrono::microseconds(20)));
    ASSERT_TRUE(
        fake.SendLines(FakeEngine::SendTarget(1), 300, "second ", std::chrono::microseconds(20)));
    ASSERT_TRUE(WaitFor(
        [&] { return Transcript(*first).size() == 301 && Transcript(*second).size() == 300; }));
    QStringList expectedFirst{"10:00:00 S/127.0.0.1:25 220"};
    QStringList expectedSecond;
    for (int index = 0; index < 300; ++index) {
        expectedFirst.append(QStringLiteral("first %1").arg(index));
        expectedSecond.append(QStringLiteral("second %1").arg(index));
    }
    EXPECT_EQ(Transcript(*first), expectedFirst);
    EXPECT_EQ(Transcript(*second), expectedSecond);

    // A new send starts an empty transcript for its own lines: late lines of the earlier send
    // stay out.
    Click(*first, "SendButton");
    EXPECT_TRUE(Transcript(*first).isEmpty());
    ASSERT_TRUE(fake.SendText(FakeEngine::SendTarget(0), "late line of the first send"));
    fake.JoinThreads();
    ASSERT_TRUE(fake.SendText(FakeEngine::SendTarget(2), "yesterday 2000-01-01 stays"));
    ASSERT_TRUE(WaitFor([&] { return Transcript(*first).size() == 1; }));
    EXPECT_EQ(Transcript(*first), QStringList{"yesterday 2000-01-01 stays"});
    EXPECT_EQ(Transcript(*second).size(), 300);
}

TEST_F(DiagnoseDialogTest, DialogClosedWhileItsSendReportsLinesIsGoneSafely) {
    WriteMail(5);
    auto d = Open();
    Fill(*d, "zed@x.org", "a@y.org", 0);
    Child<QLineEdit>(*d, "PathEdit")->setText(QString::fromStdString(dir.File("mail/5.eml")));
    Click(*d, "SendButton");
    ASSERT_TRUE(
        fake.SendLines(FakeEngine::SendTarget(0), 3000, "line ", std::chrono::microseconds(30)));
    ASSERT_TRUE(WaitFor([&] { return !Transcript(*d).isEmpty(); }));
    Click(*d, "CancelButton");
    ASSERT_TRUE(WaitFor([&] { return d.isNull(); })) << "the dialog deletes itself";
    fake.JoinThreads();
    QApplication::processEvents();
    // Lines sent to its window afterwards are dropped as well.
    ASSERT_TRUE(fake.SendLines(FakeEngine::SendTarget(0), 50, "late "));
    fake.JoinThreads();
    for (int turn = 0; turn < 20; ++turn) {
        QApplication::processEvents();
    }
}

TEST_F(DiagnoseDialogTest, MainWindowOpensANewDiagnoseDialogAtEachPress) {
    CRelvoConfigApp app({});
    app.EnsureWorkingDirectories();
    EXPECT_TRUE(IsExistingFile(dir.File("help/9999000001.eml")));
    EXPECT_EQ(MailInfo("help/9999000001.cfg", "MailId"), "0");

    CRelvoConfigDlg window(nullptr, [](QWidget*, const QString&) { return false; });
    auto openDialogs = [&] { return window.findChildren<CDlgMailSend*>(); };
    Click(window, "DiagnoseButton");
    Click(window, "DiagnoseButton");
    auto dialogs = openDialogs();
    ASSERT_EQ(dialogs.size(), 2);
    EXPECT_TRUE(dialogs[0]->isVisible() && dialogs[1]->isVisible());
    EXPECT_FALSE(dialogs[0]->isModal());
    QPointer<CDlgMailSend> closed = dialogs[0];
    closed->close();
    ASSERT_TRUE(WaitFor([&] { return closed.isNull(); }));
    EXPECT_EQ(openDialogs().size(), 1);
}
