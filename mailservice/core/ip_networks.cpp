#include "core/ip_networks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace relvo::mail {

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParsePrefixBits(std::string_view text, int maximum, int* bits) {
    if (text.empty() || text.size() > 3) {
        return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *bits);
    return ec == std::errc() && end == text.data() + text.size() && *bits >= 0 && *bits <= maximum;
}

}  // namespace

bool IpNetworks::ParseEntry(std::string_view entry, Network* network) {
    const size_t slash = entry.find('/');
    const std::string_view address = entry.substr(0, slash);
    if (address.empty() || address.size() >= INET6_ADDRSTRLEN ||
        address.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string text(address);
    if (inet_pton(AF_INET, text.c_str(), network->bytes.data()) == 1) {
        network->v6 = false;
        network->prefixBits = 32;
    } else if (inet_pton(AF_INET6, text.c_str(), network->bytes.data()) == 1) {
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        network->v6 = !std::equal(mapped, mapped + 12, network->bytes.begin());
        if (!network->v6) {
            std::copy_n(network->bytes.begin() + 12, 4, network->bytes.begin());
        }
        network->prefixBits = network->v6 ? 128 : 32;
    } else {
        return false;
    }
    return slash == std::string_view::npos ||
           ParsePrefixBits(entry.substr(slash + 1), network->prefixBits, &network->prefixBits);
}

bool IpNetworks::Matches(const Network& network, const Network& address) {
    if (network.v6 != address.v6) {
        return false;
    }
    const int whole = network.prefixBits / 8;
    if (!std::equal(network.bytes.begin(), network.bytes.begin() + whole, address.bytes.begin())) {
        return false;
    }
    const int rest = network.prefixBits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (network.bytes[static_cast<size_t>(whole)] & mask) ==
           (address.bytes[static_cast<size_t>(whole)] & mask);
}

IpNetworks IpNetworks::Parse(std::string_view list, std::vector<std::string>* rejected) {
    IpNetworks networks;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view entry = Trimmed(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (entry.empty()) {
            continue;
        }
        Network network;
        if (ParseEntry(entry, &network)) {
            networks.networks_.push_back(network);
        } else if (rejected != nullptr) {
            rejected->emplace_back(entry);
        }
    }
    return networks;
}

bool IpNetworks::Contains(std::string_view ipAddress) const {
    ipAddress = ipAddress.substr(0, ipAddress.find('%'));  // a link-local address's zone
    Network address;
    if (networks_.empty() || ipAddress.find('/') != std::string_view::npos ||
        !ParseEntry(ipAddress, &address)) {
        return false;
    }
    return std::any_of(networks_.begin(), networks_.end(),
                       [&](const Network& network) { return Matches(network, address); });
}

}  // namespace relvo::mail
