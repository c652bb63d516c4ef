#include "common/ip_network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "common/utilities.h"

namespace relvo {

namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr int kV4MappedBits = 96;

void ClearHostBits(IpAddress& address, int prefixBits) {
    for (int bit = prefixBits; bit < 128; ++bit) {
        address.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
}

std::optional<int> ParsePrefix(std::string_view text, int maximum) {
    int bits = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits);
    if (error != std::errc() || end != text.data() + text.size() || bits < 0 || bits > maximum) {
        return std::nullopt;
    }
    return bits;
}

}  // namespace

bool IpAddress::IsV4() const {
    return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (const size_t zone = text.find('%'); zone != std::string_view::npos) {
        text = text.substr(0, zone);
    }
    if (text.empty() || text.size() > INET6_ADDRSTRLEN) {
        return std::nullopt;
    }
    const std::string copy(text);
    IpAddress address;
    std::uint8_t v4[4];
    if (inet_pton(AF_INET, copy.c_str(), v4) == 1) {
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), address.bytes.begin());
        std::copy(v4, v4 + 4, address.bytes.begin() + 12);
        return address;
    }
    if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) == 1) {
        return address;
    }
    return std::nullopt;
}

bool IpNetwork::Contains(const IpAddress& address) const {
    IpAddress masked = address;
    ClearHostBits(masked, prefixBits);
    return masked.bytes == base.bytes;
}

std::optional<IpNetwork> ParseIpNetwork(std::string_view text) {
    text = TrimBlanks(text);
    const size_t slash = text.find('/');
    const std::optional<IpAddress> address = ParseIpAddress(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    const int extra = address->IsV4() ? kV4MappedBits : 0;
    IpNetwork network{*address, 128};
    if (slash != std::string_view::npos) {
        const std::optional<int> bits = ParsePrefix(text.substr(slash + 1), 128 - extra);
        if (!bits) {
            return std::nullopt;
        }
        network.prefixBits = extra + *bits;
    }
    ClearHostBits(network.base, network.prefixBits);
    if (network.base.bytes != address->bytes) {
        return std::nullopt;
    }
    return network;
}

std::vector<IpNetwork> ParseIpNetworkList(std::string_view text,
                                          std::vector<std::string>* invalid) {
    std::vector<IpNetwork> networks;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = TrimBlanks(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) {
            continue;
        }
        if (std::optional<IpNetwork> network = ParseIpNetwork(entry)) {
            networks.push_back(*network);
        } else if (invalid != nullptr) {
            invalid->emplace_back(entry);
        }
    }
    return networks;
}

bool InAnyNetwork(const std::vector<IpNetwork>& networks, const IpAddress& address) {
    return std::any_of(networks.begin(), networks.end(),
                       [&](const IpNetwork& network) { return network.Contains(address); });
}

IpAddress ClientGroup(const IpAddress& address) {
    IpAddress group = address;
    if (!group.IsV4()) {
        ClearHostBits(group, 64);
    }
    return group;
}

}  // namespace relvo
