// The DKIM window of a local domain: a new key with its mode and selector, the records shown for
// it (checked against the public key openssl derives), and the check of a published record
// through the recording fake engine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <vector>

#include "common/profile_store.h"
#include "relvomail.h"
#include "support/fake_engine.h"
#include "support/temp_app_dir.h"
#include "tables/dkim_setup.h"
#include "tables/dlg_dkim.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// The record openssl itself makes of the key file.
std::string RecordByOpenssl(const std::string& key, const std::string& type) {
    QProcess shell;
    shell.start("/bin/sh",
                {"-c", QString::fromStdString("openssl pkey -in " + key + " -pubout -outform DER" +
                                              (type == "ed25519" ? " | tail -c 32" : "") +
                                              " | base64 -w0")});
    shell.waitForFinished();
    return "v=DKIM1; k=" + type + "; p=" + shell.readAllStandardOutput().toStdString();
}

TEST(DkimWindowTest, NewKeysAreKeptPrivateAndTheirRecordsShown) {
    TempAppDir dir;
    dir.Write("relvoconsole.cfg", "[DomainList]\r\nMail.Test=1\r\n");
    CDlgDkim dialog(QStringLiteral("Mail.Test"));
    dialog.show();
    auto text = [&](const char* name) {
        return dialog.findChild<QLineEdit*>(QString::fromLatin1(name))->text().toStdString();
    };
    EXPECT_EQ(text("dkimRecord"), "");
    EXPECT_EQ(text("dmarcName"), "_dmarc.Mail.Test");
    EXPECT_NE(text("dmarcRecord").find("p=none"), std::string::npos);
    EXPECT_EQ(text("spfRecord").rfind("v=spf1 a mx", 0), 0u);

    std::vector<std::string> keys;
    for (const std::string type : {"ed25519", "rsa"}) {
        dialog.findChild<QComboBox*>("keyType")->setCurrentIndex(type == "rsa" ? 1 : 0);
        QTest::mouseClick(dialog.findChild<QPushButton*>("generateButton"), Qt::LeftButton);
        std::string selector = ProfileGetString("DomainInfo", "Mail.Test_DkimSelector", "", ".cfg");
        EXPECT_EQ(dialog.findChild<QLabel*>("selector")->text().toStdString(), selector);
        EXPECT_EQ(text("dkimName"), selector + "._domainkey.Mail.Test");
        keys.push_back(dir.File("dkim/mail.test/" + selector + ".key"));
        EXPECT_EQ(ModeOf(keys.back()), 0600u);
        EXPECT_EQ(text("dkimRecord"), RecordByOpenssl(keys.back(), type));
    }
    EXPECT_EQ(ModeOf(dir.File("dkim/mail.test")), 0700u);
    EXPECT_NE(keys[0], keys[1]);
    EXPECT_EQ(ModeOf(keys[0]), 0600u);  // the old key stays for mail in flight
}

// The check asks the engine, with the DnsServer setting as it stands (an IPv6 server too), and
// says so when the engine library or its entry point is not there. The engine's DNS client itself
// is tested against dnsmasq in dkim_dns_tests.cpp.
TEST(DkimWindowTest, CheckAsksTheEngineThroughTheConfiguredServer) {
    TempAppDir dir;
    dir.Write("relvoconsole.cfg",
              "[DomainList]\r\nMail.Test=1\r\n[System]\r\nDnsServer=[::1]:5353\r\n");
    std::string error;
    ASSERT_TRUE(GenerateDkimKey("Mail.Test", DkimKeyType::kEd25519, &error)) << error;
    CDlgDkim dialog(QStringLiteral("Mail.Test"));
    dialog.show();
    auto* check = dialog.findChild<QPushButton*>("checkButton");
    auto* status = dialog.findChild<QLabel*>("status");
    const std::string name = dialog.findChild<QLineEdit*>("dkimName")->text().toStdString();
    const std::string record = dialog.findChild<QLineEdit*>("dkimRecord")->text().toStdString();
    ASSERT_TRUE(check->isEnabled());

    // No library yet: the window says why and can check again.
    QTest::mouseClick(check, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(check->isEnabled(), 10000);
    EXPECT_TRUE(status->text().contains("engine library")) << status->text().toStdString();

    // An engine library from before the check: the same, naming what it lacks.
    FakeEngine engine(dir.Path());
    engine.SetMissing("LookupTxt");
    QTest::mouseClick(check, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(check->isEnabled(), 10000);
    EXPECT_TRUE(status->text().contains("no entry point RelvoMail_LookupTxt"))
        << status->text().toStdString();

    engine.SetMissing("LookupTxt", false);
    const struct {
        std::vector<std::string> published;
        const char* says;
    } cases[] = {{{"v=spf1 -all", record}, "matches"},
                 {{"v=DKIM1; k=ed25519; p=AAAA"}, "differs"},
                 {{}, "No TXT record"}};
    for (const auto& c : cases) {
        engine.SetTxtRecords(c.published);
        QTest::mouseClick(check, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(check->isEnabled(), 10000);
        EXPECT_TRUE(status->text().contains(c.says)) << status->text().toStdString();
    }
    const std::string call = "RelvoMail_LookupTxt(\"" + name + "\",\"[::1]:5353\",buffer," +
                             std::to_string(RELVOMAIL_TXT_BUFFER_SIZE) + ")";
    EXPECT_EQ(engine.Calls(), std::vector<std::string>(3, call));
}

}  // namespace
