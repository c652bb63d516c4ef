// Delivery status notifications (RFC 3464): a multipart/report to the sender naming the
// recipients that failed, with a message/delivery-status part and the returned mail's header.
// Every text from outside (names, replies, the returned header) is made printable ASCII with
// lines of at most 998 bytes, so the report is a valid message itself. Pure; any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail {

struct FailedRecipient {
    std::string address;
    std::string reply;  // "550 5.1.1 no such user", or the reason when no reply came
    // Every reason tried before it failed (MX lookup, exchangers, relays), the last one being
    // reply; empty when only reply is known.
    std::vector<std::string> reasons = {};
    std::string serverStatus = {};  // the enhanced code a server itself gave, if any
};

struct DeliveryReportContent {
    std::string reportingHost;  // our greeting name
    std::string originalSender;
    std::string originalMessage;  // the .eml; only its header goes back
    std::vector<FailedRecipient> failed;
    std::chrono::system_clock::time_point arrival;
    std::chrono::system_clock::time_point now;
};

// The notification as a message with CRLF lines, ready for the queue.
std::string ComposeDeliveryReport(const DeliveryReportContent& content);

// The status code a reply carries ("5.1.1"), else one made from its class ("5.0.0", "4.0.0").
std::string StatusCodeOf(std::string_view reply);
// The status of a failed recipient: the code a server gave; else the first code among the
// reasons tried (a failed MX lookup explains more than the relays tried after it); else the
// final reply's.
std::string StatusCodeOf(const FailedRecipient& failed);
// The first enhanced status code ("5.1.1") in a reply or reason, "" when there is none.
std::string EnhancedStatusCode(std::string_view reply);

// RFC 5322 date text in local time.
std::string MailDate(std::chrono::system_clock::time_point when);

}  // namespace relvo::mail
