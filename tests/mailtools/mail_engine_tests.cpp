// The compose and diagnose dialogs against the real engine library: a mail with an attachment
// built by the engine, sent by a diagnose send to the mail exchanger that dnsmasq names (an
// aiosmtpd peer on a loopback address), and read back with Python's email package.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mailtools/dlg_mail_compose.h"
#include "mailtools/dlg_mail_send.h"
#include "mailtools/engine_peers.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

namespace fs = std::filesystem;
using relvo::mail::send::testing::ReadReceived;
using relvo::mail::send::testing::RunPython;

template <typename T>
T* Control(const QWidget& dialog, const char* name) {
    T* control = dialog.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
}

// Prints the subject, the body text, the attachment's file name, whether its bytes are those of
// the file at path (set before it), and the number of defects the parser found.
const char kReadMessage[] = R"(import sys, email, email.policy
m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.default)
defects = sum(len(p.defects) for p in m.walk())
body = m.get_body(preferencelist=('plain',)).get_content().replace('\r\n', '\n')
files = list(m.iter_attachments())
print(m['subject'])
print(body.rstrip('\n').replace('\n', '|'))
print(files[0].get_filename() if files else '')
print(bool(files) and files[0].get_content() == open(path, 'rb').read())
print(defects)
)";

class MailEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir_.File("mail"));
        dir_.Write("relvoconsole.cfg", engine_.SystemSection() +
                                           "[AccountList]\r\nann@origin.test=1\r\n"
                                           "[AccountInfo]\r\nann@origin.test_Desc=Ann\r\n");
        ASSERT_TRUE(engine_.Start());
    }

    TempAppDir dir_;
    EnginePeers engine_{dir_};
};

TEST_F(MailEngineTest, ComposedMailWithAnAttachmentReachesTheExchangerByteForByte) {
    std::string attachment;
    for (int round = 0; round < 40; ++round) {
        for (int byte = 0; byte < 256; ++byte) {
            attachment += static_cast<char>(byte);
        }
    }
    dir_.Write("figures 2026.bin", attachment);

    // Compose: the engine's mail builder stores mail/<id>.eml with its companion.
    QStringList warnings;
    CDlgMailCompose compose(0, {}, {}, QStringLiteral("https://help.example/"));
    ComposePrompts composePrompts;
    composePrompts.warn = [&](QWidget*, const QString& text) { warnings.append(text); };
    composePrompts.chooseAttachment = [&](QWidget*) {
        return QString::fromStdString(dir_.File("figures 2026.bin"));
    };
    compose.SetPrompts(composePrompts);
    compose.show();
    Control<QComboBox>(compose, "SenderBox")->setEditText("Ann <ann@origin.test>");
    Control<QLineEdit>(compose, "RecipientsEdit")->setText("bob@e2e.test");
    Control<QLineEdit>(compose, "SubjectEdit")->setText("Quarterly figures");
    Control<QPlainTextEdit>(compose, "BodyEdit")->setPlainText("Hello Bob,\nthe figures.\n");
    Control<QPushButton>(compose, "AttachButton")->click();
    Control<QPushButton>(compose, "OkButton")->click();
    ASSERT_EQ(compose.result(), QDialog::Accepted) << warnings.join('\n').toStdString();
    const std::string mail = dir_.File("mail/" + std::to_string(compose.MailId()) + ".eml");
    ASSERT_TRUE(fs::exists(mail));

    // Diagnose: sent directly, to the exchanger found through the MX answer.
    QPointer<CDlgMailSend> send = new CDlgMailSend(QStringLiteral("https://help.example/"));
    DiagnosePrompts sendPrompts;
    sendPrompts.chooseMailFile = [&](QWidget*) { return QString::fromStdString(mail); };
    sendPrompts.warn = [&](QWidget*, const QString& text) { warnings.append(text); };
    send->SetPrompts(sendPrompts);
    send->show();
    Control<QPushButton>(*send, "ChooseButton")->click();
    Control<QComboBox>(*send, "FromBox")->setEditText("ann@origin.test");
    Control<QLineEdit>(*send, "ToEdit")->setText("bob@e2e.test");
    Control<QComboBox>(*send, "SendViaBox")->setCurrentIndex(0);
    Control<QPushButton>(*send, "SendButton")->click();
    auto* transcript = Control<QPlainTextEdit>(*send, "TranscriptEdit");
    const auto lastLine = [&] {
        const QStringList lines = transcript->toPlainText().split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last();
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return lastLine().contains(QStringLiteral(" sent")) ||
                   lastLine().contains(QStringLiteral("not sent"));
        },
        20000))
        << transcript->toPlainText().toStdString();
    EXPECT_TRUE(lastLine().endsWith(QStringLiteral(" sent")))
        << transcript->toPlainText().toStdString();
    // Today's date is left out of the dialog's lines; the conversation shows.
    const QString text = transcript->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("mx.e2e.test"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("RCPT TO:<bob@e2e.test>"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("2026-"))) << text.toStdString();
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
    delete send.data();

    const auto received = ReadReceived(dir_.File("peer"));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].from, "ann@origin.test");
    EXPECT_EQ(received[0].to, std::vector<std::string>{"bob@e2e.test"});
    int status = -1;
    const std::string script = "path = '" + dir_.File("figures 2026.bin") + "'\n" + kReadMessage;
    const std::string parsed = RunPython(script, received[0].message, &status);
    ASSERT_EQ(status, 0) << parsed;
    EXPECT_EQ(parsed, "Quarterly figures\nHello Bob,|the figures.\nfigures 2026.bin\nTrue\n0\n");
}

}  // namespace
