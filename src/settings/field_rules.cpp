#include "settings/field_rules.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <charconv>

#include "common/ip_network.h"
#include "common/mail_address.h"
#include "common/settings_table.h"
#include "common/utilities.h"

namespace {

constexpr unsigned kHighestPort = 65535;  // of a DNS server's UDP port

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

std::string NumberFieldHint(std::string_view key, std::optional<std::uint32_t> value) {
    const relvo::SettingInfo* setting = relvo::FindSetting(key);
    if (setting == nullptr || !setting->HasRange()) {
        return {};
    }
    const auto minimum = static_cast<std::uint32_t>(setting->minimum);
    const auto maximum = static_cast<std::uint32_t>(setting->maximum);
    if (value && *value >= minimum && *value <= maximum) {
        return {};
    }
    const std::string hint = std::string(setting->quantity) + " is a number from ";
    if (setting->zeroMeans != nullptr && minimum == 0) {
        return hint + "1 to " + std::to_string(maximum) + ", or 0 for " + setting->zeroMeans;
    }
    return hint + std::to_string(minimum) + " to " + std::to_string(maximum);
}

std::string TextFieldHint(std::string_view key, std::string_view value) {
    value = TrimBlanks(value);
    if (value.empty()) {
        return {};  // every text setting of the sheet has a default for "empty"
    }
    const relvo::SettingInfo* setting = relvo::FindSetting(key);
    switch (setting == nullptr ? relvo::SettingKind::HostName : setting->kind) {
        case relvo::SettingKind::Address:
            return IsIpAddress(value) ? ""
                                      : "The listen address is one IPv4 or IPv6 address of this "
                                        "machine, or empty for all of them";
        case relvo::SettingKind::DnsServer:
            return IsDnsServerEntry(value)
                       ? ""
                       : "The DNS server is an address with an optional port, such as "
                         "192.0.2.53 or 192.0.2.53:5353, or empty for the system's servers";
        case relvo::SettingKind::AddressList: {
            std::vector<std::string> invalid;
            relvo::ParseIpNetworkList(value, &invalid);
            return invalid.empty() ? ""
                                   : "\"" + invalid.front() +
                                         "\" is not a network: give addresses or networks such "
                                         "as 192.0.2.0/24 or 2001:db8::/48, separated by commas";
        }
        case relvo::SettingKind::FilePath: {
            // The engine does not run from the console's directory: only a full path names one
            // file.
            const std::string path(value);
            if (path.front() != '/') {
                return "Give the full path of the file, starting with /";
            }
            return access(path.c_str(), R_OK) == 0 ? "" : "The file " + path + " cannot be read";
        }
        case relvo::SettingKind::Mailbox: {
            const size_t open = value.rfind('<');
            std::string_view address = value;
            if (open != std::string_view::npos && value.back() == '>') {
                address = value.substr(open + 1, value.size() - open - 2);
            }
            return IsValidMailbox(address) && address.find('@') != std::string_view::npos
                       ? ""
                       : "Give an address such as dmarc@example.org, or a name and an address "
                         "such as Example Org <dmarc@example.org>";
        }
        case relvo::SettingKind::Flag:
        case relvo::SettingKind::Number:
        case relvo::SettingKind::HostName:
            break;
    }
    return {};
}

std::string TlsPairHint(std::string_view certificateFile, std::string_view keyFile) {
    return TrimBlanks(certificateFile).empty() == TrimBlanks(keyFile).empty()
               ? ""
               : "Give both the certificate and its key file, or neither for the certificate "
                 "the server makes itself";
}
