#include "policy/dmarc_report.h"

#include <zlib.h>

#include <map>

#include "common/mail_address.h"
#include "common/utilities.h"
#include "policy/org_domain.h"

namespace relvo::mail::policy {
namespace {

constexpr size_t kMaxOrgName = 200;
constexpr std::int64_t kSecondsPerDay = 86400;

// Text for an element: markup characters escaped, control characters (which XML 1.0 cannot carry)
// left out.
std::string XmlText(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') {
                    out += c;
                }
        }
    }
    return out;
}

void Element(std::string& xml, int depth, std::string_view name, std::string_view text) {
    xml.append(static_cast<size_t>(depth) * 2, ' ');
    xml += '<';
    xml += name;
    xml += '>';
    xml += XmlText(text);
    xml += "</";
    xml += name;
    xml += ">\n";
}

void Open(std::string& xml, int depth, std::string_view name) {
    xml.append(static_cast<size_t>(depth) * 2, ' ');
    xml += '<';
    xml += name;
    xml += ">\n";
}

void Close(std::string& xml, int depth, std::string_view name) {
    xml.append(static_cast<size_t>(depth) * 2, ' ');
    xml += "</";
    xml += name;
    xml += ">\n";
}

std::string_view AlignmentName(Alignment mode) {
    return mode == Alignment::kStrict ? "s" : "r";
}

// The address part of a mailbox must be an addr-spec with a valid domain.
bool PlainAddress(const std::string& address, std::string* domain) {
    const size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at > 64) {
        return false;
    }
    const auto normalized = NormalizeDomain(std::string_view(address).substr(at + 1));
    if (!normalized) {
        return false;
    }
    *domain = *normalized;
    return true;
}

void AppendRecord(std::string& xml, const ReportRow& row) {
    Open(xml, 1, "record");
    Open(xml, 2, "row");
    Element(xml, 3, "source_ip", row.sourceAddress);
    Element(xml, 3, "count", std::to_string(row.count));
    Open(xml, 3, "policy_evaluated");
    Element(xml, 4, "disposition", ActionName(row.disposition));
    Element(xml, 4, "dkim", row.dkimAligned ? "pass" : "fail");
    Element(xml, 4, "spf", row.spfAligned ? "pass" : "fail");
    if (row.sampledOut) {
        Open(xml, 4, "reason");
        Element(xml, 5, "type", "sampled_out");
        Close(xml, 4, "reason");
    }
    Close(xml, 3, "policy_evaluated");
    Close(xml, 2, "row");
    Open(xml, 2, "identifiers");
    Element(xml, 3, "envelope_from", row.envelopeFrom);
    Element(xml, 3, "header_from", row.headerFrom);
    Close(xml, 2, "identifiers");
    Open(xml, 2, "auth_results");
    for (const DkimCheck& check : row.dkim) {
        Open(xml, 3, "dkim");
        Element(xml, 4, "domain", check.domain);
        if (!check.selector.empty()) {
            Element(xml, 4, "selector", check.selector);
        }
        Element(xml, 4, "result", AuthResultName(check.result));
        Close(xml, 3, "dkim");
    }
    Open(xml, 3, "spf");
    Element(xml, 4, "domain", row.spf.domain);
    Element(xml, 4, "scope", row.spf.scope == SpfScope::kHelo ? "helo" : "mfrom");
    // The schema's SPF results have no "policy": report it as the neutral it amounts to.
    Element(xml, 4, "result",
            row.spf.result == AuthResult::kPolicy ? "neutral" : AuthResultName(row.spf.result));
    Close(xml, 3, "spf");
    Close(xml, 2, "auth_results");
    Close(xml, 1, "record");
}

}  // namespace

std::optional<Reporter> ReporterFromSetting(std::string_view text) {
    Reporter reporter;
    reporter.email = ExtractOneLineMailAddress(text);
    if (!PlainAddress(reporter.email, &reporter.domain)) {
        return std::nullopt;
    }
    const size_t at = reporter.email.rfind('@');
    reporter.email = reporter.email.substr(0, at + 1) + reporter.domain;
    const std::string name = ExplicitDisplayName(text);
    std::string clean;
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && clean.size() < kMaxOrgName) {
            clean += c;
        }
    }
    // The report is XML in UTF-8: a name that is not valid UTF-8 would make it unreadable.
    const bool usable = !clean.empty() && clean != reporter.email && IsValidUtf8(clean);
    reporter.orgName = usable ? clean : reporter.domain;
    return reporter;
}

std::string AggregateReportXml(const Reporter& reporter, const std::string& reportId,
                               std::int64_t begin, std::int64_t end,
                               const std::string& policyDomain, const DmarcRecord& published,
                               const std::vector<ReportRow>& rows) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<feedback xmlns=\"http://dmarc.org/dmarc-xml/0.1\">\n";
    Element(xml, 1, "version", "1.0");
    Open(xml, 1, "report_metadata");
    Element(xml, 2, "org_name", reporter.orgName);
    Element(xml, 2, "email", reporter.email);
    Element(xml, 2, "report_id", reportId);
    Open(xml, 2, "date_range");
    Element(xml, 3, "begin", std::to_string(begin));
    Element(xml, 3, "end", std::to_string(end));
    Close(xml, 2, "date_range");
    Close(xml, 1, "report_metadata");
    Open(xml, 1, "policy_published");
    Element(xml, 2, "domain", policyDomain);
    Element(xml, 2, "adkim", AlignmentName(published.adkim));
    Element(xml, 2, "aspf", AlignmentName(published.aspf));
    Element(xml, 2, "p", PolicyName(published.p));
    Element(xml, 2, "sp", PolicyName(published.sp));
    Element(xml, 2, "pct", std::to_string(published.pct));
    Element(xml, 2, "fo", published.fo);
    Close(xml, 1, "policy_published");
    for (const ReportRow& row : rows) {
        AppendRecord(xml, row);
    }
    xml += "</feedback>\n";
    return xml;
}

std::string GzipCompress(std::string_view data) {
    z_stream stream{};
    // 15 + 16: a gzip wrapper rather than zlib's, as the .gz attachment must be.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return "";
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : "";
}

std::vector<AggregateReport> BuildDailyReports(DmarcReportStore& store, std::int64_t day,
                                               const Reporter& reporter, const TxtLookup& lookup) {
    std::vector<AggregateReport> reports;
    DayRows stored = store.ReadDay(day);
    std::map<std::string, std::vector<ReportRow>> byDomain;
    for (ReportRow& row : stored.rows) {
        byDomain[row.policyDomain].push_back(std::move(row));
    }
    const std::int64_t begin = day * kSecondsPerDay;
    const std::int64_t end = begin + kSecondsPerDay - 1;
    const std::string dateText = UtcDayName(day);
    for (auto& [domain, rows] : byDomain) {
        const auto policy = stored.policies.find(domain);
        if (policy == stored.policies.end()) {
            continue;
        }
        AggregateReport report;
        report.policyDomain = domain;
        report.reportId = std::string(dateText) + "." + domain + "@" + reporter.domain;
        report.xml =
            AggregateReportXml(reporter, report.reportId, begin, end, domain, policy->second, rows);
        report.gzip = GzipCompress(report.xml);
        if (report.gzip.empty()) {
            continue;
        }
        std::vector<std::string> wanted;
        for (const ReportUri& uri : policy->second.rua) {
            const bool fits = uri.maxBytes == 0 || report.gzip.size() <= uri.maxBytes;
            if (fits &&
                VerifyReportDestination(domain, uri.address, lookup) == Destination::kAuthorized) {
                wanted.push_back(uri.address);
            }
        }
        report.recipients = store.ClaimReports(day, domain, wanted);
        if (report.recipients.empty()) {
            continue;
        }
        report.subject = "Report Domain: " + domain + " Submitter: " + reporter.domain +
                         " Report-ID: <" + report.reportId + ">";
        report.fileName = reporter.domain + "!" + domain + "!" + std::to_string(begin) + "!" +
                          std::to_string(end) + ".xml.gz";
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace relvo::mail::policy
