// The decisions a session takes from the configuration: who may send to whom, whose credentials
// are good, and the Received header that records the hand-over. Pure code over one EngineConfig.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "core/engine_config.h"

namespace relvo::mail::smtp {

enum class RecipientVerdict {
    kAccept,
    kUnknownUser,  // 550 5.1.1: a local domain without a server, and no enabled account
    kRelayDenied,  // 554 5.7.1: relaying that this client may not do
};

// A recipient in a local domain with a server address is mail for that domain: anyone may send
// it. In a local domain without one it must be an enabled account. Everything else is relaying:
// allowed after AUTH, and with SmtpAuthFlag 0 also to the clients MayRelayWithoutAuth names.
RecipientVerdict CheckRecipient(const EngineConfig& config, std::string_view recipient,
                                bool authenticated, std::string_view clientIp);

// With SmtpAuthFlag 0: loopback and the SmtpRelayNetworks. Private ranges are not trusted as
// such: behind NAT or a container proxy every host would relay.
bool MayRelayWithoutAuth(const EngineConfig& config, std::string_view clientIp);

// Loopback or in SmtpRelayNetworks (whatever SmtpAuthFlag says): mail of our own software and
// users, which no sender policy (DMARC) is applied to. clientIp is "" for a balancer's own.
bool OwnNetworkClient(const EngineConfig& config, std::string_view clientIp);

// The account when the name (any letter case) is an enabled account with this password; the
// comparison runs also for unknown names so that timing does not tell names apart.
const AccountEntry* Authenticate(const EngineConfig& config, std::string_view user,
                                 std::string_view password);

struct ReceivedInfo {
    std::string heloName;
    std::string clientIp;  // without brackets or port
    std::string hostName;  // ours
    bool esmtp = false;
    bool tls = false;
    bool authenticated = false;
    std::string singleRecipient;  // "" when there are several
    std::chrono::system_clock::time_point when;
};

// "Received: from helo ([ip]) by host with ESMTPSA; <RFC 5322 date>" folded over two CRLF lines;
// the client's HELO name is cut to printable ASCII so that it cannot break the header.
std::string ReceivedHeader(const ReceivedInfo& info);

// RFC 5322 date in local time with its offset, "Mon, 7 Dec 2026 13:37:40 +0100".
std::string Rfc5322Date(std::chrono::system_clock::time_point when);

}  // namespace relvo::mail::smtp
