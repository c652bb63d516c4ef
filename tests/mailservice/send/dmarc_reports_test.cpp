// The daily DMARC aggregate reports end to end: rows stored for yesterday go out when the SEND
// service starts, through dnsmasq's answers (the policy's rua, the external destination's consent,
// its MX) to an aiosmtpd exchanger, as a mail signed for the reporter's local domain whose gzip
// attachment holds a schema-valid document with the stored counts; a second run sends nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/engine_config.h"
#include "policy/dmarc_report.h"
#include "send/dmarc_reports.h"
#include "send/send_settings.h"
#include "send_test_support.h"
#include "support/temp_app_dir.h"

namespace relvo::mail::send {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

const std::string kPolicy = "v=DMARC1; p=quarantine; rua=mailto:reports@rua.test";
// Names rua.test too, which never agreed to take its reports.
const std::string kUnauthorized = "v=DMARC1; p=none; rua=mailto:reports@rua.test";

// One evaluated message of the day, counted in the store as the receiving side does.
struct Message {
    std::string from;
    std::string record;
    std::string source;
    policy::AuthResult dkim;
};

bool Store(policy::DmarcReportStore& store, const Message& m, Clock::time_point when) {
    const policy::TxtLookup dns = [&m](const std::string& name) {
        return name == "_dmarc." + m.from
                   ? policy::TxtAnswer{policy::TxtAnswer::Status::kRecords, {m.record}}
                   : policy::TxtAnswer{policy::TxtAnswer::Status::kNoRecords, {}};
    };
    const policy::DmarcInput input{
        {m.from},
        {{m.from, "sel", m.dkim}},
        {m.from, policy::SpfScope::kMailFrom, policy::AuthResult::kNone}};
    const policy::DmarcOutcome outcome = policy::EvaluateDmarc(input, dns, [] { return 0; });
    return store.Add(input, outcome, m.source, when);
}

TEST(DmarcReportDay, IsTheLastDayEndedAMinuteAgo) {
    const auto day = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8};
    const std::int64_t today = day.time_since_epoch().count();
    const struct {
        Clock::duration sinceMidnight;
        std::int64_t expected;
    } cases[] = {{30s, today - 2}, {60s, today - 1}, {23h + 59min, today - 1}, {24h + 60s, today}};
    for (const auto& c : cases) {
        EXPECT_EQ(DmarcReportDay(day + c.sinceMidnight), c.expected)
            << std::chrono::duration_cast<std::chrono::seconds>(c.sinceMidnight).count();
    }
}

TEST(DmarcReports, YesterdaysReportGoesOutSignedOnceAndValid) {
    TempAppDir app;
    const int port = testing::FreePort();
    const int dnsPort = testing::FreePort();
    const std::string key =
        testing::DkimKey(app.File("dkim/sign.test/s1.key"), "sign.test", "s1", "ED25519");
    ASSERT_FALSE(key.empty());
    auto dns =
        testing::Dnsmasq(dnsPort, {"--txt-record=_dmarc.policy.test," + kPolicy,
                                   "--txt-record=policy.test._report._dmarc.rua.test,v=DMARC1",
                                   "--txt-record=_dmarc.other.test," + kUnauthorized,
                                   "--mx-host=rua.test,mx.rua.test,10",
                                   "--host-record=mx.rua.test,127.0.0.7", key, "--local=/test/"});
    ASSERT_TRUE(dns->Ready("started")) << dns->Output();
    const std::string peerDir = app.File("peer");
    std::filesystem::create_directories(peerDir);
    testing::Child peer(
        {"/usr/bin/python3", SEND_PEER_SCRIPT, "127.0.0.7", std::to_string(port), peerDir});
    ASSERT_TRUE(peer.Ready("ready")) << peer.Output();
    SetExchangerPortForTesting(port);
    const auto config = [&](const std::string& reporter) {
        app.Write("relvoconsole.cfg",
                  "[System]\r\nDnsServer=127.0.0.1:" + std::to_string(dnsPort) +
                      "\r\nHELOString=relvo.test\r\nLogSend=1\r\nSmtpPort=1\r\nDmarcReportFrom=" +
                      reporter +
                      "\r\n[DomainList]\r\nsign.test=1\r\n[DomainInfo]\r\n"
                      "sign.test_DkimSelector=s1\r\n");
    };
    config("DMARC Reports <dmarc@sign.test>");

    const std::int64_t day = DmarcReportDay(Clock::now());
    const auto noon = Clock::time_point(std::chrono::sys_days(std::chrono::days(day))) + 12h;
    {
        policy::DmarcReportStore store(policy::DmarcStoreDir());
        for (const Message& m :
             {Message{"policy.test", kPolicy, "192.0.2.1", policy::AuthResult::kPass},
              Message{"policy.test", kPolicy, "192.0.2.1", policy::AuthResult::kPass},
              Message{"policy.test", kPolicy, "192.0.2.1", policy::AuthResult::kPass},
              Message{"policy.test", kPolicy, "192.0.2.2", policy::AuthResult::kFail},
              Message{"other.test", kUnauthorized, "192.0.2.3", policy::AuthResult::kFail}}) {
            ASSERT_TRUE(Store(store, m, noon));
        }
        // Last week's rows are pruned by the run.
        ASSERT_TRUE(Store(store, {"policy.test", kPolicy, "192.0.2.9", policy::AuthResult::kPass},
                          noon - std::chrono::days(7)));
    }
    const std::string staleRows =
        policy::DmarcStoreDir() + "/" + policy::UtcDayName(day - 7) + ".rows";
    ASSERT_TRUE(std::filesystem::exists(staleRows));

    testing::RecordingWindow window;
    SendService& service = testing::Engine().send;
    service.SetWindow(window.Handle(), RELVOMAIL_PROGRESS_MESSAGE);
    ASSERT_TRUE(service.Start(2));
    ASSERT_TRUE(WaitUntil([&] { return !testing::ReadReceived(peerDir).empty(); }))
        << window.Text();
    ASSERT_TRUE(window.WaitFor("DMARC report for policy.test queued as mail", 10s));
    EXPECT_FALSE(std::filesystem::exists(staleRows));

    const std::vector<testing::Received> got = testing::ReadReceived(peerDir);
    ASSERT_EQ(got.size(), 1u);  // other.test's destination never agreed
    EXPECT_EQ(got[0].from, "dmarc@sign.test");
    EXPECT_EQ(got[0].to, std::vector<std::string>{"reports@rua.test"});
    EXPECT_EQ(testing::DkimVerdicts(got[0].message, dnsPort, "aggregate", "aggregated"),
              "True False\n")
        << got[0].message;

    // The attachment as a mail reader takes it, and the document inside.
    const std::string xmlFile = app.File("report.xml");
    int status = 0;
    const std::string parts = testing::RunPython(
        "import email,email.policy,gzip,sys\n"
        "m=email.message_from_bytes(sys.stdin.buffer.read(),policy=email.policy.default)\n"
        "print(m.get_content_type()); print(m['Subject']); print(bool(m['Date']), "
        "bool(m['Message-ID']))\n"
        "for p in m.walk():\n"
        "  if p.get_content_type()=='text/plain': print('text', 'DMARC' in p.get_payload())\n"
        "  if p.get_content_type()=='application/gzip':\n"
        "    print(p.get_content_disposition(), p.get_filename())\n"
        "    open('" +
            xmlFile + "','wb').write(gzip.decompress(p.get_payload(decode=True)))\n",
        got[0].message, &status);
    EXPECT_EQ(status, 0);
    const std::string begin = std::to_string(day * 86400);
    const std::string end = std::to_string(day * 86400 + 86399);
    const std::string id = policy::UtcDayName(day) + ".policy.test@sign.test";
    EXPECT_EQ(parts,
              "multipart/mixed\n"
              "Report Domain: policy.test Submitter: sign.test Report-ID: <" +
                  id +
                  ">\n"
                  "True True\n"
                  "text True\n"
                  "attachment sign.test!policy.test!" +
                  begin + "!" + end + ".xml.gz\n");
    const std::string check =
        "xmllint --noout --schema '" DMARC_SCHEMA "' '" + xmlFile + "' 2>/dev/null";
    EXPECT_EQ(std::system(check.c_str()), 0);
    const std::string xml = testing::ReadFile(xmlFile);
    std::map<std::string, int> counts;
    const std::regex row("<source_ip>([^<]+)</source_ip>\\s*<count>([0-9]+)</count>");
    for (std::sregex_iterator it(xml.begin(), xml.end(), row), last; it != last; ++it) {
        counts[(*it)[1]] += std::stoi((*it)[2]);
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{{"192.0.2.1", 3}, {"192.0.2.2", 1}})) << xml;

    // Run again for the same day (a restart, or the next pass): the day's bound is spent.
    std::string error;
    QueueLease lease = testing::Engine().queue.Acquire(QueueDir(), &error);
    ASSERT_TRUE(lease) << error;
    std::vector<std::string> lines;
    const Transcript log = [&lines](std::string_view line) { lines.emplace_back(line); };
    EXPECT_EQ(QueueDmarcReports(day, lease.Store(), log), 0u);
    EXPECT_TRUE(lines.empty());
    // A reporter that is no address sends nothing and says why.
    config("Reports <nobody>");
    EXPECT_EQ(QueueDmarcReports(day, lease.Store(), log), 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("holds no valid address"), std::string::npos) << lines[0];
    lease.Reset();
    service.Stop();
    EXPECT_EQ(testing::ReadReceived(peerDir).size(), 1u);
}

}  // namespace
}  // namespace relvo::mail::send
