#include "policy/dmarc_record.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "common/ascii.h"
#include "policy/org_domain.h"

namespace relvo::mail::policy {
namespace {

std::string_view TrimWsp(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The first tag must be exactly v=DMARC1 (blanks around '=' allowed; the value is case-sensitive).
bool StartsWithVersion(std::string_view text) {
    const std::string_view first = TrimWsp(text.substr(0, text.find(';')));
    if (first.empty() || (first.front() != 'v' && first.front() != 'V')) {
        return false;
    }
    const std::string_view rest = TrimWsp(first.substr(1));
    return !rest.empty() && rest.front() == '=' && TrimWsp(rest.substr(1)) == "DMARC1";
}

std::optional<DmarcPolicy> ParsePolicy(std::string_view value) {
    if (AsciiEqualNoCase(value, "none")) {
        return DmarcPolicy::kNone;
    }
    if (AsciiEqualNoCase(value, "quarantine")) {
        return DmarcPolicy::kQuarantine;
    }
    if (AsciiEqualNoCase(value, "reject")) {
        return DmarcPolicy::kReject;
    }
    return std::nullopt;
}

std::optional<Alignment> ParseAlignment(std::string_view value) {
    if (AsciiEqualNoCase(value, "r")) {
        return Alignment::kRelaxed;
    }
    if (AsciiEqualNoCase(value, "s")) {
        return Alignment::kStrict;
    }
    return std::nullopt;
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view value) {
    Number n{};
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        return std::nullopt;
    }
    return n;
}

// "0", "1", "d", "s", colon-separated.
bool ValidFailureOptions(std::string_view value) {
    if (value.empty()) {
        return false;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = AsciiLower(value[i]);
        const bool option = c == '0' || c == '1' || c == 'd' || c == 's';
        if (i % 2 == 0 ? !option : c != ':') {
            return false;
        }
    }
    return value.size() % 2 == 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = AsciiLower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A mailto: URI's address ("mailto:" already taken off, headers after '?' dropped): percent-decoded
// and checked, so that only a plain addr-spec ever reaches a report's envelope.
std::optional<std::string> MailtoAddress(std::string_view uri) {
    uri = uri.substr(0, uri.find('?'));
    std::string address;
    for (size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && HexValue(uri[i + 1]) >= 0 &&
            HexValue(uri[i + 2]) >= 0) {
            address += static_cast<char>(HexValue(uri[i + 1]) * 16 + HexValue(uri[i + 2]));
            i += 2;
        } else {
            address += uri[i];
        }
    }
    const size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at > 64) {
        return std::nullopt;
    }
    for (size_t i = 0; i < at; ++i) {
        const auto c = static_cast<unsigned char>(address[i]);
        if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == '"' || c == '(' || c == ')' ||
            c == ',' || c == ';' || c == ':' || c == '\\' || c == '[' || c == ']' || c == '@') {
            return std::nullopt;
        }
    }
    const auto domain = NormalizeDomain(std::string_view(address).substr(at + 1));
    if (!domain) {
        return std::nullopt;
    }
    return address.substr(0, at + 1) + *domain;
}

// "uri[!size[k|m|g|t]]"; nullopt for any other scheme than mailto: or a malformed entry.
std::optional<ReportUri> ParseReportUri(std::string_view entry) {
    ReportUri uri;
    const size_t bang = entry.rfind('!');
    if (bang != std::string_view::npos) {
        std::string_view size = entry.substr(bang + 1);
        std::uint64_t unit = 1;
        if (!size.empty()) {
            switch (AsciiLower(size.back())) {
                case 'k':
                    unit = 1ull << 10;
                    break;
                case 'm':
                    unit = 1ull << 20;
                    break;
                case 'g':
                    unit = 1ull << 30;
                    break;
                case 't':
                    unit = 1ull << 40;
                    break;
                default:
                    break;
            }
            if (unit != 1) {
                size.remove_suffix(1);
            }
        }
        const auto number = ParseNumber<std::uint64_t>(size);
        if (!number || *number > UINT64_MAX / unit) {
            return std::nullopt;
        }
        uri.maxBytes = *number * unit;
        entry = entry.substr(0, bang);
    }
    if (!AsciiStartsNoCase(entry, "mailto:")) {
        return std::nullopt;
    }
    auto address = MailtoAddress(entry.substr(7));
    if (!address) {
        return std::nullopt;
    }
    uri.address = std::move(*address);
    return uri;
}

std::vector<ReportUri> ParseReportUris(std::string_view value) {
    std::vector<ReportUri> uris;
    while (uris.size() < kMaxReportUris && !value.empty()) {
        const size_t comma = value.find(',');
        if (auto uri = ParseReportUri(TrimWsp(value.substr(0, comma)))) {
            uris.push_back(std::move(*uri));
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return uris;
}

}  // namespace

ParsedRecord ParseDmarcRecord(std::string_view text) {
    ParsedRecord parsed;
    if (text.size() > kMaxRecordText || !StartsWithVersion(text)) {
        return parsed;
    }
    DmarcRecord& record = parsed.record;
    std::optional<DmarcPolicy> p;
    std::optional<DmarcPolicy> sp;
    bool spInvalid = false;
    unsigned seen = 0;  // one bit per known tag: the first occurrence counts
    static constexpr std::string_view kTags[] = {"p",   "sp",  "adkim", "aspf", "pct",
                                                 "rua", "ruf", "fo",    "ri"};
    text.remove_prefix(std::min(text.size(), text.find(';')));
    while (!text.empty()) {
        text.remove_prefix(1);  // the ';'
        const size_t end = text.find(';');
        const std::string_view tag = TrimWsp(text.substr(0, end));
        text.remove_prefix(std::min(text.size(), end));
        const size_t equals = tag.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = TrimWsp(tag.substr(0, equals));
        const std::string_view value = TrimWsp(tag.substr(equals + 1));
        size_t index = 0;
        while (index < std::size(kTags) && !AsciiEqualNoCase(name, kTags[index])) {
            ++index;
        }
        if (index == std::size(kTags) || (seen & (1u << index)) != 0) {
            continue;
        }
        seen |= 1u << index;
        switch (index) {
            case 0:
                p = ParsePolicy(value);
                break;
            case 1:
                sp = ParsePolicy(value);
                spInvalid = !sp;
                break;
            case 2:
                record.adkim = ParseAlignment(value).value_or(Alignment::kRelaxed);
                break;
            case 3:
                record.aspf = ParseAlignment(value).value_or(Alignment::kRelaxed);
                break;
            case 4: {
                const auto pct = ParseNumber<unsigned>(value);
                record.pct = pct && *pct <= 100 ? static_cast<int>(*pct) : 100;
                break;
            }
            case 5:
                record.rua = ParseReportUris(value);
                break;
            case 6:
                record.ruf = ParseReportUris(value);
                break;
            case 7:
                record.fo = ValidFailureOptions(value) ? AsciiLowerCopy(value) : "0";
                break;
            case 8:
                record.ri = ParseNumber<std::uint32_t>(value).value_or(86400);
                break;
            default:
                break;
        }
    }
    if (!p || spInvalid) {
        // Without a usable policy the record still asks for reports: act as p=none when it
        // names somewhere to send them, else the record does not apply.
        if (record.rua.empty()) {
            parsed.status = RecordStatus::kNoPolicy;
            return parsed;
        }
        record.pFromRua = true;
        p = DmarcPolicy::kNone;
        sp.reset();
    }
    record.p = *p;
    record.sp = sp.value_or(*p);
    parsed.status = RecordStatus::kValid;
    return parsed;
}

SelectedRecord SelectDmarcRecord(const std::vector<std::string>& texts) {
    SelectedRecord selected;
    for (const std::string& text : texts) {
        ParsedRecord parsed = ParseDmarcRecord(text);
        if (parsed.status == RecordStatus::kNotDmarc) {
            continue;
        }
        if (selected.status != Selection::kNone) {
            selected.status = Selection::kMultiple;
            return selected;
        }
        selected.status =
            parsed.status == RecordStatus::kValid ? Selection::kValid : Selection::kNoPolicy;
        selected.record = std::move(parsed.record);
    }
    return selected;
}

bool HasDmarcVersionTag(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (text.size() <= kMaxRecordText && StartsWithVersion(text)) {
            return true;
        }
    }
    return false;
}

std::string_view PolicyName(DmarcPolicy policy) {
    switch (policy) {
        case DmarcPolicy::kQuarantine:
            return "quarantine";
        case DmarcPolicy::kReject:
            return "reject";
        case DmarcPolicy::kNone:
            break;
    }
    return "none";
}

}  // namespace relvo::mail::policy
