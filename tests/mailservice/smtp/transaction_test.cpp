// A mail transaction leaves nothing behind: after each way one ends, the next MAIL of the same
// session starts clean. Real clients on loopback, the queue's files checked afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace std::chrono_literals;
using namespace relvo::mail::smtp::testing;

class SmtpTransactionTest : public ServiceFixture {
  protected:
    void SetUp() override {
        ReplaceConfig(
            "[System]\r\nLogSmtp=1\r\nDnsServer=127.0.0.1:1\r\nSmtpMaxMessageSize=200000\r\n"
            "[AccountList]\r\nalice@local.example=1\r\n[AccountInfo]\r\n"
            "alice@local.example_Password=secret\r\nalice@local.example_Enabled=1\r\n"
            "[DomainList]\r\nlocal.example=1\r\n");
        // The state changes are traced too, which this test looks at in the log.
        setenv("RELVO_DEBUG_LOG", "1", 1);
        port_ = FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    void TearDown() override {
        ServiceFixture::TearDown();
        unsetenv("RELVO_DEBUG_LOG");
    }

    // What the queue holds besides complete entries and its lock, once a message file let go had
    // time to go.
    std::string LeftInQueue() {
        static const std::regex complete("[0-9]+\\.(eml|cfg)|\\.writers\\.lock");
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (true) {
            std::string left;
            for (auto& entry : std::filesystem::directory_iterator(app_.File("queue"))) {
                const std::string name = entry.path().filename().string();
                if (!std::regex_match(name, complete)) {
                    left += name + " ";
                }
            }
            if (left.empty() || std::chrono::steady_clock::now() > deadline) {
                return left;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    int port_ = 0;
};

TEST_F(SmtpTransactionTest, NextMailStartsCleanAfterEveryEnd) {
    // The ended transaction had another sender, a recipient, SMTPUTF8 and (where it got there)
    // message text of its own.
    const std::string envelope =
        "MAIL FROM:<first@remote.example> SMTPUTF8\r\nRCPT TO:<alice@local.example>\r\n";
    std::string tooBig;
    while (tooBig.size() < 300000) {
        tooBig += std::string(98, 'b') + "\r\n";
    }
    struct Step {
        std::string send;
        std::vector<std::string> replies;  // the start of each
    };
    struct Case {
        std::string name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"RSET", {{envelope, {"250", "250"}}, {"RSET\r\n", {"250 2.0.0"}}}},
        {"a new greeting", {{envelope, {"250", "250"}}, {"EHLO again.example\r\n", {"250-"}}}},
        {"the message queued",
         {{envelope + "DATA\r\n", {"250", "250", "354"}},
          {"Subject: one\r\n\r\nfirst text\r\n.\r\n", {"250 2.0.0"}}}},
        {"text refused",
         {{envelope + "DATA\r\n", {"250", "250", "354"}},
          {"Subject: one\r\n\r\nbare\nLF\r\n.\r\n", {"554 5.6.0"}}}},
        {"too big, after part of it went to its file",
         {{envelope + "DATA\r\n", {"250", "250", "354"}},
          {"Subject: one\r\n\r\n" + tooBig + ".\r\n", {"552 5.3.4"}}}},
        {"a header field too long",
         {{envelope + "DATA\r\n", {"250", "250", "354"}},
          {"X-Long: " + std::string(100000, 'h') + "\r\n\r\nfirst text\r\n.\r\n", {"552 5.3.4"}}}},
        {"MAIL refused",
         {{"MAIL FROM:<first@remote.example> SMTPUTF8 SIZE=999999\r\n", {"552 5.3.4"}}}},
    };
    const std::string text = "Subject: two\r\n\r\nsecond text\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(port_);
        ASSERT_EQ(client.Read().substr(0, 4), "220 ");
        client.Send("EHLO client.example\r\n");
        ASSERT_EQ(client.Read().substr(0, 4), "250-");
        for (const Step& step : c.steps) {
            client.Send(step.send);
            for (const std::string& expected : step.replies) {
                std::string reply = client.Read();
                ASSERT_EQ(reply.substr(0, expected.size()), expected) << reply;
            }
        }
        // No recipient, no SMTPUTF8, no size and no refusal of the one before.
        const std::vector<std::pair<std::string, std::string>> next = {
            {"MAIL FROM:<second@remote.example>\r\n", "250 2.1.0"},
            {"DATA\r\n", "554 5.5.1"},
            {"RCPT TO:<j\xc3\xb6rg@local.example>\r\n", "553 5.6.7"},
            {"RCPT TO:<ALICE@local.example>\r\n", "250 2.1.5"},
            {"DATA\r\n", "354"},
        };
        for (const auto& [send, expected] : next) {
            client.Send(send);
            std::string reply = client.Read();
            ASSERT_EQ(reply.substr(0, expected.size()), expected) << reply;
        }
        client.Send(text + ".\r\n");
        std::string stored = client.Read();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(stored, match,
                                     std::regex("250 2\\.0\\.0 Ok: queued as ([0-9]+) \\(([0-9]+) "
                                                "bytes\\)")))
            << stored;
        EXPECT_EQ(match[2].str(), std::to_string(text.size()));
        const std::string eml = app_.Read("queue/" + match[1].str() + ".eml");
        EXPECT_TRUE(eml.ends_with("\r\n" + text)) << eml;
        for (const char* before : {"first", "Subject: one", "bbbb", "hhhh"}) {
            EXPECT_EQ(eml.find(before), std::string::npos) << before << "\n" << eml;
        }
        const std::string cfg = app_.Read("queue/" + match[1].str() + ".cfg");
        for (const char* line : {"MailFrom=second@remote.example\r\n", "RcptToNumber=1\r\n",
                                 "RcptTo0=ALICE@local.example\r\n"}) {
            EXPECT_NE(cfg.find(line), std::string::npos) << line << cfg;
        }
        client.Send("QUIT\r\n");
        EXPECT_EQ(client.Read().substr(0, 3), "221");
        // The ended transaction's message file is gone too.
        EXPECT_EQ(LeftInQueue(), "");
    }
    // State changes are traced, by state name only.
    Service().Stop();
    const std::string log = LogText();
    for (const char* change : {"state MAIL -> RCPT", "state RCPT -> DATA", "state DATA -> QUEUEING",
                               "state QUEUEING -> HELO", "state DATA -> HELO"}) {
        EXPECT_NE(log.find(change), std::string::npos) << change;
    }
    EXPECT_NE(log.find("Debug/127.0.0.1:"), std::string::npos);
}

}  // namespace
}  // namespace relvo::mail::smtp
