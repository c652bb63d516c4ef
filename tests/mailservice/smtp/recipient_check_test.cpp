// Recipients of a local domain with a server are asked of that server before RCPT is answered:
// the aiosmtpd peer of the SEND tests stands in for the domain's server, a socket that never
// answers for a silent one. Also the verdict cache and the probe's reply bounds alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <thread>

#include "mailservice/send/send_test_support.h"
#include "smtp/recipient_probe.h"
#include "smtp/recipient_verifier.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace std::chrono_literals;
using namespace relvo::mail::smtp::testing;
using send::testing::Child;

// A loopback listener that never accepts: connections complete in the kernel and hear nothing.
class SilentServer {
  public:
    SilentServer() : port_(FreePort()) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        listening_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     listen(fd_, 8) == 0;
    }
    ~SilentServer() {
        for (int fd : accepted_) {
            close(fd);
        }
        close(fd_);
    }
    bool Listening() const { return listening_; }
    int Port() const { return port_; }
    // Connections made to it so far; taken off its queue and kept open, silent.
    int Connections() {
        for (int fd; (fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            accepted_.push_back(fd);
        }
        return static_cast<int>(accepted_.size());
    }

  private:
    int port_;
    int fd_ = -1;
    bool listening_ = false;
    std::vector<int> accepted_;
};

class RecipientCheckTest : public ServiceFixture {
  protected:
    void TearDown() override {
        ServiceFixture::TearDown();
        Service().SetRecipientCheckWait(10s);
    }
    void Start(const std::string& domains) {
        ReplaceConfig("[System]\r\nLogSmtp=1\r\nDnsServer=127.0.0.1:1\r\n" + domains);
        port_ = FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    // Complete entries of the queue (each has its companion).
    int QueuedMessages() {
        int count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(app_.File("queue"), ec)) {
            count += entry.path().extension() == ".cfg" ? 1 : 0;
        }
        return count;
    }
    int port_ = 0;
};

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<int> Codes(const std::vector<PeerReply>& replies) {
    std::vector<int> codes;
    for (const PeerReply& reply : replies) {
        codes.push_back(reply.code);
    }
    return codes;
}

TEST_F(RecipientCheckTest, TheDomainsServerDecidesAndItsRefusalIsKept) {
    const int serverPort = FreePort();
    std::filesystem::create_directories(app_.File("peer"));
    const auto startServer = [&](const std::string& refused) {
        auto server = std::make_unique<Child>(std::vector<std::string>{
            "/usr/bin/python3", SEND_PEER_SCRIPT, "127.0.0.1", std::to_string(serverPort),
            app_.File("peer"), "--reject-rcpt", refused, "--print-rcpt"});
        EXPECT_TRUE(server->Ready("ready", 30s)) << server->Output();
        return server;
    };
    std::unique_ptr<Child> server = startServer("nobody@hosted.test");
    Start(
        "[DomainList]\r\nhosted.test=1\r\n[DomainInfo]\r\nhosted.test_ServerAddress=127.0.0.1"
        "\r\nhosted.test_Port=" +
        std::to_string(serverPort) + "\r\n");

    // A forged sender to the refused recipient only: refused at RCPT, nothing is queued, so no
    // failure notice can go anywhere.
    auto refused = RunPeer("127.0.0.1", port_,
                           {{"ehlo", "client.example"},
                            {"mail", "forged@victim.example"},
                            {"rcpt", "nobody@hosted.test"},
                            {"data", "Subject: x\r\n\r\nsecret-content\r\n"},
                            {"quit"}});
    EXPECT_EQ(Codes(refused), (std::vector<int>{220, 250, 250, 550, 554, 221}));
    ASSERT_GE(refused.size(), 4u);
    EXPECT_EQ(refused[3].text, "5.1.1 Recipient refused by the domain's mail server");
    EXPECT_EQ(QueuedMessages(), 0);

    // Within the hour the refusal is known (the domain's letter case aside); the server is asked
    // about the other recipient only, and the mail goes to the queue for that one.
    auto mixed = RunPeer("127.0.0.1", port_,
                         {{"ehlo", "client.example"},
                          {"mail", "someone@remote.example"},
                          {"rcpt", "nobody@HOSTED.test"},
                          {"rcpt", "alice@hosted.test"},
                          {"data", "Subject: x\r\n\r\nsecret-content\r\n"},
                          {"quit"}});
    EXPECT_EQ(Codes(mixed), (std::vector<int>{220, 250, 250, 550, 250, 250, 221}));
    EXPECT_EQ(QueuedMessages(), 1);
    ASSERT_TRUE(server->Ready("RCPT <alice@hosted.test>")) << server->Output();
    EXPECT_EQ(Count(server->Output(), "RCPT <nobody@"), 1) << server->Output();
    EXPECT_EQ(Count(server->Output(), "RCPT <alice@"), 1) << server->Output();

    // The server restarts: the connection kept from before is dead, and the question goes on a
    // new one instead of taking the server for unreachable.
    server.reset();
    server = startServer("bob@hosted.test");
    auto afterRestart = RunPeer("127.0.0.1", port_,
                                {{"ehlo", "client.example"},
                                 {"mail", "someone@remote.example"},
                                 {"rcpt", "bob@hosted.test"},
                                 {"quit"}});
    EXPECT_EQ(Codes(afterRestart), (std::vector<int>{220, 250, 250, 550, 221}));

    Service().Stop();
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "recipient nobody@hosted.test refused by the domain's server 127.0.0.1:" +
                             std::to_string(serverPort) + ": 550 5.1.1 no such user here"),
              1)
        << log;
    EXPECT_NE(log.find("recipient nobody@HOSTED.test refused by the domain's server: answer "
                       "kept from an earlier check"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("could not be verified"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret-content"), std::string::npos);
}

// A server that never answers costs an RCPT the wait and no more, and the recipient is taken as
// before; a domain that turned the check off is not asked at all.
TEST_F(RecipientCheckTest, SilenceAcceptsAfterTheWaitAndTheCheckCanBeTurnedOff) {
    SilentServer silent, unasked;
    ASSERT_TRUE(silent.Listening() && unasked.Listening());
    Service().SetRecipientCheckWait(1s);
    Start(
        "[DomainList]\r\nsilent.test=1\r\noff.test=1\r\n[DomainInfo]\r\n"
        "silent.test_ServerAddress=127.0.0.1\r\nsilent.test_Port=" +
        std::to_string(silent.Port()) +
        "\r\noff.test_ServerAddress=127.0.0.1\r\noff.test_VerifyRecipients=0\r\n"
        "off.test_Port=" +
        std::to_string(unasked.Port()) + "\r\n");

    RawClient client(port_);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Read().substr(0, 3), "220");
    client.Send("HELO client.example\r\nMAIL FROM:<a@remote.example>\r\n");
    EXPECT_EQ(client.Read().substr(0, 3), "250");
    EXPECT_EQ(client.Read().substr(0, 3), "250");
    client.Send("RCPT TO:<x@off.test>\r\n");
    EXPECT_EQ(client.Read(), "250 2.1.5 Ok");
    const auto asked = std::chrono::steady_clock::now();
    client.Send("RCPT TO:<y@silent.test>\r\nNOOP\r\n");
    EXPECT_EQ(client.Read(5s), "250 2.1.5 Ok");
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 900ms);
    EXPECT_EQ(client.Read(), "250 2.0.0 Ok");  // the pipelined NOOP is answered after it
    EXPECT_EQ(silent.Connections(), 1);
    EXPECT_EQ(unasked.Connections(), 0);

    Service().Stop();
    const std::string log = LogText();
    // The session's wait or the probe's own deadline for the greeting, whichever ends first.
    const std::regex unverified(
        "recipient y@silent\\.test could not be verified with the domain's server "
        "127\\.0\\.0\\.1:" +
        std::to_string(silent.Port()) +
        ": (no answer within 1000 ms|no reply in time); accepted for now");
    EXPECT_TRUE(std::regex_search(log, unverified)) << log;
    EXPECT_EQ(log.find("x@off.test could"), std::string::npos);
}

// A session waiting for the domain's server does not hold up the service's stop.
TEST_F(RecipientCheckTest, AStopEndsAWaitingRcpt) {
    SilentServer silent;
    ASSERT_TRUE(silent.Listening());
    Start(
        "[DomainList]\r\nsilent.test=1\r\n[DomainInfo]\r\nsilent.test_ServerAddress=127.0.0.1"
        "\r\nsilent.test_Port=" +
        std::to_string(silent.Port()) + "\r\n");
    RawClient client(port_);
    EXPECT_EQ(client.Read().substr(0, 3), "220");
    client.Send("HELO c\r\nMAIL FROM:<a@remote.example>\r\nRCPT TO:<y@silent.test>\r\n");
    EXPECT_EQ(client.Read().substr(0, 3), "250");
    EXPECT_EQ(client.Read().substr(0, 3), "250");
    // The question has reached the server before the stop.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int connections = 0;
    while ((connections = silent.Connections()) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(connections, 1);
    const auto stopping = std::chrono::steady_clock::now();
    Service().Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_EQ(client.Read(2s).substr(0, 9), "421 4.3.2") << LogText();
}

TEST(VerdictCacheTest, KeepsEachVerdictForItsTimeAndDropsTheOldestPastTheBound) {
    const auto now = std::chrono::steady_clock::now();
    VerdictCache cache(2);
    cache.Put("a@x", ProbeVerdict::kRefused, now + 1h);
    cache.Put("b@x", ProbeVerdict::kAccepted, now + 24h);
    EXPECT_EQ(cache.Find("a@x", now + 59min), ProbeVerdict::kRefused);
    EXPECT_EQ(cache.Find("a@x", now + 1h), std::nullopt);  // run out, and gone
    EXPECT_EQ(cache.Size(), 1u);
    cache.Put("c@x", ProbeVerdict::kRefused, now + 1h);
    cache.Put("b@x", ProbeVerdict::kRefused, now + 1h);  // a new answer makes it the newest
    cache.Put("d@x", ProbeVerdict::kAccepted, now + 1h);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(cache.Find("c@x", now), std::nullopt);
    EXPECT_EQ(cache.Find("b@x", now), ProbeVerdict::kRefused);
    EXPECT_EQ(cache.Find("d@x", now), ProbeVerdict::kAccepted);
}

TEST(ProbeReplyReaderTest, ReadsRepliesWithinTheirBounds) {
    const struct {
        std::string bytes;
        ProbeReplyReader::Status status;
        int code;
        std::string text;
    } cases[] = {
        {"250-first\r\n250-second\r\n250 last\r\n", ProbeReplyReader::Status::kReply, 250,
         "250-first"},
        {"550 5.1.1 no\x01 such\r\n", ProbeReplyReader::Status::kReply, 550, "550 5.1.1 no? such"},
        {"250-first\r\n", ProbeReplyReader::Status::kNeedMore, 0, ""},
        {"25O ok\r\n", ProbeReplyReader::Status::kError, 0, "no SMTP reply: 25O ok"},
        {"250-a\r\n550 b\r\n", ProbeReplyReader::Status::kError, 0,
         "a reply whose lines have different codes"},
        {"250 " + std::string(1100, 'x'), ProbeReplyReader::Status::kError, 0,
         "a reply line longer than 1000 bytes"},
        {[] {
             std::string many;
             for (int i = 0; i < 101; ++i) {
                 many += "250-x\r\n";
             }
             return many;
         }(),
         ProbeReplyReader::Status::kError, 0, "a reply of more than 100 lines"},
    };
    for (const auto& c : cases) {
        ProbeReplyReader reader;
        reader.Append(c.bytes);
        ProbeReply reply;
        EXPECT_EQ(reader.Next(&reply), c.status) << c.bytes;
        EXPECT_EQ(reply.code, c.code) << c.bytes;
        EXPECT_EQ(reply.text, c.text) << c.bytes;
    }
}

}  // namespace
}  // namespace relvo::mail::smtp
