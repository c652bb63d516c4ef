// The service's limits on what abusive clients can make it hold or try, with real sockets on
// loopback: header sections, sessions that move no mail, stress, AUTH guessing per account, and a
// balancer's own connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "common/base64.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace std::chrono_literals;
using namespace relvo::mail::smtp::testing;

const std::string kAccounts =
    "[AccountList]\r\nAlice@Local.Example=1\r\nbob@local.example=1\r\n"
    "[AccountInfo]\r\nAlice@Local.Example_Password=alice-secret\r\n"
    "Alice@Local.Example_Enabled=1\r\nbob@local.example_Password=bob-secret\r\n"
    "bob@local.example_Enabled=1\r\n"
    "[DomainList]\r\nlocal.example=1\r\n";

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class SmtpLimitsTest : public ServiceFixture {
  protected:
    void SetUp() override {
        WriteConfig("");
        Service().SetWindow(&window_, RELVOMAIL_PROGRESS_MESSAGE);
        Service().SetAuthFailureDelay(20ms);
        port_ = FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    // Loopback relays without AUTH here, so that relayed mail needs no more than local mail.
    void WriteConfig(const std::string& systemLines) {
        ReplaceConfig("[System]\r\nLogSmtp=1\r\nDnsServer=127.0.0.1:1\r\nSmtpAuthFlag=0\r\n" +
                      systemLines + kAccounts);
    }
    std::string WindowText() {
        std::string text;
        for (const std::string& line : window_.Lines()) {
            text += line + "\n";
        }
        return text;
    }
    size_t QueuedMessages() {
        size_t count = 0;
        for (auto& entry : std::filesystem::directory_iterator(app_.File("queue"))) {
            count += entry.path().extension() == ".cfg";
        }
        return count;
    }
    std::unique_ptr<RawClient> Greeted(const std::string& source = "127.0.0.1") {
        auto client = std::make_unique<RawClient>(port_, source);
        EXPECT_EQ(client->Read().substr(0, 4), "220 ");
        client->Send("EHLO raw.example\r\n");
        EXPECT_EQ(client->Read().substr(0, 4), "250-");
        return client;
    }
    // One AUTH PLAIN in a session of its own; its reply.
    std::string AuthFrom(const std::string& source, const std::string& user,
                         const std::string& password) {
        auto client = Greeted(source);
        client->Send("AUTH PLAIN " + EncodeBase64(std::string(1, '\0') + user + '\0' + password) +
                     "\r\n");
        return client->Read();
    }

    int port_ = 0;
};

// The same header bounds for local and relayed mail: a header section past SmtpMaxHeaderSize and
// a field past 32 KiB are refused 552 5.3.4 with nothing queued, and the session goes on.
TEST_F(SmtpLimitsTest, HeaderBoundsHoldForLocalAndRelayedMail) {
    const std::string line = "X-Filler: " + std::string(60, 'f') + "\r\n";
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        // name, header section, reply
        {"200 KiB of short fields", Repeat(line, 200 * 1024 / line.size()),
         "552 5.3.4 Message refused: the header section is too big"},
        {"a folded To: of 104 KB",
         "To: a@b.example" + Repeat(",\r\n c@d.example", 104 * 1024 / 16) + "\r\n",
         "552 5.3.4 Message refused: a header field is too long"},
        {"90 KiB of short fields", Repeat(line, 90 * 1024 / line.size()), "250 2.0.0"},
    };
    for (const char* recipient : {"alice@local.example", "friend@remote.example"}) {
        for (const auto& [name, header, reply] : cases) {
            SCOPED_TRACE(name + std::string(" to ") + recipient);
            auto client = Greeted();
            client->Send("MAIL FROM:<s@remote.example>\r\n");
            EXPECT_EQ(client->Read().substr(0, 3), "250");
            client->Send("RCPT TO:<" + std::string(recipient) + ">\r\n");
            EXPECT_EQ(client->Read().substr(0, 3), "250");
            client->Send("DATA\r\n");
            EXPECT_EQ(client->Read().substr(0, 3), "354");
            client->Send(header + "\r\nbody\r\n.\r\nNOOP\r\n");
            EXPECT_EQ(client->Read().substr(0, reply.size()), reply);
            EXPECT_EQ(client->Read().substr(0, 3), "250");
        }
    }
    EXPECT_EQ(QueuedMessages(), 2u);
}

// A session made of commands that move no mail, or of more messages than its share, is answered
// 421 4.7.0 and closed once over its limit, and not before.
TEST_F(SmtpLimitsTest, SessionsThatMoveNoMailAreEnded) {
    const std::vector<std::pair<std::string, std::string>> message = {
        {"MAIL FROM:<s@remote.example>\r\n", "250"},
        {"RCPT TO:<alice@local.example>\r\n", "250"},
        {"DATA\r\n", "354"},
        {"Subject: m\r\n\r\nbody\r\n.\r\n", "250 2.0.0"}};
    struct Case {
        std::string name;
        std::string systemLines;
        std::vector<std::pair<std::string, std::string>> unit;  // lines and their replies
        int allowed;                                            // units before the limit
        std::string over;                                       // answered 421 4.7.0
    };
    const std::vector<Case> cases = {
        {"NOOP", "", {{"NOOP\r\n", "250 2.0.0"}}, 100, "NOOP\r\n"},
        {"RSET", "", {{"RSET\r\n", "250 2.0.0"}, {"HELO c.example\r\n", "250"}}, 100, "RSET\r\n"},
        {"VRFY and HELP",
         "SmtpJunkCommandLimit=10\r\n",
         {{"VRFY alice\r\n", "252"}, {"HELP\r\n", "214"}},
         5,
         "NOOP\r\n"},
        {"unknown verbs",
         "SmtpMaxErrors=1000\r\n",
         {{"EXPN staff\r\n", "500 5.5.1"}},
         100,
         "XYZZY\r\n"},
        {"messages", "SmtpMaxMessagesPerSession=3\r\n", message, 3, message[0].first},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteConfig(c.systemLines);
        auto client = Greeted();
        for (int i = 0; i < c.allowed; ++i) {
            for (const auto& [line, reply] : c.unit) {
                client->Send(line);
                ASSERT_EQ(client->Read().substr(0, reply.size()), reply) << i;
            }
        }
        client->Send(c.over);
        EXPECT_EQ(client->Read().substr(0, 9), "421 4.7.0");
        EXPECT_TRUE(client->Closed());
    }
    EXPECT_EQ(QueuedMessages(), 3u);
}

// Over 80% of SmtpMaxSessions in use: sessions waiting for a command, also those that waited
// before, are cut after 10 s instead of SmtpCommandTimeout, and 10 junk commands end a session;
// one line says when stress starts and one when it ends.
TEST_F(SmtpLimitsTest, StressShortensWaitsAndJunkLimit) {
    WriteConfig("SmtpMaxSessions=5\r\n");
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(Greeted());
    }
    // 4 of 5 is not more than 80%: the configured limit of 100 holds.
    clients[0]->Send(Repeat("NOOP\r\n", 11));
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(clients[0]->Read().substr(0, 3), "250");
    }
    clients.push_back(Greeted());
    const auto stressed = std::chrono::steady_clock::now();
    clients[1]->Send(Repeat("NOOP\r\n", 11));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(clients[1]->Read().substr(0, 3), "250");
    }
    EXPECT_EQ(clients[1]->Read().substr(0, 9), "421 4.7.0");
    EXPECT_TRUE(clients[1]->Closed());
    // The others wait for a command, all since before the stress.
    for (size_t i : {0, 2, 3, 4}) {
        EXPECT_EQ(clients[i]->Read(20s).substr(0, 9), "421 4.4.2") << i;
        EXPECT_TRUE(clients[i]->Closed()) << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stressed, 15s);
    Service().Stop();
    const std::string text = WindowText();
    EXPECT_EQ(Occurrences(text, "SMTP service under stress: 5 of 5 sessions in use"), 1u) << text;
    EXPECT_EQ(Occurrences(text, "SMTP service no longer under stress: 3 of 5"), 1u) << text;
}

// SmtpAuthFailLimit x 4 failures for one name from any addresses block AUTH for that name, known
// or not, with the very answer a blocked client gets; other names and clients are unaffected.
TEST_F(SmtpLimitsTest, AuthFailuresAreLimitedPerAccountAcrossAddresses) {
    WriteConfig("SmtpAuthFailLimit=5\r\n");
    // 4 failures from each of 5 addresses: no address reaches its own limit of 5.
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i % 5);
        EXPECT_EQ(AuthFrom("127.0.0.1" + n, "alice@local.example", "guess").substr(0, 3), "535");
        EXPECT_EQ(AuthFrom("127.0.0.2" + n, "ghost@local.example", "guess").substr(0, 3), "535");
    }
    // A client over its own limit, for the answer to compare with.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(AuthFrom("127.0.0.40", "bob@local.example", "guess").substr(0, 3), "535");
    }
    const std::string clientBlocked = AuthFrom("127.0.0.40", "bob@local.example", "bob-secret");
    EXPECT_EQ(clientBlocked.substr(0, 9), "454 4.7.0");
    for (const char* name : {"alice@local.example", "ALICE@local.EXAMPLE", "ghost@local.example"}) {
        EXPECT_EQ(AuthFrom("127.0.0.50", name, "alice-secret"), clientBlocked) << name;
    }
    EXPECT_EQ(AuthFrom("127.0.0.50", "bob@local.example", "bob-secret").substr(0, 3), "235");
    Service().Stop();
    const std::string text = WindowText();
    EXPECT_EQ(Occurrences(text,
                          "AUTH for account Alice@Local.Example refused for 15 minutes: 20 "
                          "failures from any address"),
              1u)
        << text;
    EXPECT_EQ(Occurrences(text, "AUTH for a name that is no account refused"), 1u);
    EXPECT_EQ(text.find("ghost"), std::string::npos);
}

std::string ProxyV2(char command, char family, const std::string& addresses) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += command;
    header += family;
    header += static_cast<char>(addresses.size() >> 8);
    header += static_cast<char>(addresses.size() & 0xFF);
    return header + addresses;
}

// A listed balancer's connection whose header names no client keeps the balancer's address (here
// loopback) but none of loopback's trust: no AUTH without TLS, no relay, the per-client limit.
// Health checks are logged once a minute per balancer, not a conversation each.
TEST_F(SmtpLimitsTest, BalancersOwnConnectionsGetNoPrivileges) {
    WriteConfig("SmtpProxyFrom=127.0.0.0/27\r\nSmtpMaxSessionsPerClient=1\r\n");
    // A balancer of its own for each case: a closed session leaves the per-client count a
    // moment later, and the next case must not meet it.
    int nextBalancer = 10;
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        // name, header, the balancer's own
        {"text UNKNOWN", "PROXY UNKNOWN\r\n", true},
        {"v2 LOCAL", ProxyV2('\x20', '\x00', ""), true},
        {"v2 UNSPEC", ProxyV2('\x21', '\x00', ""), true},
        {"v2 AF_UNIX", ProxyV2('\x21', '\x31', std::string(216, 'u')), true},
        {"v2 UDP over IPv4", ProxyV2('\x21', '\x12', std::string(12, '\x01')), true},
        {"a client on loopback", "PROXY TCP4 127.0.0.9 127.0.0.1 4000 25\r\n", false},
    };
    for (const auto& [name, header, own] : cases) {
        SCOPED_TRACE(name);
        const std::string balancer = "127.0.0." + std::to_string(nextBalancer++);
        RawClient first(port_, balancer);
        first.Send(header + "EHLO c.example\r\n");
        EXPECT_EQ(first.Read().substr(0, 3), "220");
        EXPECT_EQ(first.Read().find("AUTH") != std::string::npos, !own);
        first.Send("MAIL FROM:<s@remote.example>\r\nRCPT TO:<friend@remote.example>\r\n");
        EXPECT_EQ(first.Read().substr(0, 3), "250");
        EXPECT_EQ(first.Read().substr(0, 3), own ? "554" : "250");
        RawClient second(port_, balancer);
        second.Send(header);
        const std::string greeting = second.Read();
        EXPECT_EQ(greeting.substr(0, own ? 9 : 3), own ? "421 4.7.0" : "220") << greeting;
    }
    for (int i = 0; i < 5; ++i) {
        RawClient check(port_, "127.0.0.5");
        check.Send(ProxyV2('\x20', '\x00', "") + "QUIT\r\n");
        EXPECT_EQ(check.Read().substr(0, 3), "220");
        EXPECT_EQ(check.Read().substr(0, 3), "221");
    }
    Service().Stop();
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "Server/127.0.0.5 "), 1u) << log;
    EXPECT_NE(log.find("of the balancer's own (PROXY header without a client address)"),
              std::string::npos);
    EXPECT_EQ(log.find(" 221 2.0.0"), std::string::npos) << log;
}

}  // namespace
}  // namespace relvo::mail::smtp
