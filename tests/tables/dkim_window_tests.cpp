// The DKIM window of a local domain: a new key with its mode and selector, the records shown for
// it (checked against the public key openssl derives), and the check of a published record
// against TXT records that dnsmasq serves on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include "common/profile_store.h"
#include "support/temp_app_dir.h"
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

int FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(DkimWindowTest, CheckComparesThePublishedRecordThroughTheConfiguredDns) {
    const std::string record = "v=DKIM1; k=ed25519; p=11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
    int port = FreeUdpPort();
    QProcess dns;
    dns.setProcessChannelMode(QProcess::MergedChannels);
    dns.start("dnsmasq",
              {"--no-daemon", "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv",
               "--no-hosts", "--port=" + QString::number(port), "--local=/test/",
               QString::fromStdString("--txt-record=s._domainkey.good.test," + record),
               "--txt-record=s._domainkey.old.test,v=DKIM1; k=ed25519; p=AAAA"});
    QByteArray said;  // dnsmasq says "started" once it listens
    while (!said.contains("started") && dns.waitForReadyRead(5000)) {
        said += dns.readAll();
    }
    ASSERT_TRUE(said.contains("started")) << said.toStdString();
    const struct {
        std::string name;
        PublishedCheck::Outcome outcome;
    } cases[] = {{"s._domainkey.good.test", PublishedCheck::Outcome::kMatches},
                 {"s._domainkey.old.test", PublishedCheck::Outcome::kDiffers},
                 {"s._domainkey.none.test", PublishedCheck::Outcome::kMissing}};
    for (const auto& c : cases) {
        PublishedCheck check =
            CheckPublishedRecord(c.name, record, "127.0.0.1:" + std::to_string(port));
        EXPECT_EQ(check.outcome, c.outcome) << c.name << ": " << check.text;
    }
    EXPECT_EQ(CheckPublishedRecord("s._domainkey.good.test", record, "127.0.0.1:1").outcome,
              PublishedCheck::Outcome::kLookupFailed);
    dns.kill();
    dns.waitForFinished();
}

}  // namespace
