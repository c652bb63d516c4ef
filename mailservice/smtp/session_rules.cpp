#include "smtp/session_rules.h"

#include <cstdio>
#include <ctime>
#include <optional>

#include "common/mail_address.h"
#include "core/net_ranges.h"
#include "smtp/command_parser.h"
#include "smtp/sasl.h"

namespace relvo::mail::smtp {

RecipientVerdict CheckRecipient(const EngineConfig& config, std::string_view recipient,
                                bool authenticated, std::string_view clientIp) {
    std::string_view domain = MailboxDomain(recipient);
    if (const LocalDomain* local = domain.empty() ? nullptr : config.FindLocalDomain(domain)) {
        if (local->HasServer()) {
            return RecipientVerdict::kAccept;
        }
        const AccountEntry* account = config.FindAccount(recipient);
        return account != nullptr && account->enabled ? RecipientVerdict::kAccept
                                                      : RecipientVerdict::kUnknownUser;
    }
    if (authenticated || MayRelayWithoutAuth(config, clientIp)) {
        return RecipientVerdict::kAccept;
    }
    return RecipientVerdict::kRelayDenied;
}

bool MayRelayWithoutAuth(const EngineConfig& config, std::string_view clientIp) {
    if (config.smtpAuthRequired) {
        return false;
    }
    const std::optional<IpAddress> address = ParseIpAddress(clientIp);
    return IsLoopback(clientIp) || (address && InAnyNetwork(config.relayNetworks, *address));
}

bool OwnNetworkClient(const EngineConfig& config, std::string_view clientIp) {
    const std::optional<IpAddress> address = ParseIpAddress(clientIp);
    return address && (IsLoopback(clientIp) || InAnyNetwork(config.relayNetworks, *address));
}

const AccountEntry* Authenticate(const EngineConfig& config, std::string_view user,
                                 std::string_view password) {
    const AccountEntry* account = config.FindAccount(user);
    static const std::string kNoPassword = "\x01 no account \x01";
    bool match = PasswordsEqual(password, account != nullptr ? account->password : kNoPassword);
    if (account == nullptr || !account->enabled || account->password.empty() || !match) {
        return nullptr;
    }
    return account;
}

std::string Rfc5322Date(std::chrono::system_clock::time_point when) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) {
        offset = -offset;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign,
                  offset / 60, offset % 60);
    return text;
}

std::string ReceivedHeader(const ReceivedInfo& info) {
    std::string helo;
    for (char c : info.heloName.substr(0, 255)) {
        bool printable = c > 32 && c < 127 && c != '(' && c != ')' && c != '\\';
        helo.push_back(printable ? c : '?');
    }
    bool v6 = info.clientIp.find(':') != std::string::npos;
    std::string protocol = info.esmtp ? "ESMTP" : "SMTP";
    if (info.esmtp && info.tls) {
        protocol += "S";
    }
    if (info.esmtp && info.authenticated) {
        protocol += "A";
    }
    std::string header = "Received: from " + (helo.empty() ? std::string("unknown") : helo) +
                         " ([" + (v6 ? "IPv6:" : "") + info.clientIp + "])\r\n\tby " +
                         info.hostName + " with " + protocol;
    if (!info.singleRecipient.empty()) {
        header += "\r\n\tfor <" + info.singleRecipient + ">";
    }
    header += "; " + Rfc5322Date(info.when) + "\r\n";
    return header;
}

}  // namespace relvo::mail::smtp
