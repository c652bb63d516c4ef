// DKIM, SPF, DMARC and iprev results of received mail: messages signed by dkimpy, keys, SPF and
// DMARC records and PTR names served by dnsmasq on loopback, and smtplib in a network namespace of
// its own as a client from outside the private networks (SPF passes every loopback address). Needs
// root for the namespace.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>

#include <future>

#include "net/async_dns.h"
#include "net/dns_lookup.h"
#include "smtp/inbound_checks.h"

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
        // A silent server for silent.test: it takes queries and never answers.
        silent_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in silentAddress{
            AF_INET, htons(static_cast<uint16_t>(silentPort_)), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(bind(silent_, reinterpret_cast<sockaddr*>(&silentAddress), sizeof silentAddress),
                  0);
        std::vector<std::string> zone = {
            "--txt-record=sel._domainkey.signer.test," +
                TxtStrings("v=DKIM1; k=rsa; p=" + publicKey),
            "--txt-record=signer.test,v=spf1 ip4:" + clientIp + " -all",
            "--txt-record=other.test,v=spf1 ip4:192.0.2.0/24 -all",
            // A key that is no key and a record that is no record.
            "--txt-record=sel._domainkey.broken.test,v=DKIM1; k=rsa; p=!!notbase64",
            "--txt-record=broken.test,v=spf1 ip4:300.1.1.1 -all",
            "--server=/silent.test/127.0.0.1#" + std::to_string(silentPort_), "--local=/test/"};
        for (const auto& record : SpfRecords(clientIp)) {
            zone.push_back("--txt-record=" + record.first + "," + record.second);
        }
        zone.push_back("--host-record=" + clientIp + ".allow.test,127.0.0.2");
        // The client as an exchanger of mx.test and by its name in ptr.test.
        zone.push_back("--mx-host=mx.test,mail.mx.test,10");
        zone.push_back("--host-record=mail.mx.test,host.ptr.test," + clientIp);
        std::string reversed;
        std::istringstream octets(clientIp);
        for (std::string octet; std::getline(octets, octet, '.');) {
            reversed.insert(0, octet + ".");
        }
        zone.push_back("--ptr-record=" + reversed + "in-addr.arpa,host.ptr.test");
        reversed_ = reversed + "in-addr.arpa";
        // DMARC: each policy's domain signs with the same key.
        for (const char* domain : {"reject", "quarantine", "none", "pct0"}) {
            zone.push_back("--txt-record=sel._domainkey." + std::string(domain) + ".test," +
                           TxtStrings("v=DKIM1; k=rsa; p=" + publicKey));
        }
        zone.push_back(
            "--txt-record=_dmarc.reject.test,v=DMARC1; p=reject; rua=mailto:r@reject.test");
        zone.push_back("--txt-record=_dmarc.quarantine.test,v=DMARC1; p=quarantine");
        zone.push_back("--txt-record=_dmarc.none.test,v=DMARC1; p=none");
        zone.push_back("--txt-record=_dmarc.pct0.test,v=DMARC1; p=reject; pct=0");
        dnsPort_ = send::testing::FreePort();
        dns_ = send::testing::Dnsmasq(dnsPort_, zone);
        ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
        UseDnsServer("127.0.0.1:" + std::to_string(dnsPort_));
        port_ = testing::FreePort();
        ASSERT_TRUE(Service().Start(port_));
    }
    void TearDown() override {
        testing::ServiceFixture::TearDown();
        net_.reset();
        if (silent_ >= 0) {
            close(silent_);
        }
    }

    void UseDnsServer(const std::string& server, const std::string& system = "") {
        ReplaceConfig("[System]\r\n" + system +
                      "HELOString=mx.relvo.test\r\nLogSmtp=1\r\nDnsServer=" + server +
                      "\r\n[DomainList]\r\nlocal.example=1\r\n[AccountList]\r\n"
                      "alice@local.example=1\r\n[AccountInfo]\r\nalice@local.example_Enabled=1\r\n"
                      "alice@local.example_Password=alice-secret\r\n");
    }

    // SPF records that try the limits: include chains of 9 and 15 (cN includes cN+1 until the
    // last, which names the client), void lookups, a macro, a redirect.
    static std::vector<std::pair<std::string, std::string>> SpfRecords(const std::string& ip) {
        std::vector<std::pair<std::string, std::string>> records;
        for (int length : {9, 15}) {
            std::string chain = "chain" + std::to_string(length) + ".test";
            for (int i = 0; i < length; ++i) {
                records.push_back(
                    {i == 0 ? chain : "c" + std::to_string(i) + "." + chain,
                     "v=spf1 include:c" + std::to_string(i + 1) + "." + chain + " -all"});
            }
            records.push_back(
                {"c" + std::to_string(length) + "." + chain, "v=spf1 ip4:" + ip + " -all"});
        }
        records.push_back(
            {"void2.test", "v=spf1 a:nx1.void.test mx:nx2.void.test ip4:" + ip + " -all"});
        records.push_back({"void3.test",
                           "v=spf1 a:nx1.void.test mx:nx2.void.test "
                           "exists:nx3.void.test ip4:" +
                               ip + " -all"});
        records.push_back({"macro.test", "v=spf1 exists:%{i}.allow.test -all"});
        records.push_back({"redirect.test", "v=spf1 redirect=signer.test"});
        records.push_back({"mx.test", "v=spf1 mx/24 -all"});
        records.push_back({"ptr.test", "v=spf1 ptr -all"});
        records.push_back({"notptr.test", "v=spf1 ptr:other.test ?all"});
        return records;
    }
    static std::string Shell(const std::string& command) {
        return RunProcess({"/bin/sh", "-c", command});
    }

    // The message with a signature of domain over it; with bodyPrefixes, one more signature
    // for each with l= its length (the message's body must start with each).
    std::string SignedByDkimpy(const std::string& message,
                               const std::string& domain = "signer.test",
                               const std::vector<std::string>& bodyPrefixes = {}) {
        std::string script =
            "import dkim,sys\n"
            "k=open(sys.argv[1],'rb').read()\n"
            "m=sys.argv[2].encode()\n"
            "h,b=m.split(b'\\r\\n\\r\\n',1)\n"
            "s=b''.join(dkim.sign(h+b'\\r\\n\\r\\n'+p.encode(),b'sel',sys.argv[3].encode(),k,"
            "include_headers=[b'from',b'to',b'subject'],length=True) for p in sys.argv[4:])\n"
            "s+=dkim.sign(m,b'sel',sys.argv[3].encode(),k,"
            "include_headers=[b'from',b'to',b'subject'])\n"
            "sys.stdout.write((s+m).decode())\n";
        std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, key_, message, domain};
        argv.insert(argv.end(), bodyPrefixes.begin(), bodyPrefixes.end());
        return RunProcess(argv);
    }

    // Sends each message of `waiting` up to its end without reading the reply, then each of
    // `timed` in a session of its own, then reads the replies of `waiting`. Each (sender,
    // message) gives a line: "<code> <greeting ms> <ms from the end to the reply> <reply>".
    using Mail = std::pair<std::string, std::string>;
    std::vector<std::string> Timed(const std::vector<Mail>& waiting,
                                   const std::vector<Mail>& timed) {
        static const char* const kScript = R"(
import json, smtplib, sys, time
host, port, waiting, timed = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3]), json.loads(sys.argv[4])
def start(sender, message):
    began = time.monotonic()
    c = smtplib.SMTP(timeout=30)
    c.connect(host, port)
    greeting = time.monotonic() - began
    c.ehlo('client.test'); c.mail(sender); c.rcpt('alice@local.example')
    assert c.docmd('DATA')[0] == 354
    c.send(message.encode() + b'.\r\n')
    return c, greeting, time.monotonic()
def finish(started):
    c, greeting, sent = started
    code, text = c.getreply()
    print(code, int(greeting * 1000), int((time.monotonic() - sent) * 1000), text.decode(), flush=True)
    c.quit()
started = [start(*m) for m in waiting]
for m in timed:
    finish(start(*m))
for s in started:
    finish(s)
)";
        auto json = [](const std::vector<Mail>& mails) {
            std::string out = "[";
            for (const Mail& m : mails) {
                out += (out.size() > 1 ? "," : "") + std::string("[") +
                       testing::JsonString(m.first) + "," + testing::JsonString(m.second) + "]";
            }
            return out + "]";
        };
        std::string output =
            RunProcess({"ip", "netns", "exec", namespace_, "/usr/bin/python3", "-c", kScript,
                        serverIp_, std::to_string(port_), json(waiting), json(timed)});
        std::vector<std::string> lines;
        for (size_t at = 0, end; at < output.size(); at = end + 1) {
            end = output.find('\n', at);
            end = end == std::string::npos ? output.size() : end;
            lines.push_back(output.substr(at, end - at));
        }
        return lines;
    }

    // The stored message of a reply line, or the line.
    std::string StoredOf(const std::string& line) {
        std::smatch id;
        if (!std::regex_search(line, id, std::regex("queued as ([0-9]+)"))) {
            return line;
        }
        return app_.Read("queue/" + id[1].str() + ".eml");
    }

    // How a test client comes: from the namespace, from loopback, or from the namespace after
    // AUTH over TLS.
    enum class From { kOutside, kLoopback, kAuthenticated };
    // Sends the message; returns what was stored, or the replies; the queue id in *queued when
    // there is one.
    std::string Deliver(const std::string& sender, const std::string& message,
                        From from = From::kOutside, std::string* queued = nullptr) {
        std::vector<std::vector<std::string>> steps = {{"ehlo", "client.test"}};
        if (from == From::kAuthenticated) {
            steps.insert(steps.end(), {{"starttls"},
                                       {"ehlo", "client.test"},
                                       {"auth", "PLAIN", "alice@local.example", "alice-secret"}});
        }
        steps.insert(
            steps.end(),
            {{"mail", sender}, {"rcpt", "alice@local.example"}, {"data", message}, {"quit"}});
        const bool loopback = from == From::kLoopback;
        auto replies = testing::RunPeer(
            loopback ? "127.0.0.1" : serverIp_, port_, steps,
            loopback ? std::vector<std::string>{}
                     : std::vector<std::string>{"ip", "netns", "exec", namespace_});
        std::smatch id;
        std::string all;
        for (const auto& reply : replies) {
            all += std::to_string(reply.code) + " " + reply.text + "\n";
        }
        if (!std::regex_search(all, id, std::regex("queued as ([0-9]+)"))) {
            return all;
        }
        if (queued != nullptr) {
            *queued = id[1].str();
        }
        return app_.Read("queue/" + id[1].str() + ".eml");
    }

    std::optional<testing::ClientNamespace> net_;
    std::string reversed_;  // the client's PTR name
    int silent_ = -1;
    int silentPort_ = send::testing::FreePort();
    int dnsPort_ = 0;
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
    // Forged results in our name, in each spelling the field allows before the id.
    const std::string forged =
        "Authentication-Results: MX.relvo.test; dkim=pass header.d=bank.test\r\n"
        "Authentication-Results: (ours) mx.relvo.test; spf=pass smtp.mailfrom=bank.test\r\n"
        "Authentication-Results: mx.relvo.test.; dkim=pass header.d=bank.test\r\n"
        "Authentication-Results:\r\n (a (nested) comment)\r\n\t\"mx.relvo.test\" 1; dkim=pass "
        "header.s=bank.test\r\n"
        "Authentication-Results: other.test; spf=pass\r\n" +
        message;
    // Nine signatures: eight with distinct l= values, each verified, and one too many.
    const std::string body = "Hello from the signer.\r\n";
    const std::string longMessage =
        "From: Sender <sender@signer.test>\r\nTo: alice@local.example\r\n"
        "Subject: checks\r\n\r\n" +
        body + body + body + body + body + body + body + body + "end\r\n";
    std::vector<std::string> prefixes;
    for (int i = 1; i <= 8; ++i) {
        std::string prefix;
        for (int k = 0; k < i; ++k) {
            prefix += body;
        }
        prefixes.push_back(prefix);
    }
    std::string nine = SignedByDkimpy(longMessage, "signer.test", prefixes);
    std::string many;
    for (int i = 0; i < 39; ++i) {
        many += signed_.substr(0, signed_.find("From:"));
    }
    many += signed_;
    std::vector<std::string> eightPass;
    for (size_t i = 1; i <= 8; ++i) {
        eightPass.push_back(std::string(i > 1 ? ";\r\n\t" : "\r\n\t") +
                            "dkim=pass header.d=signer.test header.s=sel");
    }
    eightPass.push_back(
        "dkim=pass header.d=signer.test header.s=sel;\r\n\t"
        "dkim=policy header.d=signer.test header.s=sel;\r\n\tspf=pass");
    const std::string broken = SignedByDkimpy(
        std::regex_replace(message, std::regex("signer\\.test"), "broken.test"), "broken.test");
    struct Case {
        std::string sender, message;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"sender@signer.test",
         signed_,
         {"dkim=pass header.d=signer.test header.s=sel",
          "spf=pass smtp.mailfrom=sender@signer.test"},
         {"dkim=fail"}},
        {"sender@other.test",
         altered,
         {"dkim=fail header.d=signer.test header.s=sel",
          "spf=fail smtp.mailfrom=sender@other.test"},
         {"dkim=pass"}},
        {"sender@nowhere.test",
         forged,
         {"dkim=none", "spf=none", "Authentication-Results: other.test; spf=pass"},
         {"bank.test", "(ours)", "nested"}},
        {"sender@signer.test", nine, eightPass, {"dkim=fail", "dkim=temperror", "dkim=permerror"}},
        // Forty: eight verified, eight more named, the rest counted in one line.
        {"sender@signer.test",
         many,
         {"dkim=policy header.d=signer.test header.s=sel;\r\n\t"
          "dkim=policy reason=\"24 more signatures not evaluated\";\r\n\tspf=pass"},
         {"dkim=fail", "dkim=temperror", "dkim=permerror"}},
        // A signature that cannot be read does not keep the next from being verified.
        {"sender@signer.test",
         "DKIM-Signature: v=1; a=rsa-sha256; d=signer.test; s=bad; h=from; l=x\r\n" + signed_,
         {"dkim=permerror header.d=signer.test header.s=bad;\r\n\t"
          "dkim=pass header.d=signer.test header.s=sel"},
         {"dkim=fail"}},
        // A key and an SPF record that cannot be read are permanent errors, not failures.
        {"sender@broken.test",
         broken,
         {"dkim=permerror header.d=broken.test header.s=sel",
          "spf=permerror smtp.mailfrom=sender@broken.test"},
         {"dkim=pass", "spf=pass", "temperror"}},
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
    EXPECT_NE(log.find("dkim=pass header.d=signer.test header.s=sel; spf=pass"), std::string::npos)
        << log;
}

// DMARC and iprev of outside mail: the From domain's policy decides between storing, refusing
// (nothing queued) and quarantining (recorded in the companion); our own clients are not
// evaluated, DNS failures never refuse, DmarcPolicy=0 only records, and with DmarcReportFrom the
// evaluation's row is kept for the reports.
TEST_F(InboundChecksTest, DmarcDecidesAndIprevInforms) {
    const int liarPort = send::testing::FreePort();  // PTR to a name without the client's address
    auto liarDns =
        send::testing::Dnsmasq(liarPort, {"--ptr-record=" + reversed_ + ",liar.test",
                                          "--host-record=liar.test,192.0.2.1", "--local=/test/"});
    ASSERT_TRUE(liarDns->Ready("started")) << liarDns->Output();
    const std::string liar = "127.0.0.1:" + std::to_string(liarPort);
    const std::string main = "127.0.0.1:" + std::to_string(dnsPort_);
    const std::string silent = "127.0.0.1:" + std::to_string(silentPort_);
    const std::string iprevPass = "iprev=pass policy.iprev=" + net_->ClientIp();
    const std::string reject =
        "550 5.7.1 Message refused: it fails the DMARC policy of reject.test";
    const std::string twoFrom = "550 5.7.1 Message refused: more than one From address";
    const From out = From::kOutside, lo = From::kLoopback, auth = From::kAuthenticated;
    struct Case {
        std::string dns, system;
        From client;
        std::string from, signer, reply;
        std::vector<std::string> present, absent;
        std::string quarantine;
    } cases[] = {
        // clang-format off
        {main, "DmarcReportFrom=dmarc@local.example\r\n", out, "a@reject.test", "reject.test",
         "250", {"dkim=pass header.d=reject.test",
                 "dmarc=pass header.from=reject.test policy.dmarc=reject", iprevPass}, {}, ""},
        {main, "", out, "a@reject.test", "", reject, {}, {}, ""},
        {main, "", out, "a@reject.test", "signer.test", reject, {}, {}, ""},  // not aligned
        {main, "", out, "a@quarantine.test", "", "250",
         {"dmarc=fail header.from=quarantine.test policy.dmarc=quarantine"}, {}, "dmarc"},
        {main, "", out, "a@pct0.test", "", "250",  // outside the sample: one step milder
         {"dmarc=fail header.from=pct0.test policy.dmarc=reject"}, {}, "dmarc"},
        {main, "", out, "a@none.test", "", "250",
         {"dmarc=fail header.from=none.test policy.dmarc=none"}, {}, ""},
        {main, "", out, "a@signer.test", "signer.test", "250",
         {"dmarc=none header.from=signer.test"}, {"policy.dmarc"}, ""},
        {main, "", out, "a@reject.test, b@none.test", "", twoFrom, {}, {}, ""},
        {main, "", out, "a@reject.test\r\nFrom: b@reject.test", "", twoFrom, {}, {}, ""},
        {main, "DmarcPolicy=0\r\n", out, "a@reject.test", "", "250",
         {"dmarc=fail header.from=reject.test policy.dmarc=reject"}, {}, ""},
        {main, "", lo, "a@reject.test", "", "250", {"spf="}, {"dmarc=", "iprev="}, ""},
        {main, "", auth, "a@reject.test", "", "250", {"spf="}, {"dmarc=", "iprev="}, ""},
        {main, "SmtpRelayNetworks=" + net_->ClientIp() + "\r\n", out, "a@reject.test", "",
         "250", {"spf="}, {"dmarc=", "iprev="}, ""},
        {liar, "", out, "a@reject.test", "", "250",
         {"dmarc=none", "iprev=fail policy.iprev=" + net_->ClientIp()}, {}, ""},
        {silent, "", out, "a@reject.test", "reject.test", "250",
         {"dmarc=temperror header.from=reject.test", "iprev=temperror"}, {}, ""},
        // clang-format on
    };
    std::filesystem::create_directories(app_.File("queue"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dns + " " + c.system + " " + std::to_string(static_cast<int>(c.client)) +
                     " " + c.from + " " + c.signer);
        UseDnsServer(c.dns, c.system);
        std::string message =
            "From: " + c.from + "\r\nTo: alice@local.example\r\nSubject: dmarc\r\n\r\nHello.\r\n";
        if (!c.signer.empty()) {
            message = SignedByDkimpy(message, c.signer);
        }
        const auto queued = std::distance(std::filesystem::directory_iterator(app_.File("queue")),
                                          std::filesystem::directory_iterator());
        std::string id;
        std::string stored = Deliver("sender@other.test", message, c.client, &id);
        if (c.reply != "250") {
            EXPECT_NE(stored.find("\n" + c.reply), std::string::npos) << stored;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(app_.File("queue")),
                                    std::filesystem::directory_iterator()),
                      queued);
            continue;
        }
        ASSERT_FALSE(id.empty()) << stored;
        for (const std::string& text : c.present) {
            EXPECT_NE(stored.find(text), std::string::npos) << text << "\n" << stored;
        }
        for (const std::string& text : c.absent) {
            EXPECT_EQ(stored.find(text), std::string::npos) << text << "\n" << stored;
        }
        const std::string companion = app_.Read("queue/" + id + ".cfg");
        EXPECT_EQ(companion.find("\r\nQuarantine=dmarc\r\n") != std::string::npos,
                  !c.quarantine.empty())
            << companion;
    }
    Service().Stop();
    EXPECT_NE(LogText().find("message refused: " + reject), std::string::npos);
    // Only the first case keeps a row for the reports, and its policy asks for them.
    const policy::DayRows day = policy::DmarcReportStore(app_.File("dmarc"))
                                    .ReadDay(policy::UtcDayOf(std::chrono::system_clock::now()));
    ASSERT_EQ(day.rows.size(), 1u);
    EXPECT_EQ(day.rows[0].policyDomain, "reject.test");
    EXPECT_EQ(day.rows[0].sourceAddress, net_->ClientIp());
    EXPECT_TRUE(day.rows[0].dkimAligned);
    EXPECT_EQ(day.rows[0].count, 1u);
}

// What DMARC and iprev add to a message's reply time: the same signed message from the same
// client, first from a network in SmtpRelayNetworks (not evaluated), then evaluated. A
// measurement, run on demand: --gtest_also_run_disabled_tests --gtest_filter='*DmarcCost*'.
TEST_F(InboundChecksTest, DISABLED_DmarcCostPerMessage) {
    static const char* const kScript = R"(
import smtplib, statistics, sys, time
sys.stderr = sys.stdout
c = smtplib.SMTP(sys.argv[1], int(sys.argv[2]), timeout=30)
c.ehlo('client.test')
times = []
for i in range(int(sys.argv[3])):
    c.mail('sender@other.test'); c.rcpt('alice@local.example')
    began = time.monotonic()
    code, _ = c.data(sys.argv[4].encode())
    times.append((time.monotonic() - began) * 1000)
    assert code == 250, code
c.quit()
print('%.2f %.2f' % (statistics.median(times), statistics.mean(times)))
)";
    const std::string message = SignedByDkimpy(
        "From: a@reject.test\r\nTo: alice@local.example\r\nSubject: cost\r\n\r\nHello.\r\n",
        "reject.test");
    for (const std::string& system :
         {"SmtpRelayNetworks=" + net_->ClientIp() + "\r\n", std::string()}) {
        UseDnsServer("127.0.0.1:" + std::to_string(dnsPort_), system);
        const std::string out =
            RunProcess({"ip", "netns", "exec", namespace_, "/usr/bin/python3", "-c", kScript,
                        serverIp_, std::to_string(port_), "100", message});
        double median = 0, mean = 0;
        ASSERT_EQ(std::sscanf(out.c_str(), "%lf %lf", &median, &mean), 2) << out;
        std::printf("%s: median %.2f ms, mean %.2f ms from the end of DATA to 250\n",
                    system.empty() ? "evaluated" : "not evaluated", median, mean);
    }
}

// RFC 7208's limits hold across the whole evaluation: ten terms that query DNS, counted through
// includes and redirects, and two lookups that find nothing.
TEST_F(InboundChecksTest, SpfLimitsHoldAcrossIncludes) {
    const std::string message = "From: s@x.test\r\nTo: alice@local.example\r\n\r\nHi.\r\n";
    struct Case {
        std::string domain, result;
    } cases[] = {
        {"chain9.test", "pass"},     {"chain15.test", "permerror"}, {"void2.test", "pass"},
        {"void3.test", "permerror"}, {"macro.test", "pass"},        {"redirect.test", "pass"},
        {"nowhere.test", "none"},    {"mx.test", "pass"},           {"ptr.test", "pass"},
        {"notptr.test", "neutral"},
    };
    for (const Case& c : cases) {
        std::string stored = Deliver("sender@" + c.domain, message);
        EXPECT_NE(stored.find("spf=" + c.result + " smtp.mailfrom=sender@" + c.domain),
                  std::string::npos)
            << c.domain << "\n"
            << stored;
    }
}

// A lookup that fails or has no answer by the deadline is a temporary error, whatever the
// failure; the sending side tells the failures apart in its words.
TEST_F(InboundChecksTest, DnsFailuresAreTemporary) {
    const std::string message =
        "From: Sender <sender@signer.test>\r\nTo: alice@local.example\r\nSubject: checks\r\n"
        "\r\nHello from the signer.\r\n";
    const std::string signed_ = SignedByDkimpy(message);
    const std::string servfailScript =
        "import socket,sys\n"
        "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        "s.bind(('127.0.0.1',int(sys.argv[1])))\n"
        "print('started',flush=True)\n"
        "while True:\n"
        "  q,a=s.recvfrom(4096)\n"
        "  s.sendto(q[:2]+bytes([0x81,0x82])+q[4:6]+bytes(6)+q[12:],a) if len(q)>12 else 0\n";
    const int servfailPort = send::testing::FreePort();
    send::testing::Child servfail(
        {"/usr/bin/python3", "-c", servfailScript, std::to_string(servfailPort)});
    ASSERT_TRUE(servfail.Ready("started")) << servfail.Output();
    const int refusingPort = send::testing::FreePort();  // a server that serves no zone at all
    auto refusing = send::testing::Dnsmasq(refusingPort, {});
    ASSERT_TRUE(refusing->Ready("started")) << refusing->Output();
    struct Case {
        int port;
        std::string sendError;
    } cases[] = {
        {silentPort_, "DNS server did not answer"},
        {send::testing::FreePort(), "Could not contact DNS servers"},  // nothing listens
        {servfailPort, "DNS server failed to answer (SERVFAIL)"},
        {refusingPort, "DNS server refused the query"},
    };
    for (const Case& c : cases) {
        const std::string server = "127.0.0.1:" + std::to_string(c.port);
        UseDnsServer(server);
        std::vector<std::string> replies = Timed({}, {{"sender@signer.test", signed_}});
        ASSERT_EQ(replies.size(), 1u) << server;
        std::istringstream fields(replies[0]);
        int code = 0, greetingMs = 0, replyMs = 0;
        fields >> code >> greetingMs >> replyMs;
        EXPECT_EQ(code, 250) << server << " " << replies[0];
        EXPECT_LT(replyMs, 2500) << server;  // the 2 s deadline and some scheduling
        std::string stored = StoredOf(replies[0]);
        EXPECT_NE(stored.find("dkim=temperror header.d=signer.test header.s=sel;\r\n\t"
                              "spf=temperror smtp.mailfrom=sender@signer.test"),
                  std::string::npos)
            << server << "\n"
            << stored;

        net::DnsSettings settings;
        settings.server = server;
        settings.timeout = std::chrono::milliseconds(1000);
        EXPECT_EQ(net::LookupMx("signer.test", settings).error, c.sendError) << server;
    }
}

// Messages whose lookups go unanswered hold no thread: while two of them wait for a silent
// server, a third client is greeted and its message accepted at once, and the two get their
// temperror by the deadline.
TEST_F(InboundChecksTest, SilentDnsStallsNoOtherSession) {
    const std::string stalled =
        "From: Sender <sender@silent.test>\r\nTo: alice@local.example\r\nSubject: checks\r\n"
        "\r\nHello from the silent.\r\n";
    const std::string signedStalled = SignedByDkimpy(stalled, "silent.test");
    const std::string quick = SignedByDkimpy(
        "From: Sender <sender@signer.test>\r\nTo: alice@local.example\r\nSubject: checks\r\n"
        "\r\nHello from the signer.\r\n");
    std::vector<std::string> replies =
        Timed({{"sender@silent.test", signedStalled}, {"sender@silent.test", signedStalled}},
              {{"sender@signer.test", quick}});
    ASSERT_EQ(replies.size(), 3u);
    std::istringstream third(replies[0]);
    int code = 0, greetingMs = 0, replyMs = 0;
    third >> code >> greetingMs >> replyMs;
    EXPECT_EQ(code, 250) << replies[0];
    EXPECT_LT(greetingMs, 100) << replies[0];
    EXPECT_LT(replyMs, 100) << replies[0];
    EXPECT_NE(StoredOf(replies[0]).find("dkim=pass header.d=signer.test header.s=sel"),
              std::string::npos);
    for (size_t i = 1; i < 3; ++i) {
        std::istringstream fields(replies[i]);
        int stalledCode = 0, stalledGreetingMs = 0, stalledReplyMs = 0;
        fields >> stalledCode >> stalledGreetingMs >> stalledReplyMs;
        EXPECT_EQ(stalledCode, 250) << replies[i];
        EXPECT_LT(stalledReplyMs, 2500) << replies[i];
        EXPECT_NE(StoredOf(replies[i])
                      .find("dkim=temperror header.d=silent.test header.s=sel;\r\n\t"
                            "spf=temperror smtp.mailfrom=sender@silent.test;\r\n\t"
                            "dmarc=temperror header.from=silent.test"),
                  std::string::npos)
            << StoredOf(replies[i]);
    }
    std::printf("third client: greeting %d ms, 250 after %d ms; stalled: %s | %s\n", greetingMs,
                replyMs, replies[1].c_str(), replies[2].c_str());
}

// The resolver ends a lookup nobody answers by its group's deadline, and one whose group is
// cancelled (its message went) at once.
TEST(AsyncDns, DeadlineAndCancelEndUnansweredLookups) {
    using Clock = std::chrono::steady_clock;
    const int port = send::testing::FreePort();
    int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string server = "127.0.0.1:" + std::to_string(port);
    net::AsyncDns dns;
    const Clock::time_point start = Clock::now();
    struct Case {
        std::string name;
        std::shared_ptr<net::AsyncDns::Group> group;
        bool cancel;
        std::string error;
        std::chrono::milliseconds least, most;
        std::promise<std::pair<net::DnsAnswer, Clock::time_point>> ended;
    } cases[] = {
        {"timed.test",
         std::make_shared<net::AsyncDns::Group>(start + std::chrono::milliseconds(300)),
         false,
         "DNS server did not answer",
         std::chrono::milliseconds(300),
         std::chrono::milliseconds(1000),
         {}},
        {"cancelled.test",
         std::make_shared<net::AsyncDns::Group>(start + std::chrono::seconds(10)),
         true,
         "DNS lookup cancelled",
         std::chrono::milliseconds(0),
         std::chrono::milliseconds(2000),
         {}},
    };
    for (Case& c : cases) {
        dns.Lookup(server, c.name, 16, c.group, [&c](net::DnsAnswer answer) {
            c.ended.set_value({std::move(answer), Clock::now()});
        });
        if (c.cancel) {
            dns.Cancel(c.group);
        }
    }
    for (Case& c : cases) {
        auto ended = c.ended.get_future();
        ASSERT_EQ(ended.wait_for(std::chrono::seconds(5)), std::future_status::ready) << c.name;
        auto [answer, at] = ended.get();
        EXPECT_EQ(answer.status, net::DnsAnswer::Status::kTemporary) << c.name;
        EXPECT_EQ(answer.error, c.error) << c.name;
        EXPECT_GE(at - start, c.least) << c.name;
        EXPECT_LT(at - start, c.most) << c.name;
    }
    close(silent);
}

// Past its bound the hub takes no more messages until one is done, and says so once a minute
// however many it turns away.
TEST(InboundCheckHub, BacklogIsBoundedAndLoggedOncePerMinute) {
    ::TempAppDir app;
    EventLog log(app.File("log"), "smtp");
    log.Configure(true, 7);
    InboundCheckHub hub(log, 2);
    const bool expected[] = {true, true, false, false, true, false};
    for (size_t i = 0; i < std::size(expected); ++i) {
        if (i == 4) {
            hub.Release();  // one message's lookups ended
        }
        EXPECT_EQ(hub.Admit(), expected[i]) << i;
    }
    log.Flush();
    std::string text;
    for (auto& entry : std::filesystem::directory_iterator(app.File("log"))) {
        text += send::testing::ReadFile(entry.path().string());
    }
    const std::string line = "Inbound checks: 2 messages already wait for DNS";
    ASSERT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line, text.find(line) + 1), std::string::npos) << text;
}

}  // namespace
}  // namespace relvo::mail::smtp
