// What DMARC evaluated each day, for the aggregate reports (RFC 7489 7.2): one append-only file a
// UTC day under <app dir>/dmarc/, a line per distinct row (policy domain, source address, header
// From, results) and a short line per repeat. Bounded: at most maxRows distinct rows and
// kMaxDayFileBytes a day; what is past the bound is dropped and counted. Losing a line (a crash
// between write and disk) only makes a report short by it, so nothing here is flushed to disk.
// One object per directory and process; its calls may come from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/file_descriptor.h"
#include "policy/dmarc.h"

namespace relvo::mail::policy {

inline constexpr size_t kMaxRowsPerDay = 10000;
inline constexpr std::uint64_t kMaxDayFileBytes = 32ull << 20;
inline constexpr size_t kMaxRowDkim = 4;  // DKIM results kept per row
inline constexpr size_t kMaxReportsPerDomainDay = 2;

// One distinct row of a day's report and how many messages it counts.
struct ReportRow {
    std::string policyDomain;
    std::string sourceAddress;  // dotted IPv4, or IPv6 with all eight groups (the report's form)
    std::string headerFrom;
    std::string envelopeFrom;  // SPF's domain; may be empty
    DmarcAction disposition = DmarcAction::kNone;
    bool dkimAligned = false;
    bool spfAligned = false;
    bool sampledOut = false;
    std::vector<DkimCheck> dkim;
    SpfCheck spf;
    std::uint64_t count = 0;
};

struct DayRows {
    std::vector<ReportRow> rows;
    std::map<std::string, DmarcRecord>
        policies;  // per policy domain: the first record seen that day
};

std::int64_t UtcDayOf(std::chrono::system_clock::time_point when);  // days since 1970-01-01
std::string UtcDayName(std::int64_t day);                           // "YYYYMMDD"
std::string DmarcStoreDir();                                        // <app dir>/dmarc

class DmarcReportStore {
  public:
    explicit DmarcReportStore(std::string directory, size_t maxRows = kMaxRowsPerDay);
    DmarcReportStore(const DmarcReportStore&) = delete;
    DmarcReportStore& operator=(const DmarcReportStore&) = delete;

    // Counts one message on the UTC day of when. Only outcomes under a policy that asks for
    // aggregate reports (rua) count; false for those, and when the message was dropped: past a
    // bound, a source that is no IP address, or a file that cannot be written.
    bool Add(const DmarcInput& input, const DmarcOutcome& outcome, const std::string& sourceAddress,
             std::chrono::system_clock::time_point when);
    std::uint64_t Dropped() const;

    // The day's rows as stored; lines that do not read back are left out.
    DayRows ReadDay(std::int64_t day) const;

    // Takes the day's report sends to those recipients that policyDomain has not had yet, up to
    // kMaxReportsPerDomainDay in all across calls and restarts. Returns the recipients taken.
    std::vector<std::string> ClaimReports(std::int64_t day, const std::string& policyDomain,
                                          const std::vector<std::string>& recipients);

    // Removes the files of the days before day.
    void RemoveDaysBefore(std::int64_t day);

  private:
    bool OpenDay(std::int64_t day);
    bool Append(const std::string& lines);

    const std::string directory_;
    const size_t maxRows_;
    mutable std::mutex mutex_;
    std::int64_t day_ = -1;  // the day whose file is open
    FileDescriptor file_{-1};
    std::uint64_t fileBytes_ = 0;
    std::unordered_map<std::string, size_t> rows_;  // row line without its index -> index
    std::set<std::string> policies_;                // policy domains with a line that day
    std::uint64_t dropped_ = 0;
};

}  // namespace relvo::mail::policy
