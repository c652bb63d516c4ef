#include "policy/dmarc_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "common/ascii.h"
#include "common/ip_network.h"
#include "common/owner_only_directory.h"
#include "core/app_dirs.h"
#include "policy/org_domain.h"

namespace relvo::mail::policy {
using namespace std::chrono;

namespace {

std::optional<std::int64_t> DayFromName(std::string_view name) {
    int year = 0;
    unsigned month = 0;
    unsigned dayOfMonth = 0;
    if (name.size() < 8 ||
        std::from_chars(name.data(), name.data() + 4, year).ptr != name.data() + 4 ||
        std::from_chars(name.data() + 4, name.data() + 6, month).ptr != name.data() + 6 ||
        std::from_chars(name.data() + 6, name.data() + 8, dayOfMonth).ptr != name.data() + 8) {
        return std::nullopt;
    }
    const year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                              std::chrono::day{dayOfMonth}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return sys_days{date}.time_since_epoch().count();
}

// The report's form of an address: the schema's pattern takes IPv6 only with all eight groups.
std::optional<std::string> ReportAddress(const std::string& text) {
    const auto address = ParseIpAddress(text);
    if (!address) {
        return std::nullopt;
    }
    const auto& b = address->bytes;
    char out[48];
    if (address->IsV4()) {
        std::snprintf(out, sizeof out, "%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
    } else {
        std::snprintf(out, sizeof out, "%x:%x:%x:%x:%x:%x:%x:%x", b[0] << 8 | b[1],
                      b[2] << 8 | b[3], b[4] << 8 | b[5], b[6] << 8 | b[7], b[8] << 8 | b[9],
                      b[10] << 8 | b[11], b[12] << 8 | b[13], b[14] << 8 | b[15]);
    }
    return out;
}

// A DKIM selector as it may go into a line and a report: letters, digits, '.', '-', '_'.
std::string CleanSelector(const std::string& selector) {
    if (selector.empty() || selector.size() > 63) {
        return "";
    }
    for (char c : selector) {
        if (!IsAsciiAlnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
            return "";
        }
    }
    return selector;
}

template <typename Enum, size_t N>
std::optional<Enum> EnumFromName(std::string_view name, const Enum (&values)[N],
                                 std::string_view (*nameOf)(Enum)) {
    for (Enum value : values) {
        if (nameOf(value) == name) {
            return value;
        }
    }
    return std::nullopt;
}

constexpr AuthResult kAuthResults[] = {
    AuthResult::kNone,    AuthResult::kPass,   AuthResult::kFail,      AuthResult::kSoftfail,
    AuthResult::kNeutral, AuthResult::kPolicy, AuthResult::kTemperror, AuthResult::kPermerror};
constexpr DmarcAction kActions[] = {DmarcAction::kNone, DmarcAction::kQuarantine,
                                    DmarcAction::kReject};
constexpr DmarcPolicy kPolicies[] = {DmarcPolicy::kNone, DmarcPolicy::kQuarantine,
                                     DmarcPolicy::kReject};

std::string_view ScopeName(SpfScope scope) {
    return scope == SpfScope::kHelo ? "helo" : "mfrom";
}
std::string_view AlignmentName(Alignment mode) {
    return mode == Alignment::kStrict ? "s" : "r";
}

// The row's fields after "R\t<index>\t": also its key among the day's rows.
std::string RowFields(const ReportRow& row) {
    std::string line = row.policyDomain + '\t' + row.sourceAddress + '\t' + row.headerFrom + '\t' +
                       row.envelopeFrom + '\t';
    line += ActionName(row.disposition);
    line += row.dkimAligned ? "\t1" : "\t0";
    line += row.spfAligned ? "\t1" : "\t0";
    line += row.sampledOut ? "\t1\t" : "\t0\t";
    line += row.spf.domain + '\t';
    line += ScopeName(row.spf.scope);
    line += '\t';
    line += AuthResultName(row.spf.result);
    for (const DkimCheck& check : row.dkim) {
        line += '\t' + check.domain + '\t' + check.selector + '\t';
        line += AuthResultName(check.result);
    }
    return line;
}

std::string PolicyLine(const std::string& domain, const DmarcRecord& record) {
    std::string line = "P\t" + domain + '\t';
    line += PolicyName(record.p);
    line += '\t';
    line += PolicyName(record.sp);
    line += '\t';
    line += AlignmentName(record.adkim);
    line += '\t';
    line += AlignmentName(record.aspf);
    line += '\t' + std::to_string(record.pct) + '\t' + record.fo;
    for (const ReportUri& uri : record.rua) {
        line += '\t' + std::to_string(uri.maxBytes) + ':' + uri.address;
    }
    return line + '\n';
}

bool IsDomainField(std::string_view field) {
    const auto domain = NormalizeDomain(field);
    return domain && *domain == field;
}

std::optional<ReportRow> ParseRow(const std::vector<std::string_view>& f) {
    // R, index, 11 fixed fields, then DKIM triples.
    if (f.size() < 13 || (f.size() - 13) % 3 != 0 || (f.size() - 13) / 3 > kMaxRowDkim) {
        return std::nullopt;
    }
    ReportRow row;
    row.policyDomain = f[2];
    row.sourceAddress = f[3];
    row.headerFrom = f[4];
    row.envelopeFrom = f[5];
    const auto disposition = EnumFromName(f[6], kActions, ActionName);
    const auto spfResult = EnumFromName(f[12], kAuthResults, AuthResultName);
    const auto source = ReportAddress(row.sourceAddress);
    if (!disposition || !spfResult || !source || *source != row.sourceAddress ||
        !IsDomainField(row.policyDomain) || !IsDomainField(row.headerFrom) ||
        (!row.envelopeFrom.empty() && !IsDomainField(row.envelopeFrom)) ||
        (!f[10].empty() && !IsDomainField(f[10])) || (f[11] != "mfrom" && f[11] != "helo")) {
        return std::nullopt;
    }
    row.disposition = *disposition;
    row.dkimAligned = f[7] == "1";
    row.spfAligned = f[8] == "1";
    row.sampledOut = f[9] == "1";
    row.spf = {std::string(f[10]), f[11] == "helo" ? SpfScope::kHelo : SpfScope::kMailFrom,
               *spfResult};
    for (size_t i = 13; i < f.size(); i += 3) {
        const auto result = EnumFromName(f[i + 2], kAuthResults, AuthResultName);
        if (!result || !IsDomainField(f[i]) || CleanSelector(std::string(f[i + 1])) != f[i + 1]) {
            return std::nullopt;
        }
        row.dkim.push_back({std::string(f[i]), std::string(f[i + 1]), *result});
    }
    return row;
}

std::optional<std::pair<std::string, DmarcRecord>> ParsePolicyLine(
    const std::vector<std::string_view>& f) {
    if (f.size() < 8 || f.size() > 8 + kMaxReportUris || !IsDomainField(f[1])) {
        return std::nullopt;
    }
    DmarcRecord record;
    const auto p = EnumFromName(f[2], kPolicies, PolicyName);
    const auto sp = EnumFromName(f[3], kPolicies, PolicyName);
    int pct = -1;
    std::from_chars(f[6].data(), f[6].data() + f[6].size(), pct);
    if (!p || !sp || pct < 0 || pct > 100 || f[7].empty() || f[7].size() > 16) {
        return std::nullopt;
    }
    record.p = *p;
    record.sp = *sp;
    record.adkim = f[4] == "s" ? Alignment::kStrict : Alignment::kRelaxed;
    record.aspf = f[5] == "s" ? Alignment::kStrict : Alignment::kRelaxed;
    record.pct = pct;
    record.fo = f[7];
    for (size_t i = 8; i < f.size(); ++i) {
        ReportUri uri;
        const auto [end, error] =
            std::from_chars(f[i].data(), f[i].data() + f[i].size(), uri.maxBytes);
        const std::string_view address = f[i].substr(end - f[i].data());
        if (error != std::errc() || address.size() < 4 || address.front() != ':') {
            return std::nullopt;
        }
        uri.address = address.substr(1);
        record.rua.push_back(std::move(uri));
    }
    return std::pair{std::string(f[1]), std::move(record)};
}

// The complete lines of a day's file read back; a torn last line (a crash mid-write) is left out.
DayRows ParseDay(std::string_view text) {
    DayRows day;
    for (size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.size() >= 2 && line[0] == '+') {
            size_t index = 0;
            const auto [ptr, error] =
                std::from_chars(line.data() + 1, line.data() + line.size(), index);
            if (error == std::errc() && ptr == line.data() + line.size() &&
                index < day.rows.size()) {
                ++day.rows[index].count;
            }
            continue;
        }
        const auto fields = SplitAt(line, '\t');
        if (fields[0] == "P") {
            if (auto policy = ParsePolicyLine(fields)) {
                day.policies.emplace(std::move(policy->first), std::move(policy->second));
            }
        } else if (fields[0] == "R" && fields.size() > 1 &&
                   fields[1] == std::to_string(day.rows.size())) {
            if (auto row = ParseRow(fields)) {
                row->count = 1;
                day.rows.push_back(std::move(*row));
            }
        }
    }
    return day;
}

std::string ReadBounded(const std::string& path, std::uint64_t limit) {
    std::string text;
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.Get() < 0) {
        return text;
    }
    char buffer[65536];
    ssize_t n;
    while (text.size() < limit && (n = read(file.Get(), buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    if (text.size() > limit) {
        text.resize(limit);
    }
    return text;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::int64_t UtcDayOf(system_clock::time_point when) {
    return floor<days>(when).time_since_epoch().count();
}

std::string UtcDayName(std::int64_t day) {
    const year_month_day date{sys_days{days{day}}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::string DmarcStoreDir() {
    return AppDir() + "/dmarc";
}

DmarcReportStore::DmarcReportStore(std::string directory, size_t maxRows)
    : directory_(std::move(directory)), maxRows_(maxRows) {}

bool DmarcReportStore::Add(const DmarcInput& input, const DmarcOutcome& outcome,
                           const std::string& sourceAddress, system_clock::time_point when) {
    if (!outcome.policyFound || outcome.record.rua.empty()) {
        return false;
    }
    ReportRow row;
    row.policyDomain = outcome.policyDomain;
    row.headerFrom = outcome.fromDomain;
    row.disposition = outcome.action;
    row.dkimAligned = outcome.dkimAligned;
    row.spfAligned = outcome.spfAligned;
    row.sampledOut = outcome.sampledOut;
    row.envelopeFrom = NormalizeDomain(input.spf.domain).value_or("");
    row.spf = {row.envelopeFrom, input.spf.scope, input.spf.result};
    for (const DkimCheck& check : input.dkim) {
        if (auto domain = NormalizeDomain(check.domain); domain && row.dkim.size() < kMaxRowDkim) {
            row.dkim.push_back({std::move(*domain), CleanSelector(check.selector), check.result});
        }
    }
    const auto source = ReportAddress(sourceAddress);
    std::lock_guard lock(mutex_);
    if (!source) {
        ++dropped_;
        return false;
    }
    row.sourceAddress = *source;
    const std::int64_t day = UtcDayOf(when);
    if (day != day_ && !OpenDay(day)) {
        ++dropped_;
        return false;
    }
    std::string key = RowFields(row);
    std::string lines;
    const auto known = rows_.find(key);
    if (known != rows_.end()) {
        lines = '+' + std::to_string(known->second) + '\n';
    } else if (rows_.size() >= maxRows_) {
        ++dropped_;
        return false;
    } else {
        if (!policies_.contains(row.policyDomain)) {
            lines = PolicyLine(row.policyDomain, outcome.record);
        }
        lines += "R\t" + std::to_string(rows_.size()) + '\t' + key + '\n';
    }
    if (!Append(lines)) {
        ++dropped_;
        return false;
    }
    if (known == rows_.end()) {
        policies_.insert(row.policyDomain);
        rows_.emplace(std::move(key), rows_.size());
    }
    return true;
}

std::uint64_t DmarcReportStore::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool DmarcReportStore::OpenDay(std::int64_t day) {
    file_.Close();
    day_ = -1;
    rows_.clear();
    policies_.clear();
    if (!MakeOwnerOnlyDirectory(directory_).empty()) {
        return false;
    }
    const std::string path = directory_ + '/' + UtcDayName(day) + ".rows";
    file_.Reset(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    struct stat status {};
    if (file_.Get() < 0 || fstat(file_.Get(), &status) != 0) {
        file_.Close();
        return false;
    }
    const std::string text = ReadBounded(path, kMaxDayFileBytes);
    fileBytes_ = static_cast<std::uint64_t>(status.st_size);
    if (!text.empty() && text.back() != '\n' && !WriteAll(file_.Get(), "\n")) {
        file_.Close();
        return false;
    }
    DayRows rows = ParseDay(text);
    for (ReportRow& row : rows.rows) {
        rows_.emplace(RowFields(row), rows_.size());
        policies_.insert(std::move(row.policyDomain));
    }
    day_ = day;
    return true;
}

bool DmarcReportStore::Append(const std::string& lines) {
    if (fileBytes_ + lines.size() > kMaxDayFileBytes || !WriteAll(file_.Get(), lines)) {
        return false;
    }
    fileBytes_ += lines.size();
    return true;
}

DayRows DmarcReportStore::ReadDay(std::int64_t day) const {
    return ParseDay(ReadBounded(directory_ + '/' + UtcDayName(day) + ".rows", kMaxDayFileBytes));
}

std::vector<std::string> DmarcReportStore::ClaimReports(
    std::int64_t day, const std::string& policyDomain, const std::vector<std::string>& recipients) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> granted;
    if (recipients.empty() || !MakeOwnerOnlyDirectory(directory_).empty()) {
        return granted;
    }
    const std::string path = directory_ + '/' + UtcDayName(day) + ".sent";
    std::set<std::string, std::less<>> sent;
    const std::string text = ReadBounded(path, kMaxDayFileBytes);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const auto fields = SplitAt(std::string_view(text).substr(start, end - start), '\t');
        if (fields.size() == 2 && fields[0] == policyDomain) {
            sent.emplace(fields[1]);
        }
    }
    std::string lines;
    for (const std::string& recipient : recipients) {
        if (sent.size() < kMaxReportsPerDomainDay && sent.insert(recipient).second) {
            granted.push_back(recipient);
            lines += policyDomain + '\t' + recipient + '\n';
        }
    }
    if (granted.empty()) {
        return granted;
    }
    FileDescriptor file(
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    // A claim that cannot be written is no claim: sending without it could pass the bound.
    if (file.Get() < 0 || !WriteAll(file.Get(), lines) || !file.Close()) {
        granted.clear();
    }
    return granted;
}

void DmarcReportStore::RemoveDaysBefore(std::int64_t day) {
    std::lock_guard lock(mutex_);
    DIR* dir = opendir(directory_.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        const bool ours = name.size() == 13 && (name.ends_with(".rows") || name.ends_with(".sent"));
        if (const auto fileDay = ours ? DayFromName(name) : std::nullopt;
            fileDay && *fileDay < day) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
    if (day_ >= 0 && day_ < day) {
        file_.Close();
        day_ = -1;
    }
}

}  // namespace relvo::mail::policy
