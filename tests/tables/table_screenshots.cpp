// Saves pictures of the Domains and Relay accounts dialogs, each with a few rows and a loaded form,
// of the Accounts dialog refusing a Save with its hint and of a domain's DKIM window, for the
// documentation:
// table_screenshots <output directory>. Run it under a real display server
// (e.g. Xvfb) so the pictures use the desktop's style and fonts.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <cstdio>

#include "controls/sort_list_ctrl.h"
#include "support/temp_app_dir.h"
#include "tables/dlg_account.h"
#include "tables/dlg_dkim.h"
#include "tables/dlg_domain.h"
#include "tables/dlg_relay.h"

namespace {

const char* const kConfig =
    "[DomainList]\nexample.com=1\nmail.example.org=1\nlocal.lan=1\n"
    "[DomainInfo]\nexample.com_ServerAddress=192.168.1.10\nexample.com_Port=25\n"
    "mail.example.org_ServerAddress=mx.example.org\nmail.example.org_Port=2525\n"
    "[RelayList]\nalerts@example.com=1\nbackup@mail.example.org=1\nold@isp.net=1\n"
    "[RelayInfo]\nalerts@example.com_SmtpServer=smtp.example.com\nalerts@example.com_SmtpPort=465\n"
    "alerts@example.com_SSLFlag=1\nalerts@example.com_Enabled=1\n"
    "alerts@example.com_LoginAcc=alerts\nalerts@example.com_LoginPwd=s3cret\n"
    "backup@mail.example.org_SmtpServer=relay.example.org\nbackup@mail.example.org_Enabled=1\n"
    "old@isp.net_SmtpServer=smtp.isp.net\nold@isp.net_SmtpPort=587\nold@isp.net_Enabled=0\n"
    "[AccountList]\nanna.keller@example.com=1\npostmaster@example.com=1\nsales@example.org=1\n"
    "[AccountInfo]\nanna.keller@example.com_Desc=Anna Keller, accounts\n"
    "anna.keller@example.com_Enabled=1\npostmaster@example.com_Desc=Postmaster\n"
    "postmaster@example.com_Enabled=1\nsales@example.org_Desc=Sales team\n";

bool Capture(CTableDialog& dialog, const QString& path) {
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog)) {
        return false;
    }
    // Load the first row as a click would, so the form shows a record.
    CSortListCtrl* list = dialog.List();
    const QRect cell = list->visualRect(list->model()->index(0, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::qWait(200);
    return dialog.grab().save(path);
}

// The Accounts dialog after Save refused a name without "@": the hint beside the form.
bool CaptureRefusedSave(const QString& path) {
    CDlgAccount accounts(QStringLiteral("https://www.relvo.example/support/"));
    accounts.show();
    if (!QTest::qWaitForWindowExposed(&accounts)) {
        return false;
    }
    QTest::qWait(100);
    accounts.findChild<QLineEdit*>(QStringLiteral("AccountEdit"))->setText("jsmith");
    accounts.findChild<QLineEdit*>(QStringLiteral("PasswordEdit"))->setText("secret");
    accounts.findChild<QPushButton*>(QStringLiteral("SaveButton"))->click();
    QTest::qWait(200);
    return accounts.grab().save(path);
}

// The DKIM window of a domain with a new Ed25519 key.
bool CaptureDkim(const QString& path) {
    CDlgDkim dkim(QStringLiteral("example.com"));
    dkim.show();
    if (!QTest::qWaitForWindowExposed(&dkim)) {
        return false;
    }
    dkim.findChild<QPushButton*>(QStringLiteral("generateButton"))->click();
    QTest::qWait(200);
    return dkim.grab().save(path);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: table_screenshots <output directory>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    TempAppDir dir;
    dir.Write("relvoconsole.cfg", kConfig);
    CDlgDomain domains;
    CDlgRelay relays;
    const bool saved = Capture(domains, out.filePath("domains.png")) &&
                       Capture(relays, out.filePath("relays.png")) &&
                       CaptureRefusedSave(out.filePath("accounts-hint.png")) &&
                       CaptureDkim(out.filePath("dkim.png"));
    return saved ? 0 : 1;
}
