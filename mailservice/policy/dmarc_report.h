// The daily DMARC aggregate reports (RFC 7489 7.2 and its Appendix C schema): one XML document a
// policy domain, gzip-compressed, with the file name and subject receivers expect. Building only;
// the SEND service mails them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/dmarc.h"
#include "policy/dmarc_store.h"

namespace relvo::mail::policy {

// Who the reports say they come from.
struct Reporter {
    std::string orgName;
    std::string email;
    std::string domain;  // the email's domain: the file name's receiver part
};

// From the DmarcReportFrom setting: `"Org name" <dmarc@example.org>`, `Org <dmarc@example.org>` or
// a bare address (then the organization is named by the address's domain). nullopt when it holds
// no valid address.
std::optional<Reporter> ReporterFromSetting(std::string_view text);

struct AggregateReport {
    std::string policyDomain;
    std::vector<std::string> recipients;  // rua addresses that agreed to receive it, at most 2
    std::string reportId;
    std::string subject;   // "Report Domain: <domain> Submitter: <receiver> Report-ID: <<id>>"
    std::string fileName;  // "<receiver>!<domain>!<begin>!<end>.xml.gz"
    std::string xml;
    std::string gzip;  // the attachment's bytes
};

// The report document of one policy domain's rows over [begin, end] (seconds since the epoch).
std::string AggregateReportXml(const Reporter& reporter, const std::string& reportId,
                               std::int64_t begin, std::int64_t end,
                               const std::string& policyDomain, const DmarcRecord& published,
                               const std::vector<ReportRow>& rows);

std::string GzipCompress(std::string_view data);

// The reports of a finished UTC day, one per policy domain whose record named rua destinations.
// A destination outside the policy domain's organization must agree through DNS (lookup); one
// whose answer is temporary is left for a later call, and one whose size limit the report exceeds
// is left out. Each report taken is claimed in the store, so that no domain gets more than
// kMaxReportsPerDomainDay a day however often this runs.
std::vector<AggregateReport> BuildDailyReports(DmarcReportStore& store, std::int64_t day,
                                               const Reporter& reporter, const TxtLookup& lookup);

}  // namespace relvo::mail::policy
