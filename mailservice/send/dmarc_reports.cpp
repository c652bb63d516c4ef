#include "send/dmarc_reports.h"

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <ctime>
#include <future>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/engine_config.h"
#include "core/queue_store.h"
#include "mime/message_composer.h"
#include "policy/dmarc_dns.h"
#include "policy/dmarc_report.h"
#include "send/send_settings.h"

namespace relvo::mail::send {

namespace {

using Clock = std::chrono::system_clock;

constexpr std::int64_t kKeptDays = 7;                  // store days kept after they were reported
constexpr auto kSettleTime = std::chrono::minutes(1);  // past a day's end before it is reported
constexpr auto kRunDnsTime = std::chrono::minutes(5);  // DNS time of one day's run in all
constexpr auto kLongestWait = std::chrono::hours(1);   // the clock may jump: look again by then

std::string UtcTimeText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

// A setting's text for a log line: printable and short.
std::string Shown(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 200)) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u > 0x7e) ? '?' : c;
    }
    return out;
}

std::string ReportMail(const policy::Reporter& reporter, const policy::AggregateReport& report,
                       std::int64_t day) {
    MessageContent content;
    content.from = {reporter.orgName, reporter.email};
    for (const std::string& recipient : report.recipients) {
        content.to.push_back({"", recipient});
    }
    content.subject = report.subject;
    content.bodyCharset = "us-ascii";
    const std::int64_t begin = day * 86400;
    content.bodyBytes = "This is a DMARC aggregate report (RFC 7489) for " + report.policyDomain +
                        ",\r\ncovering " + UtcTimeText(begin) + " to " +
                        UtcTimeText(begin + 86399) + " UTC, from " + reporter.domain +
                        ".\r\nThe report itself is the attached gzip-compressed XML file.\r\n";
    content.attachments.push_back({report.fileName, report.gzip});
    return ComposeMessage(content);
}

// The blocking c-ares lookup, each bounded by the settings' timeout, and the run by kRunDnsTime:
// past it every lookup is temporary, which leaves its destination for a later run.
policy::TxtLookup BoundedLookup(net::DnsSettings dns) {
    const auto deadline = std::chrono::steady_clock::now() + kRunDnsTime;
    return [lookup = policy::DnsTxtLookup(std::move(dns)), deadline](const std::string& name) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return policy::TxtAnswer{policy::TxtAnswer::Status::kTemporary, {}};
        }
        return lookup(name);
    };
}

}  // namespace

std::int64_t DmarcReportDay(Clock::time_point now) {
    return policy::UtcDayOf(now - kSettleTime) - 1;
}

size_t QueueDmarcReports(std::int64_t day, QueueStore& queue, const Transcript& log,
                         const std::atomic<bool>* cancel) {
    const std::string setting = EngineConfig::Load()->dmarcReportFrom;
    if (setting.empty()) {
        return 0;
    }
    const std::optional<policy::Reporter> reporter = policy::ReporterFromSetting(setting);
    if (!reporter) {
        log("DMARC reports: DmarcReportFrom \"" + Shown(setting) +
            "\" holds no valid address; no reports are sent");
        return 0;
    }
    SendSettings settings = LoadSendSettings();
    settings.dns.cancel = cancel;
    // The receiving side keeps a store object of its own over the same directory: it only
    // appends to the current day's rows, while reports read finished days and write their claims
    // beside them, which no other object touches (one SEND service per directory).
    policy::DmarcReportStore store(policy::DmarcStoreDir());
    const std::vector<policy::AggregateReport> reports =
        policy::BuildDailyReports(store, day, *reporter, BoundedLookup(settings.dns));
    size_t queued = 0;
    for (const policy::AggregateReport& report : reports) {
        Envelope envelope;
        envelope.mailFrom = reporter->email;
        envelope.recipients = report.recipients;
        envelope.clientAddress = "127.0.0.1:0";  // made here: a trusted submission, signed
        envelope.heloName = settings.heloName;
        std::promise<std::tuple<bool, uint32_t, std::string>> stored;
        auto result = stored.get_future();
        queue.Store(std::move(envelope), "", ReportMail(*reporter, report, day),
                    [&stored](bool ok, uint32_t id, const std::string& error) {
                        stored.set_value({ok, id, error});
                    });
        const auto [ok, id, error] = result.get();
        // The store has counted it as sent either way: a report that cannot be queued now is
        // not tried again, as no domain may get more than its two a day.
        log(ok ? "DMARC report for " + report.policyDomain + " queued as mail " + std::to_string(id)
               : "DMARC report for " + report.policyDomain + " could not be queued: " + error);
        queued += ok ? 1 : 0;
    }
    return queued;
}

DailyDmarcReports::DailyDmarcReports(asio::io_context& io, asio::thread_pool& blocking,
                                     QueueStore& queue, Transcript log,
                                     const std::atomic<bool>& cancel)
    : io_(io),
      blocking_(blocking),
      queue_(queue),
      log_(std::move(log)),
      cancel_(cancel),
      timer_(io) {}

void DailyDmarcReports::Start() {
    asio::post(blocking_, [this] { RunDue(); });
}

void DailyDmarcReports::RunDue() {
    const std::int64_t day = DmarcReportDay(Clock::now());
    if (day != lastDay_ && !cancel_) {
        lastDay_ = day;
        QueueDmarcReports(day, queue_, log_, &cancel_);
        policy::DmarcReportStore(policy::DmarcStoreDir()).RemoveDaysBefore(day + 1 - kKeptDays);
    }
    asio::post(io_, [this] { Arm(); });
}

// Wakes a moment after the next day's end, or sooner when the clock was set back.
void DailyDmarcReports::Arm() {
    const auto now = Clock::now();
    const std::int64_t nextDay = policy::UtcDayOf(now - kSettleTime) + 1;
    const auto due =
        Clock::time_point(std::chrono::sys_days(std::chrono::days(nextDay))) + kSettleTime;
    const auto wait = std::min<Clock::duration>(due - now, kLongestWait);
    timer_.expires_after(std::max<Clock::duration>(wait, std::chrono::seconds(1)));
    timer_.async_wait([this](const std::error_code& error) {
        if (!error) {
            asio::post(blocking_, [this] { RunDue(); });
        }
    });
}

}  // namespace relvo::mail::send
