#include "settings/field_rules.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <charconv>

#include "common/ip_network.h"
#include "common/utilities.h"

namespace {

constexpr std::uint32_t kHighestPort = 65535;

// The ranges the engine holds these keys to (absent or 0 gives its default there); the sheet
// refuses what the engine would silently change.
constexpr NumberRange kRanges[] = {
    {"SmtpMaxMessageSize", 1024, 2147483647, "A message size in bytes"},
    {"SmtpMaxRecipients", 1, 10000, "The recipients per message"},
    {"SmtpMaxErrors", 1, 1000, "The errors per session"},
    {"SmtpMaxSessions", 1, 10000, "The sessions at once"},
    {"SmtpMaxSessionsPerClient", 1, 10000, "The sessions per client"},
    {"SmtpCommandTimeout", 5, 3600, "A command timeout in seconds"},
    {"SmtpDataTimeout", 5, 3600, "A data timeout in seconds"},
    {"SmtpMinDataRate", 1, 1048576, "The least data rate in bytes per second"},
    {"SmtpAuthFailLimit", 1, 1000, "The failed logins per client"},
    {"SendRetrySeconds", 1, 604800, "The first retry interval in seconds"},
};

bool IsIpAddress(std::string_view text) {
    const std::string address(text);
    unsigned char buffer[16];
    return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

bool IsPort(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port >= 1 &&
           port <= kHighestPort;
}

// "192.0.2.1", "192.0.2.1:5353", "2001:db8::1" or "[2001:db8::1]:5353".
bool IsDnsServerEntry(std::string_view entry) {
    if (!entry.empty() && entry.front() == '[') {
        const size_t close = entry.find(']');
        return close != std::string_view::npos && IsIpAddress(entry.substr(1, close - 1)) &&
               (close + 1 == entry.size() ||
                (entry[close + 1] == ':' && IsPort(entry.substr(close + 2))));
    }
    if (IsIpAddress(entry)) {
        return true;
    }
    const size_t colon = entry.rfind(':');
    return colon != std::string_view::npos && entry.find(':') == colon &&
           IsIpAddress(entry.substr(0, colon)) && IsPort(entry.substr(colon + 1));
}

}  // namespace

std::span<const NumberRange> RangedNumberKeys() {
    return kRanges;
}

std::string NumberFieldHint(std::string_view key, std::optional<std::uint32_t> value) {
    if (key == "SmtpPort") {
        const bool fits = value && *value >= 1 && *value <= kHighestPort;
        return fits ? "" : "A port is a number from 1 to 65535";
    }
    if (key == "SmtpPort2nd") {
        const bool fits = value && *value <= kHighestPort;  // 0: no second port
        return fits ? "" : "A port is a number from 1 to 65535, or 0 for no second port";
    }
    for (const NumberRange& range : kRanges) {
        if (key == range.key) {
            const bool fits = value && *value >= range.minimum && *value <= range.maximum;
            return fits
                       ? ""
                       : std::string(range.what) + " is a number from " +
                             std::to_string(range.minimum) + " to " + std::to_string(range.maximum);
        }
    }
    return {};
}

std::string TextFieldHint(std::string_view key, std::string_view value) {
    value = TrimBlanks(value);
    if (value.empty()) {
        return {};  // every text setting of the sheet has a default for "empty"
    }
    if (key == "SmtpListenAddress") {
        return IsIpAddress(value) ? ""
                                  : "The listen address is one IPv4 or IPv6 address of this "
                                    "machine, or empty for all of them";
    }
    if (key == "DnsServer") {
        return IsDnsServerEntry(value)
                   ? ""
                   : "The DNS server is an address with an optional port, such as 192.0.2.53 "
                     "or 192.0.2.53:5353, or empty for the system's servers";
    }
    if (key == "SmtpRelayNetworks" || key == "SmtpProxyFrom") {
        std::vector<std::string> invalid;
        relvo::ParseIpNetworkList(value, &invalid);
        return invalid.empty() ? ""
                               : "\"" + invalid.front() +
                                     "\" is not a network: give addresses or networks such as "
                                     "192.0.2.0/24 or 2001:db8::/48, separated by commas";
    }
    if (key == "SmtpTlsCertFile" || key == "SmtpTlsKeyFile") {
        // The engine does not run from the console's directory: only a full path names one file.
        const std::string path(value);
        if (path.front() != '/') {
            return "Give the full path of the file, starting with /";
        }
        return access(path.c_str(), R_OK) == 0 ? "" : "The file " + path + " cannot be read";
    }
    return {};
}

std::string TlsPairHint(std::string_view certificateFile, std::string_view keyFile) {
    return TrimBlanks(certificateFile).empty() == TrimBlanks(keyFile).empty()
               ? ""
               : "Give both the certificate and its key file, or neither for the certificate "
                 "the server makes itself";
}
