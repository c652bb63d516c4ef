#include "send/transport/signing_trust.h"

#include "core/net_ranges.h"

namespace relvo::mail::send {

std::string ClientIpOf(std::string_view clientAddress) {
    const size_t colon = clientAddress.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == clientAddress.size() ||
        clientAddress.find_first_not_of("0123456789", colon + 1) != std::string_view::npos) {
        return "";
    }
    std::string_view ip = clientAddress.substr(0, colon);
    if (ip.starts_with('[') != ip.ends_with(']') || (ip.starts_with('[') && ip.size() < 2)) {
        return "";
    }
    if (ip.starts_with('[')) {
        ip = ip.substr(1, ip.size() - 2);
    } else if (ip.find(':') != std::string_view::npos) {
        return "";  // IPv6 is written in brackets: without them the port cannot be told apart
    }
    return ParseIpAddress(ip) ? std::string(ip) : "";
}

bool TrustedSubmission(std::string_view authUser, const std::optional<std::string>& clientAddress,
                       const std::vector<IpNetwork>& relayNetworks,
                       const std::vector<IpNetwork>& balancers) {
    if (!authUser.empty() || !clientAddress) {
        return true;
    }
    const std::string ip = ClientIpOf(*clientAddress);
    const std::optional<IpAddress> address = ParseIpAddress(ip);
    return address && !InAnyNetwork(balancers, *address) &&
           (IsLoopback(ip) || InAnyNetwork(relayNetworks, *address));
}

}  // namespace relvo::mail::send
