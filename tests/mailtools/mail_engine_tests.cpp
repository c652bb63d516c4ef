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
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mailservice/send/send_test_support.h"
#include "mailtools/dlg_mail_compose.h"
#include "mailtools/dlg_mail_send.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

namespace fs = std::filesystem;
using Process = relvo::mail::send::testing::Child;
using relvo::mail::send::testing::FreePort;
using relvo::mail::send::testing::ReadReceived;
using relvo::mail::send::testing::RunPython;

template <typename T>
T* Control(const QWidget& dialog, const char* name) {
    T* control = dialog.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
}

bool WaitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
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
        // The engine library reads the same application directory and routes to the test's
        // exchanger port; both are set before the console loads it.
        fs::copy_file(RELVO_ENGINE_LIBRARY, dir_.File("librelvomailservice.so"));
        setenv("RELVO_APP_DIR", dir_.Path().c_str(), 1);
        mxPort_ = FreePort();
        setenv("RELVO_TEST_MX_PORT", std::to_string(mxPort_).c_str(), 1);
        const int dnsPort = FreePort();
        fs::create_directory(dir_.File("mail"));
        dir_.Write("relvoconsole.cfg",
                   "[System]\r\nDnsServer=127.0.0.1:" + std::to_string(dnsPort) +
                       "\r\nHELOString=console.test\r\nLogSend=1\r\n"
                       "[AccountList]\r\nann@origin.test=1\r\n"
                       "[AccountInfo]\r\nann@origin.test_Desc=Ann\r\n");
        dns_ = std::make_unique<Process>(std::vector<std::string>{
            "dnsmasq", "--no-daemon", "--port=" + std::to_string(dnsPort),
            "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts",
            "--mx-host=e2e.test,mx.e2e.test,10", "--host-record=mx.e2e.test,127.0.0.2",
            "--local=/test/"});
        ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
        fs::create_directory(dir_.File("peer"));
        peer_ = std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/python3", SEND_PEER_SCRIPT, "127.0.0.2",
                                     std::to_string(mxPort_), dir_.File("peer")});
        ASSERT_TRUE(peer_->Ready("ready")) << peer_->Output();
    }
    void TearDown() override {
        unsetenv("RELVO_TEST_MX_PORT");
        unsetenv("RELVO_APP_DIR");
    }

    TempAppDir dir_;
    int mxPort_ = 0;
    std::unique_ptr<Process> dns_;
    std::unique_ptr<Process> peer_;
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
    ASSERT_TRUE(WaitFor(
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
