// A client from outside the private networks: smtplib in a network namespace of its own, joined
// to this machine by a veth pair with documentation addresses (198.51.100.0/24). Made and removed
// here; it needs root, and is skipped with the reason otherwise.
#include <gtest/gtest.h>

#include <memory>

#include "smtp/smtp_service.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace std::chrono_literals;
using namespace relvo::mail::smtp::testing;

class RemoteClientTest : public ServiceFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "a network namespace for the remote client needs root";
        }
        net_.emplace("rs", 0);
        namespace_ = net_->Name();
        hostIp_ = net_->HostIp();
        v6_ = "2001:db8:" + std::to_string(1000 + net_->Slot());
        const std::string& link = net_->HostLink();
        const std::string failed = net_->Make({
            {"ip", "netns", "exec", namespace_, "ip", "link", "set", "lo", "up"},
            {"ip", "addr", "add", v6_ + ":1::1/64", "dev", link, "nodad"},
            {"ip", "addr", "add", v6_ + ":1::2/64", "dev", link, "nodad"},
            {"ip", "addr", "add", v6_ + ":2::1/64", "dev", link, "nodad"},
        });
        if (!failed.empty()) {
            GTEST_SKIP() << "cannot make the network namespace: " << failed << " failed";
        }
        WriteConfig("1");
        Service().SetAuthFailureDelay(50ms);
        port_ = FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    void TearDown() override {
        ServiceFixture::TearDown();
        net_.reset();
    }
    void WriteConfig(const std::string& authFlag) {
        ReplaceConfig("[System]\r\nDnsServer=127.0.0.1:1\r\nSmtpAuthFlag=" + authFlag +
                      "\r\n[AccountList]\r\nalice@local.example=1\r\ncarol@local.example=1\r\n"
                      "[AccountInfo]\r\nalice@local.example_Password=alice-secret\r\n"
                      "alice@local.example_Enabled=1\r\ncarol@local.example_Password=c\r\n"
                      "[DomainList]\r\nlocal.example=1\r\nhosted.example=1\r\n"
                      "[DomainInfo]\r\nhosted.example_ServerAddress=127.0.0.10\r\n"
                      // Not asked about recipients: these tests are about our own rules, whatever
                      // listens there.
                      "hosted.example_VerifyRecipients=0\r\n");
    }
    std::vector<PeerReply> RemotePeer(const std::vector<std::vector<std::string>>& steps) {
        return RunPeer(hostIp_, port_, steps, {"ip", "netns", "exec", namespace_});
    }

    std::optional<ClientNamespace> net_;
    std::string namespace_, hostIp_, v6_;
    int port_ = 0;
};

TEST_F(RemoteClientTest, RemoteClientsMayNotRelayWithoutAuthOverTls) {
    struct Case {
        std::string authFlag;
        bool tls;
        std::string user, password;
        int authCode;  // 0: no AUTH
        std::string recipient;
        int rcptCode;
    };
    const std::vector<Case> cases = {
        {"1", false, "", "", 0, "friend@remote.example", 554},
        {"0", false, "", "", 0, "friend@remote.example", 554},  // not a private network
        {"1", false, "", "", 0, "anyone@hosted.example", 250},
        {"1", false, "", "", 0, "alice@local.example", 250},
        {"1", false, "", "", 0, "nobody@local.example", 550},
        {"1", false, "alice@local.example", "alice-secret", 538, "friend@remote.example", 554},
        {"1", true, "alice@local.example", "alice-secret", 235, "friend@remote.example", 250},
        {"1", true, "carol@local.example", "c", 535, "friend@remote.example", 554},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.authFlag + (c.tls ? " tls " : " plain ") + c.user + " " + c.recipient);
        WriteConfig(c.authFlag);
        std::vector<std::vector<std::string>> steps = {{"ehlo", "remote.example"}};
        if (c.tls) {
            steps.insert(steps.end(), {{"starttls"}, {"ehlo", "remote.example"}});
        }
        steps.push_back({"features"});
        size_t featuresAt = steps.size();
        if (c.authCode != 0) {
            steps.push_back({"auth", "PLAIN", c.user, c.password});
        }
        steps.insert(steps.end(), {{"mail", "s@remote.example"}, {"rcpt", c.recipient}});
        auto replies = RemotePeer(steps);
        ASSERT_EQ(replies.size(), steps.size() + 1) << (replies.empty() ? "" : replies[0].text);
        bool authOffered = replies[featuresAt].text.find("auth") != std::string::npos;
        EXPECT_EQ(authOffered, c.tls) << replies[featuresAt].text;
        if (c.authCode != 0) {
            EXPECT_EQ(replies[featuresAt + 1].code, c.authCode);
        }
        EXPECT_EQ(replies.back().code, c.rcptCode) << replies.back().text;
    }
}

// Per-client limits count an IPv4 address or an IPv6 /64 (the server's own non-loopback addresses
// are such clients); QUIT frees the place at once.
TEST_F(RemoteClientTest, PerClientLimitCountsAddressesAndPrefixes) {
    WriteConfig("1\r\nSmtpMaxSessionsPerClient=2");
    const std::string v4 = hostIp_, a = v6_ + ":1::1", b = v6_ + ":1::2", c = v6_ + ":2::1";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {v4, "220"}, {v4, "220"},      {v4, "421 4.7.0"}, {a, "220"},
        {b, "220"},  {a, "421 4.7.0"}, {c, "220"}};
    auto connect = [&](const std::string& source) {
        return std::make_unique<RawClient>(port_, source,
                                           source.find(':') != std::string::npos ? a : source);
    };
    std::vector<std::unique_ptr<RawClient>> open;
    for (const auto& [source, reply] : cases) {
        open.push_back(connect(source));
        EXPECT_EQ(open.back()->Read().substr(0, reply.size()), reply) << source;
    }
    for (int round = 0; round < 50; ++round) {
        open[round % 2]->Send("QUIT\r\n");
        ASSERT_EQ(open[round % 2]->Read().substr(0, 3), "221");
        open[round % 2] = connect(v4);
        ASSERT_EQ(open[round % 2]->Read().substr(0, 3), "220") << "round " << round;
    }
}

}  // namespace
}  // namespace relvo::mail::smtp
