// DMARC policy records: the text of a `_dmarc` TXT record read into its tags (RFC 7489 6.3), and
// the choice among the records a name has (6.6.3). Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail::policy {

// Longer records are taken for no record at all: no honest policy needs that much text, and the
// bound keeps what one DNS answer can make us parse small.
inline constexpr size_t kMaxRecordText = 4096;
// Report destinations kept per list: more would let one record make us send many reports.
inline constexpr size_t kMaxReportUris = 2;

enum class DmarcPolicy { kNone, kQuarantine, kReject };
enum class Alignment { kRelaxed, kStrict };

struct ReportUri {
    std::string address;         // the mailto: URI's address, percent-decoded, domain lowercased
    std::uint64_t maxBytes = 0;  // from a "!size" suffix; 0 = no limit given
};

struct DmarcRecord {
    DmarcPolicy p = DmarcPolicy::kNone;
    DmarcPolicy sp = DmarcPolicy::kNone;  // p when the record has no sp
    bool pFromRua = false;                // no valid p (or an invalid sp): taken as p=none for rua
    Alignment adkim = Alignment::kRelaxed;
    Alignment aspf = Alignment::kRelaxed;
    int pct = 100;
    std::vector<ReportUri> rua;  // at most kMaxReportUris mailto: URIs
    std::vector<ReportUri> ruf;
    std::string fo = "0";
    std::uint32_t ri = 86400;
};

enum class RecordStatus {
    kNotDmarc,  // does not start with v=DMARC1, or too long: not counted among the name's records
    kNoPolicy,  // a DMARC record, but with no valid p and no report destination: nothing applies
    kValid,
};

struct ParsedRecord {
    RecordStatus status = RecordStatus::kNotDmarc;
    DmarcRecord record;
};

// Tags: unknown ones ignored; the first of a repeated tag counts; an invalid value of a tag other
// than p and sp is taken as the tag's default (pct=250 is pct=100).
ParsedRecord ParseDmarcRecord(std::string_view text);

enum class Selection {
    kNone,      // no record starting with v=DMARC1: look further (the organizational domain)
    kMultiple,  // more than one: no policy applies, and no further look
    kNoPolicy,  // one, without a usable policy: no policy applies, and no further look
    kValid,
};

struct SelectedRecord {
    Selection status = Selection::kNone;
    DmarcRecord record;
};

SelectedRecord SelectDmarcRecord(const std::vector<std::string>& texts);

// Whether one of a name's TXT records starts with v=DMARC1: the answer of a report destination
// that agrees to receive reports for another domain.
bool HasDmarcVersionTag(const std::vector<std::string>& texts);

std::string_view PolicyName(DmarcPolicy policy);  // "none", "quarantine", "reject"

}  // namespace relvo::mail::policy
