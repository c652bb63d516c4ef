#include "mime/delivery_report.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <random>

#include "mime/header_section.h"
#include "mime/header_text.h"

namespace relvo::mail {

namespace {

// Header text as CRLF lines of at most 998 bytes: a report must be a valid message itself.
std::string CleanHeaders(std::string_view header) {
    std::string out;
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find('\n', start);
        std::string_view line = header.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        out.append(line.substr(0, 998));
        out += "\r\n";
        start = end == std::string_view::npos ? header.size() : end + 1;
    }
    return out;
}

// Text safe inside a header or the report: printable ASCII only.
std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 900)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u > 0x7e) ? '?' : c;
    }
    return out;
}

// "Name:" and a value in its written form (header_text.h), with CRLF line ends.
std::string HeaderField(std::string_view name, std::string_view written) {
    std::string field(name);
    field += ':';
    for (char c : written) {
        field += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return field;
}

std::string TopHeaders(const DeliveryReportContent& content, const std::string& boundary,
                       std::random_device& random) {
    std::string host = Printable(content.reportingHost);
    std::string m;
    m += "From: Mail Delivery System <MAILER-DAEMON@" + host + ">\r\n";
    m += HeaderField("To", FormatMailboxes({{"", Printable(content.originalSender)}}, 2));
    m += HeaderField("Subject", FormatUnstructured("Undelivered mail returned to sender", 7));
    m += "Date: " + MailDate(content.now) + "\r\n";
    m += "Message-ID: <" + std::to_string(random()) + "." + std::to_string(random()) + "@" + host +
         ">\r\n";
    m += "Auto-Submitted: auto-replied\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"" +
         boundary + "\"\r\n\r\n";
    m += "This is a MIME-encapsulated delivery status report.\r\n\r\n";
    return m;
}

// Every reason of one recipient on one line, the final one last.
std::string ReasonsText(const FailedRecipient& f) {
    std::string text;
    for (const std::string& reason : f.reasons) {
        text += (text.empty() ? "" : "; then ") + reason;
    }
    return text.empty() ? f.reply : text;
}

// Whether word has the form class.subject.detail ("5.1.1").
bool IsEnhancedCode(std::string_view word) {
    int dots = 0;
    bool valid = word.size() >= 5 && word.size() <= 11 && (word[0] == '4' || word[0] == '5') &&
                 word[1] == '.' && word.back() != '.';
    for (char c : word) {
        dots += c == '.';
        valid = valid && (std::isdigit(static_cast<unsigned char>(c)) || c == '.');
    }
    return valid && dots == 2;
}

std::string ReadablePart(const DeliveryReportContent& content) {
    std::string m = "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
    m += "The mail you sent could not be delivered to these recipients:\r\n\r\n";
    for (const FailedRecipient& f : content.failed) {
        m += "  <" + Printable(f.address) + ">: " + Printable(ReasonsText(f)) + "\r\n";
    }
    return m;
}

std::string StatusPart(const DeliveryReportContent& content) {
    std::string date = MailDate(content.now);
    std::string m = "Content-Type: message/delivery-status\r\n\r\n";
    m += "Reporting-MTA: dns; " + Printable(content.reportingHost) + "\r\n";
    m += "Arrival-Date: " + MailDate(content.arrival) + "\r\n";
    for (const FailedRecipient& f : content.failed) {
        m += "\r\nFinal-Recipient: rfc822; " + Printable(f.address) + "\r\n";
        m += "Action: failed\r\n";
        m += "Status: " + StatusCodeOf(f) + "\r\n";
        if (!f.reply.empty() && std::isdigit(static_cast<unsigned char>(f.reply[0]))) {
            m += "Diagnostic-Code: smtp; " + Printable(f.reply) + "\r\n";
        }
        m += "Last-Attempt-Date: " + date + "\r\n";
    }
    return m;
}

std::string ReturnedHeaderPart(const DeliveryReportContent& content) {
    std::string_view original(content.originalMessage);
    return "Content-Type: text/rfc822-headers\r\n\r\n" +
           CleanHeaders(original.substr(0, std::min<size_t>(HeaderSectionEnd(original), 65536)));
}

}  // namespace

std::string MailDate(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local);
    return text;
}

std::string EnhancedStatusCode(std::string_view reply) {
    while (!reply.empty()) {
        size_t end = reply.find(' ');
        std::string_view word = reply.substr(0, end);
        if (IsEnhancedCode(word)) {
            return std::string(word);
        }
        reply = end == std::string_view::npos ? std::string_view() : reply.substr(end + 1);
    }
    return {};
}

std::string StatusCodeOf(std::string_view reply) {
    std::string code = EnhancedStatusCode(reply);
    if (!code.empty()) {
        return code;
    }
    return !reply.empty() && reply[0] == '4' ? "4.0.0" : "5.0.0";
}

std::string StatusCodeOf(const FailedRecipient& failed) {
    std::string code = failed.serverStatus;
    for (size_t i = 0; code.empty() && i < failed.reasons.size(); ++i) {
        code = EnhancedStatusCode(failed.reasons[i]);
    }
    return code.empty() ? StatusCodeOf(failed.reply) : code;
}

std::string ComposeDeliveryReport(const DeliveryReportContent& content) {
    std::random_device random;
    std::string boundary = "=_report_" + std::to_string(random()) + std::to_string(random());
    std::string delimiter = "--" + boundary + "\r\n";
    return TopHeaders(content, boundary, random) + delimiter + ReadablePart(content) + "\r\n" +
           delimiter + StatusPart(content) + "\r\n" + delimiter + ReturnedHeaderPart(content) +
           "\r\n--" + boundary + "--\r\n";
}

}  // namespace relvo::mail
