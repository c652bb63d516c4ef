// Delivery status notifications (RFC 3464 multipart/report) for recipients that failed, and the
// loop check on a mail's Received headers.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail::send {

struct FailedRecipient {
    std::string address;
    std::string reply;  // "550 5.1.1 no such user", or the reason when no reply came
};

struct BounceInput {
    std::string reportingHost;  // our greeting name
    std::string originalSender;
    std::string originalMessage;  // the .eml; only its header goes back
    std::vector<FailedRecipient> failed;
    std::chrono::system_clock::time_point arrival;
    std::chrono::system_clock::time_point now;
};

// The notification as a message with CRLF lines, ready for the queue.
std::string BuildBounce(const BounceInput& input);

// The status code a reply carries ("5.1.1"), else one made from its class ("5.0.0", "4.0.0").
std::string StatusCodeOf(std::string_view reply);

// The number of Received header fields in the message's header section.
size_t CountReceived(std::string_view message);
inline constexpr size_t kMaxReceived = 30;  // more than this is taken for a loop

// RFC 5322 date text in local time.
std::string MailDate(std::chrono::system_clock::time_point when);

}  // namespace relvo::mail::send
