// The receiving service end to end: real clients (smtplib, swaks) and exact bytes over loopback,
// the queue files they leave, the relay rules, every limit, and starting and stopping.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "common/base64.h"
#include "smtp/session_rules.h"
#include "smtp/smtp_service.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace std::chrono_literals;
using namespace relvo::mail::smtp::testing;

const std::string kAccounts =
    "[AccountList]\r\nAlice@Local.Example=1\r\ncarol@local.example=1\r\n"
    "[AccountInfo]\r\nAlice@Local.Example_Password=alice-secret\r\n"
    "Alice@Local.Example_Enabled=1\r\ncarol@local.example_Password=carol-secret\r\n"
    "carol@local.example_Enabled=0\r\n"
    "[DomainList]\r\nlocal.example=1\r\nhosted.example=1\r\n"
    "[DomainInfo]\r\nhosted.example_ServerAddress=127.0.0.10\r\n"
    // Not asked about recipients: these tests are about our own rules, whatever listens there.
    "hosted.example_VerifyRecipients=0\r\n";

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

class SmtpServiceTest : public ServiceFixture {
  protected:
    void SetUp() override {
        WriteConfig("");
        Service().SetWindow(&window_, RELVOMAIL_PROGRESS_MESSAGE);
        Service().SetAuthFailureDelay(50ms);
        port_ = FreePort();
        ASSERT_TRUE(Service().Start(port_)) << WindowText();
    }

    // The configuration: accounts and domains above, with extra System lines.
    void WriteConfig(const std::string& systemLines) {
        ReplaceConfig("[System]\r\nLogSmtp=1\r\nDnsServer=127.0.0.1:1\r\n" + systemLines +
                      kAccounts);
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
    std::vector<PeerReply> Peer(const std::vector<std::vector<std::string>>& steps) {
        return RunPeer("127.0.0.1", port_, steps);
    }
    static std::vector<int> Codes(const std::vector<PeerReply>& replies) {
        std::vector<int> codes;
        for (const PeerReply& reply : replies) {
            codes.push_back(reply.code);
        }
        return codes;
    }
    static std::string QueueId(const std::string& reply) {
        std::smatch match;
        return std::regex_search(reply, match, std::regex("queued as ([0-9]+)")) ? match[1].str()
                                                                                 : "";
    }
    // A fresh raw client past the greeting and EHLO.
    std::unique_ptr<RawClient> Greeted() {
        auto client = std::make_unique<RawClient>(port_);
        EXPECT_EQ(client->Read().substr(0, 4), "220 ");
        client->Send("EHLO raw.example\r\n");
        EXPECT_EQ(client->Read().substr(0, 4), "250-");
        return client;
    }

    int port_ = 0;
};

// One message from smtplib, stored byte for byte behind its Received header, with the
// companion the SEND service reads.
TEST_F(SmtpServiceTest, SmtplibMessageLandsInTheQueueExactly) {
    const std::string message =
        "From: Sender <sender@remote.example>\r\nTo: alice@local.example\r\n"
        "Subject: queue test\r\n\r\nfirst line\r\n.a line that starts with a dot\r\n"
        "\xc3\xa4 8-bit text\r\n";
    auto replies = Peer({{"ehlo", "client.example"},
                         {"mail", "sender@remote.example", "BODY=8BITMIME SIZE=200"},
                         {"rcpt", "ALICE@local.example"},
                         {"data", message},
                         {"quit"}});
    ASSERT_EQ(Codes(replies), (std::vector<int>{220, 250, 250, 250, 250, 221}))
        << replies.back().text;
    std::string id = QueueId(replies[4].text);
    ASSERT_FALSE(id.empty()) << replies[4].text;

    std::string eml = app_.Read("queue/" + id + ".eml");
    std::regex received(
        "Received: from client\\.example \\(\\[127\\.0\\.0\\.1\\]\\)\r\n\tby [^ \r\n]+ with "
        "ESMTP\r\n\tfor <ALICE@local\\.example>; [A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} "
        "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\r\n");
    // Mail for a local domain has its authentication results above the Received field.
    const std::string results = "Authentication-Results: ";
    ASSERT_EQ(eml.rfind(results, 0), 0) << eml;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(eml, match, received)) << eml;
    EXPECT_EQ(eml.find("\r\nReceived: "), static_cast<size_t>(match.position(0)) - 2);
    EXPECT_EQ(eml.substr(static_cast<size_t>(match.position(0) + match.length(0))), message);

    std::string cfg = app_.Read("queue/" + id + ".cfg");
    for (const std::string& line : std::vector<std::string>{
             "[MailInfo]", "MailId=" + id, "MailFrom=sender@remote.example", "RcptToNumber=1",
             "RcptTo0=ALICE@local.example", "HeloName=client.example",
             "AuthUser=", "MailSize=" + std::to_string(eml.size())}) {
        EXPECT_NE(cfg.find(line + "\r\n"), std::string::npos) << line << "\n" << cfg;
    }
    EXPECT_NE(cfg.find("ClientAddress=127.0.0.1:"), std::string::npos) << cfg;
    // The SPF result of the field above goes to the SEND side (no notice to a sender that failed).
    std::smatch spf;
    ASSERT_TRUE(std::regex_search(eml, spf, std::regex("spf=([a-z]+)"))) << eml;
    EXPECT_NE(cfg.find("\r\nSpfResult=" + spf[1].str() + "\r\n"), std::string::npos) << cfg;

    // The conversation is logged, the content is not.
    Service().Stop();
    std::string log = LogText();
    EXPECT_NE(log.find("Client/127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("TO:<ALICE@local.example>"), std::string::npos) << log;
    EXPECT_NE(log.find("Server/127.0.0.1:"), std::string::npos);
    EXPECT_EQ(log.find("starts with a dot"), std::string::npos);
    EXPECT_NE(WindowText().find("FROM:<sender@remote.example>"), std::string::npos);
}

// STARTTLS, then AUTH by smtplib (PLAIN and LOGIN) and swaks (PLAIN with an initial response,
// pipelined): the authenticated client may relay, and no credential reaches a log.
TEST_F(SmtpServiceTest, StartTlsAndAuthLetAccountsRelay) {
    for (const char* mechanism : {"PLAIN", "LOGIN"}) {
        SCOPED_TRACE(mechanism);
        auto replies = Peer({{"ehlo", "c.example"},
                             {"starttls"},
                             {"ehlo", "c.example"},
                             {"features"},
                             {"auth", mechanism, "alice@LOCAL.example", "alice-secret"},
                             {"mail", "alice@local.example"},
                             {"rcpt", "friend@remote.example"},
                             {"data", "Subject: relayed\r\n\r\nhello\r\n"},
                             {"quit"}});
        ASSERT_EQ(Codes(replies),
                  (std::vector<int>{220, 250, 220, 250, 0, 235, 250, 250, 250, 221}));
        EXPECT_NE(replies[4].text.find("auth"), std::string::npos);
        EXPECT_EQ(replies[4].text.find("starttls"), std::string::npos);
        std::string id = QueueId(replies[8].text);
        EXPECT_NE(app_.Read("queue/" + id + ".eml").find("with ESMTPSA"), std::string::npos);
        EXPECT_NE(app_.Read("queue/" + id + ".cfg").find("AuthUser=Alice@Local.Example\r\n"),
                  std::string::npos);
    }

    int exitCode = -1;
    std::string swaks = RunProcess({"swaks",
                                    "--server",
                                    "127.0.0.1",
                                    "--port",
                                    std::to_string(port_),
                                    "--tls",
                                    "--pipeline",
                                    "--auth",
                                    "PLAIN",
                                    "--auth-user",
                                    "alice@local.example",
                                    "--auth-password",
                                    "alice-secret",
                                    "--from",
                                    "alice@local.example",
                                    "--to",
                                    "a@remote.example,b@remote.example",
                                    "--body",
                                    "swaks body",
                                    "--timeout",
                                    "20"},
                                   &exitCode);
    EXPECT_EQ(exitCode, 0) << swaks;
    EXPECT_NE(swaks.find("250 2.0.0 Ok: queued as"), std::string::npos) << swaks;
    EXPECT_EQ(QueuedMessages(), 3u);
    // A client that errs keeps its credentials out of the log too: an AUTH line with a control
    // character, the response sent after a refused AUTH, and both lines of an AUTH LOGIN refused
    // inside a mail transaction.
    const auto erring = RunPeer("127.0.0.1", port_,
                                {{"ehlo", "client.example"},
                                 {"raw", "AUTH PLAIN c2VjcmV0LW9uZQ==\x01\r\n"},
                                 {"read"},
                                 {"cmd", "AUTH NONESUCH"},
                                 {"raw", "c2VjcmV0LXR3bw==\r\n"},
                                 {"read"},
                                 {"mail", "s@remote.example"},
                                 {"cmd", "AUTH LOGIN"},
                                 {"raw", "dXNlci10aHJlZQ==\r\nc2VjcmV0LXRocmVl\r\n"},
                                 {"read"},
                                 {"read"},
                                 {"quit"}});
    EXPECT_EQ(Codes(erring), (std::vector<int>{220, 250, 500, 504, 500, 250, 503, 500, 500, 221}));

    Service().Stop();
    std::string logged = LogText() + WindowText();
    for (const char* secret : {"alice-secret", "c2VjcmV0LW9uZQ", "c2VjcmV0LXR3bw", "dXNlci10aHJlZQ",
                               "c2VjcmV0LXRocmVl"}) {
        EXPECT_EQ(logged.find(secret), std::string::npos) << secret;
    }
    // The PLAIN initial response of swaks ("\0alice@local.example\0alice-secret" in base64).
    EXPECT_EQ(logged.find("AGFsaWNlQGxvY2FsLmV4YW1wbGUAYWxpY2Utc2VjcmV0"), std::string::npos);
    EXPECT_NE(logged.find("AUTH PLAIN ****"), std::string::npos);
    EXPECT_NE(logged.find("****"), std::string::npos);
}

// Without configured files the service makes a self-signed pair readable by the owner only, and
// keeps it; configured files are used; unusable ones leave STARTTLS out and say why.
TEST_F(SmtpServiceTest, StartTlsCertificateFromTheConfigurationOrMadeOnce) {
    for (const char* name : {"smtp-selfsigned-cert.pem", "smtp-selfsigned-key.pem"}) {
        struct stat info {};
        ASSERT_EQ(stat(app_.File(name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
    std::string firstKey = app_.Read("smtp-selfsigned-key.pem");
    std::filesystem::copy_file(app_.File("smtp-selfsigned-cert.pem"), app_.File("mine.crt"));
    std::filesystem::copy_file(app_.File("smtp-selfsigned-key.pem"), app_.File("mine.key"));

    struct Case {
        std::string systemLines;
        bool offered;
    };
    const std::vector<Case> cases = {
        {"", true},
        {"SmtpTlsCertFile=" + app_.File("mine.crt") +
             "\r\nSmtpTlsKeyFile=" + app_.File("mine.key") + "\r\n",
         true},
        {"SmtpTlsCertFile=" + app_.File("missing.crt") +
             "\r\nSmtpTlsKeyFile=" + app_.File("mine.key") + "\r\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.systemLines);
        Service().Stop();
        WriteConfig(c.systemLines);
        ASSERT_TRUE(Service().Start(port_));
        auto replies = Peer({{"ehlo", "c.example"}, {"features"}});
        ASSERT_EQ(replies.size(), 3u);
        EXPECT_EQ(replies[2].text.find("starttls") != std::string::npos, c.offered);
        if (c.offered) {
            auto tls = Peer({{"ehlo", "c.example"}, {"starttls"}, {"ehlo", "c.example"}});
            EXPECT_EQ(Codes(tls), (std::vector<int>{220, 250, 220, 250}));
        }
    }
    Service().Stop();
    EXPECT_NE(WindowText().find("STARTTLS is not offered: cannot load the TLS certificate"),
              std::string::npos);
    EXPECT_EQ(app_.Read("smtp-selfsigned-key.pem"), firstKey);
}

// What an outside TLS client sees: forward-secret AEAD suites or TLS 1.3 only, and a self-made
// certificate that names HELOString and this machine, lives 397 days and follows a new name.
TEST_F(SmtpServiceTest, StartTlsOffersOnlyAeadSuitesAndACurrentCertificate) {
    const std::string cert = app_.File("smtp-selfsigned-cert.pem");
    const std::string client =
        "openssl s_client -starttls smtp -connect 127.0.0.1:" + std::to_string(port_) +
        " </dev/null 2>&1 ";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (const std::string name : {"mx.relvo.test", "mail.relvo.test"}) {
        Service().Stop();
        WriteConfig("HELOString=" + name + "\r\n");
        ASSERT_TRUE(Service().Start(port_));
        std::string names = RunProcess({"openssl", "x509", "-in", cert, "-noout", "-ext",
                                        "subjectAltName", "-checkend", "34214400"});
        EXPECT_NE(names.find("DNS:" + name + ", DNS:" + host + "\n"), std::string::npos) << names;
        EXPECT_NE(names.find("will not expire"), std::string::npos) << "396 days";
        names = RunProcess({"openssl", "x509", "-in", cert, "-noout", "-checkend", "34387200"});
        EXPECT_NE(names.find("will expire"), std::string::npos) << "398 days";
    }
    for (auto [options, cipher] :
         {std::pair{"-tls1_2 -cipher AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA",
                    "(NONE)"},
          {"-tls1_1", "(NONE)"},
          {"-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
          {"-tls1_3", "TLS_AES_256_GCM_SHA384"}}) {
        std::string out = RunProcess({"sh", "-c", client + options});
        EXPECT_NE(out.find(std::string("Cipher is ") + cipher + "\n"), std::string::npos) << out;
    }
}

// Who may send to whom, from loopback: local domains, accounts, and relaying with and without
// SmtpAuthFlag.
TEST_F(SmtpServiceTest, RelayRulesFromLoopback) {
    struct Case {
        std::string authFlag;
        std::string user;  // "" = no AUTH
        std::string password;
        int authCode;
        std::string recipient;
        int rcptCode;
    };
    const std::vector<Case> cases = {
        {"1", "", "", 0, "alice@local.example", 250},
        {"1", "", "", 0, "Alice@LOCAL.EXAMPLE", 250},
        {"1", "", "", 0, "nobody@local.example", 550},
        {"1", "", "", 0, "carol@local.example", 550},  // disabled account
        {"1", "", "", 0, "anyone@hosted.example", 250},
        {"1", "", "", 0, "friend@remote.example", 554},
        {"1", "alice@local.example", "alice-secret", 235, "friend@remote.example", 250},
        {"1", "alice@local.example", "wrong", 535, "friend@remote.example", 554},
        {"1", "carol@local.example", "carol-secret", 535, "friend@remote.example", 554},
        {"1", "nobody@local.example", "x", 535, "friend@remote.example", 554},
        {"0", "", "", 0, "friend@remote.example", 250},  // loopback may relay without AUTH
        {"0", "", "", 0, "nobody@local.example", 550},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.authFlag + " " + c.user + " " + c.recipient);
        WriteConfig("SmtpAuthFlag=" + c.authFlag + "\r\n");
        std::vector<std::vector<std::string>> steps = {{"ehlo", "c.example"}};
        if (!c.user.empty()) {
            steps.push_back({"auth", "PLAIN", c.user, c.password});
        }
        steps.push_back({"mail", "s@remote.example"});
        steps.push_back({"rcpt", c.recipient});
        auto replies = Peer(steps);
        ASSERT_EQ(replies.size(), steps.size() + 1);
        if (!c.user.empty()) {
            EXPECT_EQ(replies[2].code, c.authCode) << replies[2].text;
        }
        EXPECT_EQ(replies.back().code, c.rcptCode) << replies.back().text;
    }
}

// Every limit answers with its code, and the session (or the server) goes on serving.
TEST_F(SmtpServiceTest, BadInputGetsTheRightAnswer) {
    WriteConfig("SmtpMaxMessageSize=2048\r\nSmtpMaxRecipients=3\r\nSmtpMaxErrors=4\r\n");
    const std::string rcpt = "RCPT TO:<alice@local.example>\r\n";
    struct Case {
        std::string name;
        std::vector<std::string> sends;    // each followed by one reply read
        std::vector<std::string> replies;  // expected reply starts, in order
        bool closes;
    };
    const std::vector<Case> cases = {
        {"command line too long",
         {"NOOP " + std::string(600, 'x') + "\r\n", "NOOP\r\n"},
         {"500 5.5.2", "250 2.0.0"},
         false},
        {"line too long without its end yet",
         {"NOOP " + std::string(3000, 'x'), std::string(3000, 'y') + "\r\nNOOP\r\n"},
         {"500 5.5.2", "250 2.0.0"},
         false},
        {"bare LF ends no command line", {"NOOP\n", "NOOP\r\n"}, {"500 5.5.2", "250 2.0.0"}, false},
        {"SIZE refused early",
         {"MAIL FROM:<a@remote.example> SIZE=4096\r\n", "MAIL FROM:<a@remote.example>\r\n"},
         {"552 5.3.4", "250 2.1.0"},
         false},
        {"message too big at DATA",
         {"MAIL FROM:<a@remote.example>\r\n", rcpt, "DATA\r\n",
          Repeat(std::string(99, 'z') + "\r\n", 40) + ".\r\n", "NOOP\r\n"},
         {"250", "250", "354", "552 5.3.4", "250"},
         false},
        {"too many recipients",
         {"MAIL FROM:<a@remote.example>\r\n", rcpt, rcpt, rcpt, rcpt},
         {"250", "250", "250", "250", "452 4.5.3"},
         false},
        {"sequence errors",
         {"RCPT TO:<alice@local.example>\r\n", "DATA\r\n", "MAIL FROM:<a@remote.example>\r\n",
          "MAIL FROM:<a@remote.example>\r\n"},
         {"503 5.5.1", "503 5.5.1", "250", "503 5.5.1"},
         false},
        {"no valid recipient",
         {"MAIL FROM:<a@remote.example>\r\n", "RCPT TO:<x@remote.example>\r\n", "DATA\r\n"},
         {"250", "554 5.7.1", "554 5.5.1"},
         false},
        {"UTF-8 addresses only with SMTPUTF8",
         {"MAIL FROM:<j\xc3\xb6rg@remote.example>\r\n", "MAIL FROM:<a@remote.example>\r\n",
          "RCPT TO:<j\xc3\xb6rg@hosted.example>\r\n", "RSET\r\n",
          "MAIL FROM:<j\xc3\xb6rg@remote.example> SMTPUTF8\r\n",
          "RCPT TO:<j\xc3\xb6rg@hosted.example>\r\n"},
         {"553 5.6.7", "250", "553 5.6.7", "250", "250", "250"},
         false},
        {"syntax and parameters",
         {"MAIL FROM:<not an address>\r\n", "MAIL FROM:<a@remote.example> RET=HDRS\r\n",
          "VRFY alice\r\n"},
         {"501 5.1.7", "555 5.5.4", "252 2.5.0"},
         false},
        {"errors per session",
         {"XYZZY\r\n", "XYZZY\r\n", "XYZZY\r\n", "XYZZY\r\n"},
         {"500 5.5.1", "500 5.5.1", "500 5.5.1", "500 5.5.1 Command unrecognized\r\n421 4.7.0"},
         true},
        {"three failed AUTHs",
         {"AUTH PLAIN AGFsaWNlQGxvY2FsLmV4YW1wbGUAbm8=\r\n",
          "AUTH PLAIN AGFsaWNlQGxvY2FsLmV4YW1wbGUAbm8=\r\n",
          "AUTH PLAIN AGFsaWNlQGxvY2FsLmV4YW1wbGUAbm8=\r\n"},
         {"535 5.7.8", "535 5.7.8", "535 5.7.8 Authentication credentials invalid\r\n421 4.7.0"},
         true},
        {"AUTH that is not base64", {"AUTH LOGIN\r\n", "%%%\r\n"}, {"334", "501 5.5.2"}, false},
        {"AUTH cancelled after an initial response",
         {"AUTH LOGIN YWxpY2VAbG9jYWwuZXhhbXBsZQ==\r\n", "*\r\n"},
         {"334 UGFzc3dvcmQ6", "501 5.7.0"},
         false},
        {"control characters",
         {"NOOP \x1b[2Jforged\rline\r\n", "NOOP\r\n"},
         {"500 5.5.2", "250"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Greeted();
        auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < c.sends.size(); ++i) {
            client->Send(c.sends[i]);
            std::string reply = client->Read();
            if (i + 1 < c.replies.size() || !c.closes) {
                EXPECT_EQ(reply.substr(0, c.replies[i].size()), c.replies[i]) << reply;
            } else {
                // The last reply and the closing 421 may come as one read or as two.
                std::string both = reply + "\r\n" + client->Read();
                EXPECT_EQ(both.substr(0, c.replies[i].size()), c.replies[i]) << both;
            }
        }
        if (c.name == "three failed AUTHs") {
            // Each 535 comes after the (shortened) delay.
            EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
        }
        EXPECT_EQ(client->Closed(c.closes ? 5s : 200ms), c.closes);
    }
    EXPECT_EQ(QueuedMessages(), 0u);
    Service().Stop();
    std::string log = LogText();
    EXPECT_NE(log.find("NOOP ?[2Jforged?line"), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

// Data that tries to end early with bare line ends is one refused message: what follows the
// false end is never read as commands, and nothing is queued.
TEST_F(SmtpServiceTest, SmugglingNeitherEndsDataNorGetsQueued) {
    const std::string smuggled =
        "MAIL FROM:<evil@remote.example>\r\nRCPT TO:<alice@local.example>\r\nDATA\r\n"
        "smuggled\r\n";
    const std::vector<std::pair<std::string, std::string>> attempts = {
        {"LF.LF", "Subject: a\r\n\r\ntext\n.\n" + smuggled},
        {"CR.CR", "Subject: a\r\n\r\ntext\r.\r" + smuggled},
        {"CRLF.LF", "Subject: a\r\n\r\ntext\r\n.\n" + smuggled},
        {"LF.CRLF", "Subject: a\r\n\r\ntext\n.\r\n" + smuggled},
        {"CRLF.CR", "Subject: a\r\n\r\ntext\r\n.\r" + smuggled},
        {"bare LF inside", "Subject: a\r\n\r\nline\nline\r\n"},
        {"bare CR inside", "Subject: a\r\n\r\nline\rline\r\n"},
        {"NUL inside", std::string("Subject: a\r\n\r\nline\0line\r\n", 25)},
    };
    for (const auto& [name, data] : attempts) {
        SCOPED_TRACE(name);
        auto client = Greeted();
        client->Send("MAIL FROM:<s@remote.example>\r\nRCPT TO:<alice@local.example>\r\nDATA\r\n");
        EXPECT_EQ(client->Read().substr(0, 3), "250");
        EXPECT_EQ(client->Read().substr(0, 3), "250");
        EXPECT_EQ(client->Read().substr(0, 3), "354");
        client->Send(data);
        // No reply yet: the data has not ended.
        EXPECT_EQ(client->Read(300ms), "");
        client->Send("\r\n.\r\nNOOP\r\n");
        EXPECT_EQ(client->Read().substr(0, 9), "554 5.6.0");
        EXPECT_EQ(client->Read().substr(0, 9), "250 2.0.0");
    }
    EXPECT_EQ(QueuedMessages(), 0u);
}

// A client without AUTH that sends anything between DATA and our 354 is refused and nothing is
// queued; one that waits for the 354, or that authenticated, is served.
TEST_F(SmtpServiceTest, OnlyAuthenticatedClientsMaySendBeforeThe354) {
    const std::string envelope =
        "MAIL FROM:<s@remote.example>\r\nRCPT TO:<alice@local.example>\r\nDATA\r\n";
    const std::string text = "Subject: p\r\n\r\nbody\r\n.\r\n";
    const std::string auth = "AUTH PLAIN AGFsaWNlQGxvY2FsLmV4YW1wbGUAYWxpY2Utc2VjcmV0\r\n";
    struct Case {
        std::string name;
        std::string first;     // sent at once
        std::string after354;  // sent once the 354 has come
        std::vector<std::string> replies;
        bool queued;
    };
    const std::vector<Case> cases = {
        {"message with DATA", envelope + text, "", {"250", "250", "503 5.5.0"}, false},
        {"command with DATA", envelope + "NOOP\r\n", "", {"250", "250", "503 5.5.0"}, false},
        {"message after the 354", envelope, text, {"250", "250", "354", "250 2.0.0"}, true},
        {"AUTH first", auth + envelope + text, "", {"235", "250", "250", "354", "250 2"}, true},
    };
    size_t queued = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Greeted();
        client->Send(c.first);
        for (const std::string& expected : c.replies) {
            std::string reply = client->Read();
            EXPECT_EQ(reply.substr(0, expected.size()), expected) << reply;
            if (expected == "354") {
                client->Send(c.after354);
            }
        }
        EXPECT_EQ(client->Closed(c.queued ? 200ms : 5s), !c.queued);
        queued += c.queued ? 1 : 0;
        EXPECT_EQ(QueuedMessages(), queued);
    }
}

// A pipelined group in one write is answered in order, and one more group carries the message
// and QUIT.
TEST_F(SmtpServiceTest, PipelinedGroupsAreAnsweredInOrder) {
    auto client = Greeted();
    client->Send(
        "MAIL FROM:<s@remote.example>\r\nRCPT TO:<alice@local.example>\r\n"
        "RCPT TO:<x@remote.example>\r\nRCPT TO:<y@hosted.example>\r\nDATA\r\n");
    for (const char* expected : {"250 2.1.0", "250 2.1.5", "554 5.7.1", "250 2.1.5", "354"}) {
        EXPECT_EQ(client->Read().substr(0, std::strlen(expected)), expected);
    }
    client->Send("Subject: p\r\n\r\n..dot\r\n.\r\nRSET\r\nQUIT\r\n");
    std::string stored = client->Read();
    EXPECT_EQ(stored.substr(0, 9), "250 2.0.0");
    EXPECT_EQ(client->Read().substr(0, 3), "250");
    EXPECT_EQ(client->Read().substr(0, 3), "221");
    EXPECT_TRUE(client->Closed());
    std::string eml = app_.Read("queue/" + QueueId(stored) + ".eml");
    EXPECT_EQ(eml.substr(eml.find("\r\n\r\n")), "\r\n\r\n.dot\r\n");
}

// A long pipelined run is answered in full and in order, whatever the reply backlog.
TEST_F(SmtpServiceTest, LongPipelinedRunIsAnsweredInFull) {
    WriteConfig("SmtpJunkCommandLimit=100000\r\n");  // a run of NOOP and RSET is junk otherwise
    auto client = Greeted();
    const int count = 30000;
    std::thread sender([&] {
        std::string run;
        for (int i = 0; i < count; ++i) {
            run += i % 2 ? "NOOP\r\n" : "RSET\r\n";
        }
        client->Send(run + "QUIT\r\n");
    });
    int answered = 0;
    while (answered < count && client->Read().substr(0, 10) == "250 2.0.0 ") {
        ++answered;
    }
    sender.join();
    EXPECT_EQ(answered, count);
    EXPECT_EQ(client->Read().substr(0, 3), "221");
}

// Sessions in all (loopback has no per-client limit): the one over gets 421, the others go on.
TEST_F(SmtpServiceTest, SessionLimitsRefuseOnlyTheExtraSession) {
    WriteConfig("SmtpMaxSessions=3\r\nSmtpMaxSessionsPerClient=1\r\n");
    RawClient first(port_), second(port_);
    EXPECT_EQ(first.Read().substr(0, 3), "220");
    EXPECT_EQ(second.Read().substr(0, 3), "220");
    RawClient fromAnotherAddress(port_, "127.0.0.2");
    EXPECT_EQ(fromAnotherAddress.Read().substr(0, 3), "220");
    RawClient overTheTotal(port_, "127.0.0.3");
    EXPECT_EQ(overTheTotal.Read().substr(0, 9), "421 4.3.2");
    first.Send("NOOP\r\n");
    EXPECT_EQ(first.Read().substr(0, 3), "250");
    first.Send("QUIT\r\n");
    EXPECT_EQ(first.Read().substr(0, 3), "221");
    EXPECT_TRUE(first.Closed());
    // The freed place serves a new client.
    for (int attempt = 0; attempt < 50; ++attempt) {
        RawClient again(port_, "127.0.0.3");
        std::string greeting = again.Read();
        if (greeting.substr(0, 3) == "220") {
            SUCCEED();
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "the freed session place was not given to a new client";
}

// Idle clients are cut with 421 4.4.2, waiting for a command and inside DATA, while others are
// served (the shortest timeouts the configuration allows: 5 seconds).
TEST_F(SmtpServiceTest, TimeoutsEndIdleSessions) {
    WriteConfig("SmtpCommandTimeout=5\r\nSmtpDataTimeout=6\r\n");
    auto idle = Greeted();
    auto inData = Greeted();
    inData->Send("MAIL FROM:<s@remote.example>\r\nRCPT TO:<alice@local.example>\r\nDATA\r\n");
    for (int i = 0; i < 3; ++i) {
        inData->Read();
    }
    inData->Send("Subject: slow\r\n\r\npart");
    auto start = std::chrono::steady_clock::now();
    auto busy = Greeted();
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(1s);
        busy->Send("NOOP\r\n");
        EXPECT_EQ(busy->Read().substr(0, 3), "250");
    }
    EXPECT_EQ(idle->Read(10s).substr(0, 9), "421 4.4.2");
    auto idleTime = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(inData->Read(10s).substr(0, 9), "421 4.4.2");
    auto dataTime = std::chrono::steady_clock::now() - start;
    EXPECT_GE(idleTime, 3500ms);
    EXPECT_GE(dataTime, 5500ms);
    EXPECT_TRUE(idle->Closed());
    EXPECT_TRUE(inData->Closed());
    EXPECT_EQ(QueuedMessages(), 0u);
}

// Deadlines, not idle timers: a client that sends one byte a second is cut once its command line
// is SmtpCommandTimeout old, or once its DATA falls below SmtpMinDataRate after 30 s.
TEST_F(SmtpServiceTest, DeadlinesCutTricklingClients) {
    WriteConfig("SmtpCommandTimeout=5\r\nSmtpMinDataRate=100\r\n");
    struct Case {
        std::string before;                     // one reply read per line
        std::chrono::seconds earliest, latest;  // from the first trickled byte to the 421
    };
    const std::vector<Case> cases = {
        {"", 4s, 7s},
        {"MAIL FROM:<s@remote.example>\r\nRCPT TO:<alice@local.example>\r\nDATA\r\n", 29s, 33s},
    };
    for (const Case& c : cases) {
        auto client = Greeted();
        client->Send(c.before);
        for (auto lines = std::count(c.before.begin(), c.before.end(), '\n'); lines > 0; --lines) {
            client->Read();
        }
        auto start = std::chrono::steady_clock::now();
        std::string reply;
        while (reply.empty() && std::chrono::steady_clock::now() - start < c.latest + 2s) {
            client->Send("x");
            reply = client->Read(1s);
        }
        auto cut = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reply.substr(0, 9), "421 4.4.2") << c.before;
        EXPECT_TRUE(cut >= c.earliest && cut <= c.latest) << c.before;
    }
}

// SmtpAuthFailLimit failures from one address, over any sessions and ports, block its AUTH with
// 454 without looking at the credentials; another address is unaffected.
TEST_F(SmtpServiceTest, AuthFailuresAreLimitedPerClientAcrossSessions) {
    WriteConfig("SmtpAuthFailLimit=4\r\n");
    const int secondPort = FreePort();
    ASSERT_TRUE(Service().Start(secondPort));
    // client, port, passwords tried and their answers
    const std::vector<std::tuple<std::string, int, std::vector<std::pair<std::string, int>>>>
        cases = {
            {"127.0.0.1", port_, {{"wrong", 535}, {"wrong", 535}}},
            {"127.0.0.1", secondPort, {{"wrong", 535}, {"wrong", 535}, {"alice-secret", 454}}},
            {"127.0.0.2", port_, {{"alice-secret", 235}}},
            {"127.0.0.1", port_, {{"alice-secret", 454}}},
        };
    for (const auto& [source, port, attempts] : cases) {
        RawClient client(port, source);
        client.Read();
        client.Send("EHLO c.example\r\n");
        client.Read();
        for (const auto& [password, code] : attempts) {
            client.Send("AUTH PLAIN " +
                        EncodeBase64(std::string("\0alice@local.example\0", 21) + password) +
                        "\r\n");
            EXPECT_EQ(client.Read().substr(0, 3), std::to_string(code)) << source;
        }
    }
    Service().Stop();  // the log's lines reach the window by then
    const std::string text = WindowText(), blockLine = "AUTH refused for 15 minutes";
    EXPECT_NE(text.find(blockLine), std::string::npos);
    EXPECT_EQ(text.find(blockLine), text.rfind(blockLine));
}

TEST(SessionRules, RecipientVerdictsAndAuthentication) {
    TempAppDir app;
    app.Write("relvoconsole.cfg", "[System]\r\nSmtpAuthFlag=1\r\n" + kAccounts);
    auto config = EngineConfig::Load();
    EXPECT_EQ(CheckRecipient(*config, "x@hosted.example", false, "198.51.100.2"),
              RecipientVerdict::kAccept);
    EXPECT_EQ(CheckRecipient(*config, "alice@local.example", false, "198.51.100.2"),
              RecipientVerdict::kAccept);
    EXPECT_EQ(CheckRecipient(*config, "carol@local.example", true, "127.0.0.1"),
              RecipientVerdict::kUnknownUser);
    EXPECT_EQ(CheckRecipient(*config, "x@remote.example", false, "127.0.0.1"),
              RecipientVerdict::kRelayDenied);
    EXPECT_EQ(CheckRecipient(*config, "x@remote.example", true, "198.51.100.2"),
              RecipientVerdict::kAccept);
    // A local domain's name inside a longer one is not that domain.
    EXPECT_EQ(CheckRecipient(*config, "x@local.example.evil.example", false, "198.51.100.2"),
              RecipientVerdict::kRelayDenied);

    EXPECT_NE(Authenticate(*config, "ALICE@local.example", "alice-secret"), nullptr);
    EXPECT_EQ(Authenticate(*config, "alice@local.example", "Alice-secret"), nullptr);
    EXPECT_EQ(Authenticate(*config, "carol@local.example", "carol-secret"), nullptr);
    EXPECT_EQ(Authenticate(*config, "", ""), nullptr);

    ReceivedInfo info;
    info.heloName = "bad\r\nInjected: header (x)";
    info.clientIp = "2001:db8::1";
    info.hostName = "mx.local.example";
    info.esmtp = info.tls = true;
    std::string header = ReceivedHeader(info);
    EXPECT_EQ(header.find("Injected: header"), std::string::npos);
    EXPECT_EQ(header.rfind("Received: from bad??Injected:?header??x? ([IPv6:2001:db8::1])\r\n"
                           "\tby mx.local.example with ESMTPS; ",
                           0),
              0u)
        << header;
}

// With SmtpAuthFlag 0, loopback and SmtpRelayNetworks relay; private networks no longer do.
TEST(SessionRules, RelayWithoutAuthOnlyFromLoopbackAndListedNetworks) {
    TempAppDir app;
    const std::string networks =
        "SmtpRelayNetworks=192.0.2.0/24, 2001:db8:1::/48,bogus,10.0.0.1/8,198.51.100.7\r\n";
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        // flag, client, relays
        {"0", "127.0.0.1", true},   {"0", "192.0.2.77", true}, {"0", "2001:db8:1:ff::1", true},
        {"0", "10.1.2.3", false},   {"0", "fd00::1", false},   {"0", "198.51.100.8", false},
        {"1", "192.0.2.77", false}, {"1", "127.0.0.1", false}};
    for (const auto& [flag, ip, relays] : cases) {
        app.Write("relvoconsole.cfg", "[System]\r\nSmtpAuthFlag=" + flag + "\r\n" + networks);
        auto config = EngineConfig::Load();
        EXPECT_EQ(config->invalidRelayNetworks, (std::vector<std::string>{"bogus", "10.0.0.1/8"}));
        EXPECT_EQ(CheckRecipient(*config, "x@remote.example", false, ip),
                  relays ? RecipientVerdict::kAccept : RecipientVerdict::kRelayDenied)
            << flag << " " << ip;
    }
}

}  // namespace
}  // namespace relvo::mail::smtp
