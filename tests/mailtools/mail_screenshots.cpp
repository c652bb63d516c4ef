// Saves pictures of the Compose mail and Diagnose sending dialogs, filled in as an operator
// would, the latter with the progress lines of a send: mail_screenshots <output directory>. Run
// it under a real display server (e.g. Xvfb) so the pictures use the desktop's style and fonts.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <filesystem>

#include "mailtools/diagnose_send.h"
#include "mailtools/dlg_mail_compose.h"
#include "mailtools/dlg_mail_send.h"
#include "mailtools/mail_files.h"
#include "support/fake_engine.h"
#include "support/temp_app_dir.h"

namespace {

const char* const kConfig =
    "[AccountList]\nalerts@example.com=1\nann@example.com=1\npostmaster@example.com=1\n"
    "[AccountInfo]\nalerts@example.com_Desc=Alerts\nalerts@example.com_Password=pw\n"
    "ann@example.com_Desc=Ann Smith\n"
    "[RelayList]\nbackup@mail.example.org=1\nold@isp.example.net=1\n"
    "[RelayInfo]\nbackup@mail.example.org_SmtpServer=relay.example.org\n";

bool Save(QWidget& dialog, const QString& path) {
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog)) {
        return false;
    }
    QTest::qWait(200);
    return dialog.grab().save(path);
}

bool CaptureCompose(const QString& path) {
    CDlgMailCompose dialog(0, QStringLiteral("\"Ann Smith\" <ann@example.com>"),
                           QStringLiteral("bob@example.org; carol@example.net"), QString());
    QStringList files{"/home/ann/report-2026.pdf", "/home/ann/figures.ods"};
    dialog.SetPrompts(
        {{}, [&files](QWidget*) { return files.isEmpty() ? QString() : files.takeFirst(); }});
    auto* attach = dialog.findChild<QPushButton*>(QStringLiteral("AttachButton"));
    attach->click();
    attach->click();
    dialog.findChild<QLineEdit*>(QStringLiteral("SubjectEdit"))->setText("Quarterly report");
    dialog.findChild<QPlainTextEdit*>(QStringLiteral("BodyEdit"))
        ->setPlainText(
            "Hello Bob, hello Carol,\n\nthe report and its figures are attached.\n\n"
            "Regards,\nAnn");
    dialog.resize(560, 420);
    return Save(dialog, path);
}

bool CaptureDiagnose(FakeEngine& fake, const QString& path) {
    CDlgMailSend dialog({});
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.findChild<QComboBox*>(QStringLiteral("FromBox"))->setCurrentIndex(0);
    dialog.findChild<QLineEdit*>(QStringLiteral("ToEdit"))->setText("bob@example.org");
    dialog.findChild<QComboBox*>(QStringLiteral("SendViaBox"))->setCurrentIndex(1);
    dialog.Send();
    const std::string today = TodayPrefix();
    const char* const lines[] = {
        "14:05:09 Sending mail to bob@example.org via relay.example.org:25",
        "14:05:09 Connected to relay.example.org [192.0.2.25]:25",
        "14:05:09 Server/192.0.2.25:25 220 relay.example.org ESMTP ready",
        "14:05:09 Client/192.0.2.25:25 EHLO mail.example.com",
        "14:05:09 Server/192.0.2.25:25 250-relay.example.org",
        "14:05:09 Server/192.0.2.25:25 250 AUTH LOGIN PLAIN",
        "14:05:10 Client/192.0.2.25:25 AUTH LOGIN ****",
        "14:05:10 Server/192.0.2.25:25 235 Authentication successful",
        "14:05:10 Client/192.0.2.25:25 MAIL FROM:<alerts@example.com>",
        "14:05:10 Server/192.0.2.25:25 250 OK",
        "14:05:10 Client/192.0.2.25:25 RCPT TO:<bob@example.org>",
        "14:05:10 Server/192.0.2.25:25 250 Accepted",
        "14:05:11 Server/192.0.2.25:25 250 OK queued as 4F2A1",
        "14:05:11 Mail delivered to bob@example.org"};
    for (const char* line : lines) {
        fake.SendText(FakeEngine::SendTarget(0), today + line);
        fake.JoinThreads();
    }
    QTest::qWait(300);
    dialog.resize(620, 460);
    return Save(dialog, path);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: mail_screenshots <output directory>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    TempAppDir dir;
    dir.Write("relvoconsole.cfg", kConfig);
    std::filesystem::create_directory(dir.File("mail"));
    EnsureSampleMail();
    FakeEngine fake;
    const bool saved = CaptureCompose(out.filePath("compose.png")) &&
                       CaptureDiagnose(fake, out.filePath("diagnose.png"));
    return saved ? 0 : 1;
}
