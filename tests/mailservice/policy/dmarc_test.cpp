// DMARC records, organizational domains and the evaluation, with DNS answered from tables.
#include <gtest/gtest.h>

#include <map>

#include "policy/dmarc.h"
#include "policy/from_field.h"
#include "policy/org_domain.h"

using namespace relvo::mail::policy;

namespace {

TxtAnswer Records(std::vector<std::string> texts) {
    return {TxtAnswer::Status::kRecords, std::move(texts)};
}
const TxtAnswer kTemporary{TxtAnswer::Status::kTemporary, {}};

// Names missing from the table have no records; every name asked is remembered.
struct DnsTable {
    std::map<std::string, TxtAnswer> answers;
    std::vector<std::string> asked;
    TxtLookup Lookup() {
        return [this](const std::string& name) {
            asked.push_back(name);
            const auto found = answers.find(name);
            return found != answers.end() ? found->second
                                          : TxtAnswer{TxtAnswer::Status::kNoRecords, {}};
        };
    }
};

TEST(DmarcRecord, TagsAndTheirBadValues) {
    const std::string tooLong = "v=DMARC1; p=reject; x=" + std::string(kMaxRecordText, 'a');
    std::string hundredRua = "v=DMARC1; p=none; rua=https://example.com/r";
    for (int i = 0; i < 100; ++i) {
        hundredRua += ",mailto:r" + std::to_string(i) + "@example.com";
    }
    struct Case {
        std::string text;
        RecordStatus status;
        DmarcPolicy p = DmarcPolicy::kNone;
        DmarcPolicy sp = DmarcPolicy::kNone;
        int pct = 100;
        bool pFromRua = false;
        std::vector<std::string> rua = {};
    } cases[] = {
        {"v=DMARC1; p=reject; sp=none; adkim=s; aspf=s; pct=50; rua=mailto:a@example.com!10m; "
         "fo=1:d",
         RecordStatus::kValid,
         DmarcPolicy::kReject,
         DmarcPolicy::kNone,
         50,
         false,
         {"a@example.com"}},
        {"v = DMARC1 ;P=Quarantine;", RecordStatus::kValid, DmarcPolicy::kQuarantine,
         DmarcPolicy::kQuarantine},
        {"v=DMARC1; p=reject; pct=250", RecordStatus::kValid, DmarcPolicy::kReject,
         DmarcPolicy::kReject},
        {"v=DMARC1; p=reject; pct=-5; adkim=x; ri=soon; fo=9", RecordStatus::kValid,
         DmarcPolicy::kReject, DmarcPolicy::kReject},
        {"v=DMARC1; p=reject; future=tag; garbage; p=none", RecordStatus::kValid,
         DmarcPolicy::kReject, DmarcPolicy::kReject},
        {"p=reject; v=DMARC1", RecordStatus::kNotDmarc},
        {"v=dmarc1; p=reject", RecordStatus::kNotDmarc},
        {"v=spf1 -all", RecordStatus::kNotDmarc},
        {tooLong, RecordStatus::kNotDmarc},
        {"v=DMARC1; p=bogus", RecordStatus::kNoPolicy},
        {"v=DMARC1; pct=10", RecordStatus::kNoPolicy},
        {"v=DMARC1; p=bogus; rua=mailto:r@example.com",
         RecordStatus::kValid,
         DmarcPolicy::kNone,
         DmarcPolicy::kNone,
         100,
         true,
         {"r@example.com"}},
        {"v=DMARC1; rua=mailto:r@example.com",
         RecordStatus::kValid,
         DmarcPolicy::kNone,
         DmarcPolicy::kNone,
         100,
         true,
         {"r@example.com"}},
        {"v=DMARC1; p=reject; sp=bogus; rua=mailto:r@example.com",
         RecordStatus::kValid,
         DmarcPolicy::kNone,
         DmarcPolicy::kNone,
         100,
         true,
         {"r@example.com"}},
        {"v=DMARC1; p=reject; sp=bogus", RecordStatus::kNoPolicy},
        {hundredRua,
         RecordStatus::kValid,
         DmarcPolicy::kNone,
         DmarcPolicy::kNone,
         100,
         false,
         {"r0@example.com", "r1@example.com"}},
        {"v=DMARC1; p=none; rua=mailto:dmarc%2Breports@Example.COM?subject=x, "
         "mailto:<x>@example.com, "
         "mailto:a@b@example.com, mailto:ok@example.net!big, mailto:last@example.org!1k",
         RecordStatus::kValid,
         DmarcPolicy::kNone,
         DmarcPolicy::kNone,
         100,
         false,
         {"dmarc+reports@example.com", "last@example.org"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        const ParsedRecord parsed = ParseDmarcRecord(c.text);
        ASSERT_EQ(parsed.status, c.status);
        if (c.status != RecordStatus::kValid) {
            continue;
        }
        EXPECT_EQ(parsed.record.p, c.p);
        EXPECT_EQ(parsed.record.sp, c.sp);
        EXPECT_EQ(parsed.record.pct, c.pct);
        EXPECT_EQ(parsed.record.pFromRua, c.pFromRua);
        std::vector<std::string> rua;
        for (const ReportUri& uri : parsed.record.rua) {
            rua.push_back(uri.address);
        }
        EXPECT_EQ(rua, c.rua);
    }
    const DmarcRecord full = ParseDmarcRecord(cases[0].text).record;
    EXPECT_EQ(full.adkim, Alignment::kStrict);
    EXPECT_EQ(full.aspf, Alignment::kStrict);
    EXPECT_EQ(full.rua[0].maxBytes, 10u << 20);
    EXPECT_EQ(full.fo, "1:d");
    const DmarcRecord defaults = ParseDmarcRecord(cases[3].text).record;
    EXPECT_EQ(defaults.adkim, Alignment::kRelaxed);
    EXPECT_EQ(defaults.ri, 86400u);
    EXPECT_EQ(defaults.fo, "0");
    EXPECT_EQ(ParseDmarcRecord(cases[16].text).record.rua[1].maxBytes, 1024u);
}

TEST(DmarcRecord, OneRecordPerName) {
    const std::string valid = "v=DMARC1; p=reject";
    EXPECT_EQ(SelectDmarcRecord({}).status, Selection::kNone);
    EXPECT_EQ(SelectDmarcRecord({"v=spf1 -all", "site-verification=x"}).status, Selection::kNone);
    EXPECT_EQ(SelectDmarcRecord({"v=spf1 -all", valid}).status, Selection::kValid);
    EXPECT_EQ(SelectDmarcRecord({valid, "v=DMARC1; p=none"}).status, Selection::kMultiple);
    EXPECT_EQ(SelectDmarcRecord({valid, "v=DMARC1; p=bogus"}).status, Selection::kMultiple);
    EXPECT_EQ(SelectDmarcRecord({"v=DMARC1; p=bogus"}).status, Selection::kNoPolicy);
}

TEST(DmarcDomains, NormalizedAndOrganizational) {
    const std::pair<std::string, std::string> organizational[] = {
        {"a.b.example.co.uk", "example.co.uk"},
        {"example.co.uk", "example.co.uk"},
        {"mail.example.com", "example.com"},
        {"example.com", "example.com"},
        {"co.uk", "co.uk"},
        {"x.y.unlisted-tld", "y.unlisted-tld"},
    };
    for (const auto& [domain, expected] : organizational) {
        EXPECT_EQ(OrganizationalDomain(domain), expected) << domain;
    }
    EXPECT_EQ(NormalizeDomain("Mail.Example.COM."), "mail.example.com");
    const std::string label63(63, 'a');
    const std::string longest =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    EXPECT_EQ(NormalizeDomain(longest), longest);
    for (const std::string& bad : std::vector<std::string>{
             std::string(), longest + "b", "." + label63 + "a.com", "a..com", "-a.com", "a-.com",
             "a b.com", "a_b.com", "bücher.de", "a.com.."}) {
        EXPECT_FALSE(NormalizeDomain(bad).has_value()) << bad;
    }
}

TEST(DmarcFromField, OneDomainPerMailbox) {
    using Domains = std::vector<std::string>;
    const std::pair<std::vector<std::string_view>, Domains> cases[] = {
        {{"alice@example.com"}, {"example.com"}},
        {{" \"Doe, Jane <x@evil.test>\" <jane@Example.COM> (at work, a@b.test)"}, {"Example.COM"}},
        {{"\"a@b\"@quoted.test"}, {"quoted.test"}},
        {{"Alice <alice@example.com>,\r\n\tBob <bob@example.net>"}, {"example.com", "example.net"}},
        {{"alice@example.com", "bob@example.net"}, {"example.com", "example.net"}},
        {{"team: a@one.test, b@two.test;"}, {"one.test", "two.test"}},
        {{"undisclosed"}, {""}},
        {{"", " (nobody) "}, {}},
        {{"a@x.test,b@x.test,c@x.test,d@x.test,e@x.test,f@x.test,g@x.test,h@x.test,i@x.test,j@x."
          "test"},
         Domains(kMaxFromMailboxes, "x.test")},
    };
    for (const auto& [fields, expected] : cases) {
        EXPECT_EQ(FromDomains(fields), expected) << fields.front();
    }
}

struct EvalCase {
    std::string name;
    std::vector<std::string> from;
    std::vector<DkimCheck> dkim;
    SpfCheck spf;
    std::map<std::string, TxtAnswer> dns;
    int percent;
    DmarcResult result;
    std::string policyDomain;
    DmarcAction action;
    std::string authResults;
};

TEST(DmarcEvaluation, PolicyAlignmentAndAction) {
    const auto pass = AuthResult::kPass;
    const auto fail = AuthResult::kFail;
    const std::map<std::string, TxtAnswer> reject = {
        {"_dmarc.example.com", Records({"v=DMARC1; p=reject"})}};
    const std::map<std::string, TxtAnswer> strict = {
        {"_dmarc.example.com", Records({"v=DMARC1; p=reject; adkim=s; aspf=s"})}};
    const std::map<std::string, TxtAnswer> sampled = {
        {"_dmarc.example.com", Records({"v=DMARC1; p=reject; pct=30"})}};
    const SpfCheck noSpf{"", SpfScope::kMailFrom, AuthResult::kNone};
    const EvalCase cases[] = {
        {"relaxed DKIM of a subdomain signer",
         {"example.com"},
         {{"mail.example.com", "s1", pass}},
         noSpf,
         reject,
         0,
         DmarcResult::kPass,
         "example.com",
         DmarcAction::kNone,
         "dmarc=pass header.from=example.com policy.dmarc=reject"},
        {"strict DKIM needs the same name",
         {"example.com"},
         {{"mail.example.com", "s1", pass}},
         noSpf,
         strict,
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kReject,
         "dmarc=fail header.from=example.com policy.dmarc=reject"},
        {"a failed aligned signature and a passing foreign one",
         {"Example.COM"},
         {{"example.com", "s1", fail}, {"other.example", "s1", pass}},
         noSpf,
         reject,
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kReject,
         ""},
        {"SPF alone, relaxed",
         {"example.com"},
         {},
         {"bounces.example.com", SpfScope::kMailFrom, pass},
         reject,
         0,
         DmarcResult::kPass,
         "example.com",
         DmarcAction::kNone,
         ""},
        {"SPF alone, strict",
         {"example.com"},
         {},
         {"bounces.example.com", SpfScope::kMailFrom, pass},
         strict,
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kReject,
         ""},
        {"SPF pass for a foreign domain",
         {"example.com"},
         {},
         {"example.net", SpfScope::kHelo, pass},
         reject,
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kReject,
         ""},
        {"organizational domain across a two-label suffix",
         {"a.b.example.co.uk"},
         {{"example.co.uk", "s", pass}},
         noSpf,
         {{"_dmarc.example.co.uk", Records({"v=DMARC1; p=quarantine"})}},
         0,
         DmarcResult::kPass,
         "example.co.uk",
         DmarcAction::kNone,
         ""},
        {"a subdomain takes sp",
         {"news.example.com"},
         {},
         noSpf,
         {{"_dmarc.example.com", Records({"v=DMARC1; p=reject; sp=quarantine"})}},
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kQuarantine,
         "dmarc=fail header.from=news.example.com policy.dmarc=quarantine"},
        {"a subdomain's own record takes p",
         {"news.example.com"},
         {},
         noSpf,
         {{"_dmarc.news.example.com", Records({"v=DMARC1; p=none"})},
          {"_dmarc.example.com", Records({"v=DMARC1; p=reject; sp=reject"})}},
         0,
         DmarcResult::kFail,
         "news.example.com",
         DmarcAction::kNone,
         ""},
        {"inside pct",
         {"example.com"},
         {},
         noSpf,
         sampled,
         29,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kReject,
         ""},
        {"outside pct: one step milder",
         {"example.com"},
         {},
         noSpf,
         sampled,
         30,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kQuarantine,
         ""},
        {"pct=0 quarantine",
         {"example.com"},
         {},
         noSpf,
         {{"_dmarc.example.com", Records({"v=DMARC1; p=quarantine; pct=0"})}},
         0,
         DmarcResult::kFail,
         "example.com",
         DmarcAction::kNone,
         ""},
        {"DNS failure for the From domain",
         {"example.com"},
         {},
         noSpf,
         {{"_dmarc.example.com", kTemporary}},
         0,
         DmarcResult::kTemperror,
         "",
         DmarcAction::kNone,
         "dmarc=temperror header.from=example.com"},
        {"DNS failure for the organizational domain",
         {"news.example.com"},
         {},
         noSpf,
         {{"_dmarc.example.com", kTemporary}},
         0,
         DmarcResult::kTemperror,
         "",
         DmarcAction::kNone,
         ""},
        {"aligned DKIM with a temporary error",
         {"example.com"},
         {{"example.com", "s1", AuthResult::kTemperror}},
         noSpf,
         reject,
         0,
         DmarcResult::kTemperror,
         "example.com",
         DmarcAction::kNone,
         ""},
        {"no record anywhere",
         {"news.example.com"},
         {},
         noSpf,
         {},
         0,
         DmarcResult::kNone,
         "",
         DmarcAction::kNone,
         "dmarc=none header.from=news.example.com"},
        {"two records: no policy, and no look further",
         {"news.example.com"},
         {},
         noSpf,
         {{"_dmarc.news.example.com", Records({"v=DMARC1; p=none", "v=DMARC1; p=reject"})},
          {"_dmarc.example.com", Records({"v=DMARC1; p=reject"})}},
         0,
         DmarcResult::kNone,
         "",
         DmarcAction::kNone,
         ""},
        {"two From addresses",
         {"example.com", "example.net"},
         {{"example.com", "s", pass}},
         noSpf,
         reject,
         0,
         DmarcResult::kPermerror,
         "",
         DmarcAction::kNone,
         "dmarc=permerror"},
        {"no From address",
         {},
         {},
         noSpf,
         reject,
         0,
         DmarcResult::kPermerror,
         "",
         DmarcAction::kNone,
         "dmarc=permerror"},
        {"a From domain that is no name",
         {"exa mple.com"},
         {},
         noSpf,
         reject,
         0,
         DmarcResult::kPermerror,
         "",
         DmarcAction::kNone,
         ""},
        {"a From domain over 253 characters",
         {std::string(250, 'a') + ".com"},
         {},
         noSpf,
         reject,
         0,
         DmarcResult::kPermerror,
         "",
         DmarcAction::kNone,
         ""},
    };
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(c.name);
        DnsTable dns{c.dns, {}};
        int draws = 0;
        const DmarcInput input{c.from, c.dkim, c.spf};
        const DmarcOutcome outcome = EvaluateDmarc(input, dns.Lookup(), [&] {
            ++draws;
            return c.percent;
        });
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.policyDomain, c.policyDomain);
        EXPECT_EQ(outcome.action, c.action);
        EXPECT_EQ(outcome.sampledOut,
                  c.name.starts_with("outside pct") || c.name.starts_with("pct=0"));
        // The sample is drawn only for a failing message under a pct below 100.
        EXPECT_EQ(draws, outcome.result == DmarcResult::kFail && outcome.record.pct < 100 &&
                             outcome.policy != DmarcPolicy::kNone);
        if (!c.authResults.empty()) {
            EXPECT_EQ(DmarcAuthResults(outcome), c.authResults);
        }
        if (c.result == DmarcResult::kPermerror) {
            EXPECT_TRUE(dns.asked.empty());
        }
        // Fetched ahead, as a caller on an asynchronous resolver does: the same outcome, and every
        // name the evaluation asked was among those fetched.
        std::map<std::string, TxtAnswer> fetched;
        for (const std::string& name : PolicyRecordNames(c.from.empty() ? "" : c.from.front())) {
            fetched[name] = dns.Lookup()(name);
        }
        const DmarcOutcome ahead =
            EvaluateDmarc(input, AnswersFrom(fetched), [&] { return c.percent; });
        EXPECT_EQ(std::make_tuple(ahead.result, ahead.policyDomain, ahead.action),
                  std::make_tuple(outcome.result, outcome.policyDomain, outcome.action));
    }
}

TEST(DmarcEvaluation, ExternalReportDestination) {
    DnsTable dns;
    dns.answers["example.com._report._dmarc.reports.example.net"] = Records({"v=DMARC1"});
    dns.answers["example.com._report._dmarc.spf.example.org"] = Records({"v=spf1 -all"});
    dns.answers["example.com._report._dmarc.slow.example"] = kTemporary;
    const std::pair<std::string, Destination> cases[] = {
        {"dmarc@example.com", Destination::kAuthorized},
        {"dmarc@reports.mail.example.com", Destination::kAuthorized},
        {"dmarc@reports.example.net", Destination::kAuthorized},
        {"dmarc@spf.example.org", Destination::kRefused},
        {"dmarc@elsewhere.example", Destination::kRefused},
        {"dmarc@slow.example", Destination::kTemporary},
        {"no-domain", Destination::kRefused},
    };
    for (const auto& [address, expected] : cases) {
        EXPECT_EQ(VerifyReportDestination("example.com", address, dns.Lookup()), expected)
            << address;
    }
    // Only the four foreign organizations were asked about.
    EXPECT_EQ(dns.asked.size(), 4u);
}

}  // namespace
