// DKIM and SPF results of received mail: messages signed by dkimpy, keys and SPF records served
// by dnsmasq on loopback, and smtplib in a network namespace of its own as a client from outside
// the private networks (SPF passes every loopback address). Needs root for the namespace.
#include <gtest/gtest.h>

#include <regex>

#include "mailservice/send/send_test_support.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using testing::RunProcess;

// dnsmasq takes a TXT record longer than one string as several strings, comma separated.
std::string TxtStrings(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size(); at += 200) {
        out += (at ? "," : "") + text.substr(at, 200);
    }
    return out;
}

class InboundChecksTest : public testing::ServiceFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "a network namespace for the client needs root";
        }
        net_.emplace("rd", 31);
        ASSERT_EQ(net_->Make(), "");
        namespace_ = net_->Name();
        serverIp_ = net_->HostIp();
        const std::string clientIp = net_->ClientIp();
        key_ = app_.File("signer.pem");
        Shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key_ +
              " 2>/dev/null");
        std::string publicKey =
            Shell("openssl pkey -in " + key_ + " -pubout -outform DER | base64 -w0");
        int dnsPort = send::testing::FreePort();
        dns_ = send::testing::Dnsmasq(
            dnsPort, {"--txt-record=sel._domainkey.signer.test," +
                          TxtStrings("v=DKIM1; k=rsa; p=" + publicKey),
                      "--txt-record=signer.test,v=spf1 ip4:" + clientIp + " -all",
                      "--txt-record=other.test,v=spf1 ip4:192.0.2.0/24 -all", "--local=/test/"});
        ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
        ReplaceConfig(
            "[System]\r\nHELOString=mx.relvo.test\r\nLogSmtp=1\r\nDnsServer=127.0.0.1:" +
            std::to_string(dnsPort) +
            "\r\n[DomainList]\r\nlocal.example=1\r\n[AccountList]\r\n"
            "alice@local.example=1\r\n[AccountInfo]\r\nalice@local.example_Enabled=1\r\n");
        port_ = testing::FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    void TearDown() override {
        testing::ServiceFixture::TearDown();
        net_.reset();
    }

    static std::string Shell(const std::string& command) {
        return RunProcess({"/bin/sh", "-c", command});
    }

    std::string SignedByDkimpy(const std::string& message) {
        std::string script =
            "import dkim,sys\n"
            "m=sys.argv[2].encode()\n"
            "s=dkim.sign(m,b'sel',b'signer.test',open(sys.argv[1],'rb').read(),"
            "include_headers=[b'from',b'to',b'subject'])\n"
            "sys.stdout.write((s+m).decode())\n";
        return RunProcess({"/usr/bin/python3", "-c", script, key_, message});
    }

    // Sends the message from the namespace; returns what was stored, or the replies.
    std::string Deliver(const std::string& sender, const std::string& message) {
        auto replies = testing::RunPeer(serverIp_, port_,
                                        {{"ehlo", "client.test"},
                                         {"mail", sender},
                                         {"rcpt", "alice@local.example"},
                                         {"data", message},
                                         {"quit"}},
                                        {"ip", "netns", "exec", namespace_});
        std::smatch id;
        std::string all;
        for (const auto& reply : replies) {
            all += std::to_string(reply.code) + " " + reply.text + "\n";
        }
        if (!std::regex_search(all, id, std::regex("queued as ([0-9]+)"))) {
            return all;
        }
        return app_.Read("queue/" + id[1].str() + ".eml");
    }

    std::optional<testing::ClientNamespace> net_;
    std::string namespace_;
    std::string serverIp_;
    std::string key_;
    std::unique_ptr<send::testing::Child> dns_;
    int port_ = 0;
};

TEST_F(InboundChecksTest, ResultsForEachSignatureAndClientAddress) {
    const std::string message =
        "From: Sender <sender@signer.test>\r\nTo: alice@local.example\r\nSubject: checks\r\n"
        "\r\nHello from the signer.\r\n";
    std::string signed_ = SignedByDkimpy(message);
    ASSERT_NE(signed_.find("DKIM-Signature:"), std::string::npos) << signed_;
    std::string altered = std::regex_replace(signed_, std::regex("Hello"), "Jello");
    const std::string forged =
        "Authentication-Results: MX.relvo.test; dkim=pass header.d=bank.test\r\n"
        "Authentication-Results: other.test; spf=pass\r\n" +
        message;
    struct Case {
        std::string sender, message;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"sender@signer.test",
         signed_,
         {"dkim=pass header.d=signer.test header.s=sel", "spf=pass smtp.mailfrom=sender@signer.test"},
         {"dkim=fail"}},
        {"sender@other.test",
         altered,
         {"dkim=fail header.d=signer.test", "spf=fail smtp.mailfrom=sender@other.test"},
         {"dkim=pass"}},
        {"sender@nowhere.test",
         forged,
         {"dkim=none", "spf=none", "Authentication-Results: other.test; spf=pass"},
         {"bank.test"}},
    };
    for (const Case& c : cases) {
        std::string stored = Deliver(c.sender, c.message);
        ASSERT_EQ(stored.rfind("Authentication-Results: mx.relvo.test;\r\n\t", 0), 0) << stored;
        EXPECT_LT(stored.find("Authentication-Results:"), stored.find("Received:"));
        for (const std::string& text : c.present) {
            EXPECT_NE(stored.find(text), std::string::npos) << text << "\n" << stored;
        }
        for (const std::string& text : c.absent) {
            EXPECT_EQ(stored.find(text), std::string::npos) << text << "\n" << stored;
        }
    }
    Service().Stop();
    std::string log;
    for (auto& entry : std::filesystem::directory_iterator(app_.File("log"))) {
        log += send::testing::ReadFile(entry.path().string());
    }
    EXPECT_NE(log.find("dkim=pass header.d=signer.test header.s=sel; spf=pass"), std::string::npos) << log;
}

}  // namespace
}  // namespace relvo::mail::smtp
