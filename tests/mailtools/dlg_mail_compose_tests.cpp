// The compose dialog against the recording fake engine: the sender list and character sets, the
// order of its checks, the exact engine calls for a new and for an existing mail, attachments,
// and a mail the engine did not store.
#include "mailtools/dlg_mail_compose.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <memory>
#include <utility>

#include "mail_dialog_fixture.h"

namespace {

using Calls = std::vector<std::string>;

class ComposeDialogTest : public MailDialogTest {
  protected:
    std::unique_ptr<CDlgMailCompose> Open(int mailId, const QString& sender = {},
                                          const QString& recipients = {}) {
        auto dialog = std::make_unique<CDlgMailCompose>(mailId, sender, recipients,
                                                        QStringLiteral("https://help.example/"));
        ComposePrompts prompts;
        prompts.warn = [this](QWidget*, const QString& text) { warnings.append(text); };
        prompts.chooseAttachment = [this](QWidget*) {
            return chosen.isEmpty() ? QString() : chosen.takeFirst();
        };
        dialog->SetPrompts(prompts);
        Show(*dialog);
        return dialog;
    }
    static void Fill(const CDlgMailCompose& d, const QString& sender, const QString& recipients,
                     const QString& subject, const QString& body) {
        Child<QComboBox>(d, "SenderBox")->setEditText(sender);
        Child<QLineEdit>(d, "RecipientsEdit")->setText(recipients);
        Child<QLineEdit>(d, "SubjectEdit")->setText(subject);
        Child<QPlainTextEdit>(d, "BodyEdit")->setPlainText(body);
    }
    static bool Accepted(const CDlgMailCompose& d) {
        return d.result() == QDialog::Accepted && !d.isVisible();
    }
    std::string MailPath(int id) const { return dir.File("mail/" + std::to_string(id) + ".eml"); }

    QStringList warnings;
    QStringList chosen;
};

}  // namespace

TEST_F(ComposeDialogTest, OffersTheAccountsSortedAndTheNineCharacterSets) {
    auto d = Open(0, QStringLiteral("typed@x.org"), QStringLiteral("to@y.org"));
    EXPECT_EQ(d->windowTitle(), "Compose mail");
    auto* senders = Child<QComboBox>(*d, "SenderBox");
    // An account without a description shows its local part.
    EXPECT_EQ(Items(senders),
              (QStringList{"\"ann\" <ann@x.org>", "\"bob\" <bob@x.org>", "\"Zed\" <zed@x.org>"}));
    EXPECT_EQ(senders->currentText(), "typed@x.org");
    EXPECT_EQ(Child<QLineEdit>(*d, "RecipientsEdit")->text(), "to@y.org");
    auto* charsets = Child<QComboBox>(*d, "CharsetBox");
    EXPECT_EQ(
        Items(charsets),
        (QStringList{"English (iso-8859-1)", "Chinese (gb2312)", "Chinese (BIG5)",
                     "Cyrillic (windows-1251)", "German (DIN_66003)", "Japanese (iso-2022-jp)",
                     "Korean (iso-2022-kr)", "Swedish (SEN_850200_B)", "Thai (windows-874)"}));
    EXPECT_EQ(charsets->currentIndex(), 0);
    EXPECT_TRUE(charsets->isEnabled());
}

TEST_F(ComposeDialogTest, ChecksSenderRecipientsThenSubjectOrBodyBeforeCallingTheEngine) {
    struct Case {
        QString sender, recipients, subject, body;
        const char* focused;
    };
    const Case refused[] = {
        {"", "", "", "", "SenderBox"},
        {"", "r@y.org", "Hi", "text", "SenderBox"},
        {"s@x.org", "", "Hi", "text", "RecipientsEdit"},
        {"s@x.org", "", "", "", "RecipientsEdit"},
        {"s@x.org", "r@y.org", "", "", "SubjectEdit"},
    };
    auto d = Open(0);
    for (const Case& c : refused) {
        Child<QPushButton>(*d, "CancelButton")->setFocus();
        Fill(*d, c.sender, c.recipients, c.subject, c.body);
        Click(*d, "OkButton");
        EXPECT_TRUE(HasFocus(Child<QWidget>(*d, c.focused))) << c.focused;
        EXPECT_TRUE(d->isVisible());
    }
    EXPECT_EQ(fake.Calls(), Calls{});
    EXPECT_TRUE(warnings.isEmpty());

    // A body alone is enough.
    fake.StoreSavedMails();
    Fill(*d, "s@x.org", "r@y.org", "", "text");
    Click(*d, "OkButton");
    EXPECT_TRUE(Accepted(*d));
}

TEST_F(ComposeDialogTest, NewMailIsCreatedInTheChosenCharacterSetAndSavedUnderItsId) {
    fake.StoreSavedMails();
    auto d = Open(0);
    // The same file twice is listed once; a shorter path or another letter case is another file.
    chosen = {"/data/b.txt", "/data/a.txt", "/data/b.txt", "/data/a", "/data/A.txt"};
    for (int press = 0; press < 5; ++press) {
        Click(*d, "AttachButton");
    }
    auto* attachments = Child<QComboBox>(*d, "AttachmentsBox");
    EXPECT_EQ(Items(attachments),
              (QStringList{"/data/a", "/data/a.txt", "/data/A.txt", "/data/b.txt"}));
    EXPECT_EQ(attachments->currentText(), "/data/A.txt");

    Child<QComboBox>(*d, "CharsetBox")->setCurrentIndex(5);
    // A sender typed freely goes to the engine unchanged, quotes and brackets included.
    Fill(*d, "\"Joe\" <joe@x.org>", "a@b.c; d@e.f", "Hi", "line 1\nline 2");
    Click(*d, "OkButton");

    EXPECT_EQ(
        fake.Calls(),
        (Calls{"RelvoMail_CreateMail(\"iso-2022-jp\")",
               "RelvoMail_SetFrom(1,\"\\\"Joe\\\" <joe@x.org>\",\"\")",
               "RelvoMail_AddRecipients(1,\"a@b.c; d@e.f\",0)", "RelvoMail_SetSubject(1,\"Hi\")",
               "RelvoMail_SetMailBody(1,\"line 1\\x0d\\x0aline 2\")",
               "RelvoMail_AttachFile(1,\"/data/a\")", "RelvoMail_AttachFile(1,\"/data/a.txt\")",
               "RelvoMail_AttachFile(1,\"/data/A.txt\")", "RelvoMail_AttachFile(1,\"/data/b.txt\")",
               "RelvoMail_SaveMailAs(1,\"" + MailPath(1) + "\")"}));
    EXPECT_TRUE(Accepted(*d));
    EXPECT_EQ(d->MailId(), 1);
    EXPECT_EQ(d->Sender(), "\"Joe\" <joe@x.org>");
    EXPECT_EQ(d->Recipients(), "a@b.c; d@e.f");
}

TEST_F(ComposeDialogTest, EnterInALineFieldMovesOnAndOnlyOkBuildsTheMail) {
    fake.StoreSavedMails();
    auto d = Open(0);
    Fill(*d, "s@x.org", "r@y.org", "Hi", "text");
    const std::pair<const char*, const char*> steps[] = {{"SenderBox", "RecipientsEdit"},
                                                         {"RecipientsEdit", "SubjectEdit"},
                                                         {"SubjectEdit", "BodyEdit"},
                                                         {"AttachmentsBox", "AttachButton"},
                                                         {"CharsetBox", "OkButton"}};
    for (const auto& [field, next] : steps) {
        QWidget* widget = Child<QWidget>(*d, field);
        widget->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(QApplication::focusWidget(), Child<QWidget>(*d, next)) << field;
        EXPECT_TRUE(fake.Calls().empty()) << field;
        EXPECT_TRUE(d->isVisible()) << field;
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(Accepted(*d));
    EXPECT_EQ(fake.Calls().back(), "RelvoMail_SaveMailAs(1,\"" + MailPath(1) + "\")");
}

TEST_F(ComposeDialogTest, ExistingMailIsLoadedAndSavedUnderItsOwnIdWithoutCreation) {
    dir.Write("mail/7.cfg",
              "[MailInfo]\r\nMailId=7\r\nSender=\"Ann\" <ann@x.org>\r\nRecipientsTo=r@y.org\r\n"
              "Subject=Stored\r\nAttachNumber=3\r\nAttach0=/d/x.pdf\r\nAttach1=\r\n"
              "Attach2=/d/y.pdf\r\n");
    dir.Write("mail/7.txt", "Hello \xc3\xbc\r\nWorld\r\n");
    fake.StoreSavedMails();
    auto d = Open(7, QStringLiteral("handed@x.org"), QStringLiteral("handed@y.org"));
    EXPECT_EQ(Child<QComboBox>(*d, "SenderBox")->currentText(), "\"Ann\" <ann@x.org>");
    EXPECT_EQ(Child<QLineEdit>(*d, "RecipientsEdit")->text(), "r@y.org");
    EXPECT_EQ(Child<QLineEdit>(*d, "SubjectEdit")->text(), "Stored");
    EXPECT_EQ(Child<QPlainTextEdit>(*d, "BodyEdit")->toPlainText(), "Hello \u00fc\nWorld\n");
    EXPECT_EQ(Items(Child<QComboBox>(*d, "AttachmentsBox")), (QStringList{"/d/x.pdf", "/d/y.pdf"}));
    // The mail keeps the character set it was created in.
    EXPECT_FALSE(Child<QComboBox>(*d, "CharsetBox")->isEnabled());

    Click(*d, "OkButton");
    EXPECT_EQ(
        fake.Calls(),
        (Calls{"RelvoMail_SetFrom(7,\"\\\"Ann\\\" <ann@x.org>\",\"\")",
               "RelvoMail_AddRecipients(7,\"r@y.org\",0)", "RelvoMail_SetSubject(7,\"Stored\")",
               "RelvoMail_SetMailBody(7,\"Hello \xc3\xbc\\x0d\\x0aWorld\\x0d\\x0a\")",
               "RelvoMail_AttachFile(7,\"/d/x.pdf\")", "RelvoMail_AttachFile(7,\"/d/y.pdf\")",
               "RelvoMail_SaveMailAs(7,\"" + MailPath(7) + "\")"}));
    EXPECT_TRUE(Accepted(*d));
    EXPECT_EQ(d->MailId(), 7);

    // Without its companion file nothing is loaded: the handed-over texts stay.
    auto other = Open(9, QStringLiteral("handed@x.org"), QStringLiteral("handed@y.org"));
    EXPECT_EQ(Child<QComboBox>(*other, "SenderBox")->currentText(), "handed@x.org");
    EXPECT_EQ(Child<QLineEdit>(*other, "RecipientsEdit")->text(), "handed@y.org");
    EXPECT_EQ(Child<QLineEdit>(*other, "SubjectEdit")->text(), "");
}

TEST_F(ComposeDialogTest, MailTheEngineDidNotStoreIsReportedAndTheDialogStaysOpen) {
    fake.FailSavedMails("no room in the mail directory");
    auto d = Open(0);
    Fill(*d, "s@x.org", "r@y.org", "Hi", "");
    Click(*d, "OkButton");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains("no room in the mail directory")) << warnings[0].toStdString();
    EXPECT_TRUE(warnings[0].contains(QString::fromStdString(MailPath(1))))
        << warnings[0].toStdString();
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->MailId(), 1);

    // The second try rebuilds the mail already created rather than making another.
    fake.Reset();
    fake.StoreSavedMails();
    Click(*d, "OkButton");
    EXPECT_EQ(fake.Calls().front(), "RelvoMail_SetFrom(1,\"s@x.org\",\"\")");
    EXPECT_TRUE(Accepted(*d));

    // No engine, no mail: said so, and nothing else is called.
    fake.Reset();
    fake.SetResult("CreateMail", 0);
    auto failed = Open(0);
    Fill(*failed, "s@x.org", "r@y.org", "Hi", "");
    Click(*failed, "OkButton");
    EXPECT_EQ(fake.Calls(), Calls{"RelvoMail_CreateMail(\"iso-8859-1\")"});
    EXPECT_EQ(warnings.size(), 2);
    EXPECT_TRUE(failed->isVisible());
    EXPECT_EQ(failed->MailId(), 0);
}
