// The evaluation over c-ares, with dnsmasq on loopback answering the policy records.
#include <gtest/gtest.h>

#include "mailservice/send/send_test_support.h"
#include "policy/dmarc_dns.h"

using namespace relvo::mail;
using namespace relvo::mail::policy;

namespace {

TEST(DmarcDns, EvaluationOverRealDns) {
    const int port = send::testing::FreePort();
    auto dns = send::testing::Dnsmasq(
        port, {"--txt-record=_dmarc.example.test,v=DMARC1; p=reject;, rua=mailto:agg@example.test",
               "--txt-record=_dmarc.two.test,v=DMARC1; p=none",
               "--txt-record=_dmarc.two.test,v=DMARC1; p=reject", "--local=/test/"});
    ASSERT_TRUE(dns->Ready("started")) << dns->Output();
    net::DnsSettings settings;
    settings.server = "127.0.0.1:" + std::to_string(port);
    settings.timeout = std::chrono::seconds(5);
    const TxtLookup lookup = DnsTxtLookup(settings);

    const TxtAnswer joined = lookup("_dmarc.example.test");
    ASSERT_EQ(joined.status, TxtAnswer::Status::kRecords);
    EXPECT_EQ(joined.records,
              std::vector<std::string>{"v=DMARC1; p=reject; rua=mailto:agg@example.test"});
    EXPECT_EQ(lookup("_dmarc.missing.test").status, TxtAnswer::Status::kNoRecords);

    const auto never = [] { return 0; };
    const SpfCheck spf{"news.example.test", SpfScope::kMailFrom, AuthResult::kFail};
    DmarcOutcome outcome = EvaluateDmarc({{"news.example.test"}, {}, spf}, lookup, never);
    EXPECT_EQ(outcome.result, DmarcResult::kFail);
    EXPECT_EQ(outcome.policyDomain, "example.test");
    EXPECT_EQ(outcome.action, DmarcAction::kReject);
    EXPECT_EQ(outcome.record.rua.size(), 1u);
    EXPECT_EQ(EvaluateDmarc({{"two.test"}, {}, spf}, lookup, never).result, DmarcResult::kNone);

    // A server that does not answer: temperror, never a rejection.
    dns.reset();
    settings.timeout = std::chrono::milliseconds(500);
    outcome = EvaluateDmarc({{"example.test"}, {}, spf}, DnsTxtLookup(settings), never);
    EXPECT_EQ(outcome.result, DmarcResult::kTemperror);
    EXPECT_EQ(outcome.action, DmarcAction::kNone);
}

}  // namespace
