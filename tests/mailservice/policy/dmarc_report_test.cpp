// The report store's bounds across restarts, and the reports it builds: gzip of a document valid
// against the aggregate report schema (xmllint), with the counts that were stored.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "policy/dmarc_report.h"
#include "policy/org_domain.h"
#include "support/temp_app_dir.h"

using namespace relvo::mail::policy;

namespace {

const auto kDay = std::chrono::sys_days{std::chrono::year{2026} / 12 / 7};
const std::int64_t kDayNumber = kDay.time_since_epoch().count();

std::string Gunzip(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

// One message from source, evaluated against the record with DKIM and SPF as given.
struct Message {
    std::string from;
    std::string record;
    std::string source;
    AuthResult dkim;
    AuthResult spf;
};

class DmarcReportTest : public ::testing::Test {
  protected:
    bool Add(const Message& m, int percent = 0, DmarcReportStore* store = nullptr) {
        // The record is published at the organizational domain.
        const TxtLookup dns = [&](const std::string& name) {
            return name == "_dmarc." + OrganizationalDomain(m.from)
                       ? TxtAnswer{TxtAnswer::Status::kRecords, {m.record}}
                       : TxtAnswer{TxtAnswer::Status::kNoRecords, {}};
        };
        const DmarcInput input{
            {m.from}, {{m.from, "sel", m.dkim}}, {m.from, SpfScope::kMailFrom, m.spf}};
        const DmarcOutcome outcome = EvaluateDmarc(input, dns, [percent] { return percent; });
        return (store != nullptr ? *store : store_)
            .Add(input, outcome, m.source, kDay + std::chrono::hours(13));
    }

    TempAppDir app_;
    DmarcReportStore store_{DmarcStoreDir()};
};

TEST_F(DmarcReportTest, ReportsFollowTheSchemaAndCountWhatWasStored) {
    const std::string ours = "v=DMARC1; p=reject; pct=50; rua=mailto:agg@example.com";
    const std::string external =
        "v=DMARC1; p=quarantine; sp=none; adkim=s; rua=mailto:r@reports.example.net, "
        "mailto:x@slow.example";
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(
            Add({"example.com", ours, "203.0.113.5", AuthResult::kPass, AuthResult::kPass}));
    }
    EXPECT_TRUE(
        Add({"example.com", ours, "2001:db8::1", AuthResult::kFail, AuthResult::kFail}, 70));
    EXPECT_TRUE(
        Add({"mail.example.org", external, "198.51.100.7", AuthResult::kFail, AuthResult::kNone}));
    EXPECT_FALSE(Add({"example.com", "v=DMARC1; p=reject", "203.0.113.5", AuthResult::kPass,
                      AuthResult::kPass}));  // no rua: nothing to report
    EXPECT_EQ(store_.Dropped(), 0u);

    bool slowAnswers = false;
    const TxtLookup dns = [&](const std::string& name) {
        if (name == "example.org._report._dmarc.reports.example.net") {
            return TxtAnswer{TxtAnswer::Status::kRecords, {"v=DMARC1"}};
        }
        if (name == "example.org._report._dmarc.slow.example") {
            return slowAnswers ? TxtAnswer{TxtAnswer::Status::kRecords, {"v=DMARC1;"}}
                               : TxtAnswer{TxtAnswer::Status::kTemporary, {}};
        }
        return TxtAnswer{TxtAnswer::Status::kNoRecords, {}};
    };
    const auto reporter = ReporterFromSetting("\"Relvo Mail & Co\" <dmarc@mx.example.net>");
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->domain, "mx.example.net");
    EXPECT_EQ(ReporterFromSetting("dmarc@MX.example.net")->orgName, "mx.example.net");
    EXPECT_EQ(ReporterFromSetting("\"Caf\xe9\" <r@mx.example.net>")->orgName, "mx.example.net");
    EXPECT_FALSE(ReporterFromSetting("Reports <nobody>"));
    const std::vector<AggregateReport> reports =
        BuildDailyReports(store_, kDayNumber, *reporter, dns);
    ASSERT_EQ(reports.size(), 2u);

    const std::int64_t begin = kDayNumber * 86400;
    const std::map<std::string, std::pair<int, int>> expected = {{"example.com", {2, 4}},
                                                                 {"example.org", {1, 1}}};
    for (const AggregateReport& report : reports) {
        SCOPED_TRACE(report.policyDomain);
        EXPECT_EQ(Gunzip(report.gzip), report.xml);
        const std::string path = app_.File(report.fileName);
        std::ofstream(path) << report.xml;
        const std::string check =
            "xmllint --noout --schema '" DMARC_SCHEMA "' '" + path + "' 2>/dev/null";
        EXPECT_EQ(std::system(check.c_str()), 0) << report.xml;

        int records = 0;
        int messages = 0;
        const std::regex count("<count>([0-9]+)</count>");
        for (std::sregex_iterator it(report.xml.begin(), report.xml.end(), count), end; it != end;
             ++it) {
            ++records;
            messages += std::stoi((*it)[1]);
        }
        EXPECT_EQ(std::make_pair(records, messages), expected.at(report.policyDomain));
        EXPECT_EQ(report.fileName, "mx.example.net!" + report.policyDomain + "!" +
                                       std::to_string(begin) + "!" + std::to_string(begin + 86399) +
                                       ".xml.gz");
        EXPECT_EQ(report.subject, "Report Domain: " + report.policyDomain +
                                      " Submitter: mx.example.net Report-ID: <" + report.reportId +
                                      ">");
    }
    EXPECT_EQ(reports[0].recipients, std::vector<std::string>{"agg@example.com"});
    EXPECT_NE(reports[0].xml.find("<source_ip>2001:db8:0:0:0:0:0:1</source_ip>"),
              std::string::npos);
    EXPECT_NE(reports[0].xml.find("<type>sampled_out</type>"), std::string::npos);
    EXPECT_NE(reports[0].xml.find("<disposition>quarantine</disposition>"), std::string::npos);
    EXPECT_NE(reports[0].xml.find("<org_name>Relvo Mail &amp; Co</org_name>"), std::string::npos);
    // The destination whose DNS did not answer is left for a later run.
    EXPECT_EQ(reports[1].recipients, std::vector<std::string>{"r@reports.example.net"});
    EXPECT_NE(reports[1].xml.find("<sp>none</sp>"), std::string::npos);

    slowAnswers = true;
    const auto later = BuildDailyReports(store_, kDayNumber, *reporter, dns);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].recipients, std::vector<std::string>{"x@slow.example"});
    // Every destination had its report: no more that day, in this process or the next.
    EXPECT_TRUE(BuildDailyReports(store_, kDayNumber, *reporter, dns).empty());
    DmarcReportStore restarted(DmarcStoreDir());
    EXPECT_TRUE(BuildDailyReports(restarted, kDayNumber, *reporter, dns).empty());
}

TEST_F(DmarcReportTest, ReportsPerDomainAndDayAreBounded) {
    const std::vector<std::string> many = {"a@example.com", "b@example.com", "c@example.com"};
    EXPECT_EQ(store_.ClaimReports(kDayNumber, "example.com", {"a@example.com"}).size(), 1u);
    EXPECT_EQ(store_.ClaimReports(kDayNumber, "example.com", many),
              std::vector<std::string>{"b@example.com"});
    DmarcReportStore restarted(DmarcStoreDir());
    EXPECT_TRUE(restarted.ClaimReports(kDayNumber, "example.com", {"d@example.com"}).empty());
    EXPECT_EQ(restarted.ClaimReports(kDayNumber + 1, "example.com", many).size(), 2u);
    EXPECT_EQ(restarted.ClaimReports(kDayNumber, "example.net", many).size(), 2u);
}

TEST_F(DmarcReportTest, DistinctRowsAreBoundedAndRepeatsStillCount) {
    const std::string record = "v=DMARC1; p=none; rua=mailto:agg@example.com";
    auto source = [](int i) {
        return "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1";
    };
    for (int i = 0; i < static_cast<int>(kMaxRowsPerDay); ++i) {
        ASSERT_TRUE(Add({"example.com", record, source(i), AuthResult::kPass, AuthResult::kPass}));
    }
    EXPECT_FALSE(Add({"example.com", record, source(10000), AuthResult::kPass, AuthResult::kPass}));
    EXPECT_FALSE(
        Add({"example.com", record, "not-an-address", AuthResult::kPass, AuthResult::kPass}));
    EXPECT_TRUE(Add({"example.com", record, source(7), AuthResult::kPass, AuthResult::kPass}));
    EXPECT_EQ(store_.Dropped(), 2u);

    // A torn last line (a crash mid-write) and a hostile line are skipped; the bound holds after a
    // restart, and repeats still count there.
    const std::string file = DmarcStoreDir() + "/" + UtcDayName(kDayNumber) + ".rows";
    std::ofstream(file, std::ios::app)
        << "R\t10000\texample.com\t<script>\n+7\n+99999\nR\t10000\texa";
    DmarcReportStore restarted(DmarcStoreDir());
    EXPECT_FALSE(Add({"example.com", record, source(10001), AuthResult::kPass, AuthResult::kPass},
                     0, &restarted));
    EXPECT_TRUE(Add({"example.com", record, source(8), AuthResult::kPass, AuthResult::kPass}, 0,
                    &restarted));
    store_.RemoveDaysBefore(0);  // nothing so old
    DayRows day = restarted.ReadDay(kDayNumber);
    ASSERT_EQ(day.rows.size(), kMaxRowsPerDay);
    EXPECT_EQ(day.rows[7].count, 3u);
    EXPECT_EQ(day.rows[8].count, 2u);
    EXPECT_EQ(day.rows[9].count, 1u);
    EXPECT_EQ(day.rows[7].sourceAddress, "10.0.7.1");

    restarted.RemoveDaysBefore(kDayNumber + 1);
    EXPECT_TRUE(restarted.ReadDay(kDayNumber).rows.empty());
}

}  // namespace
