#include "core/net_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace relvo::mail {

namespace {

using Bytes = std::array<uint8_t, 16>;

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const Bytes& a) {
    return std::equal(a.begin(), a.begin() + 12, kMappedPrefix);
}

bool IsLocalV4(const uint8_t* a) {
    return a[0] == 127 || a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) ||
           (a[0] == 192 && a[1] == 168);
}

// The address as 16 bytes, IPv4 written v4-mapped; brackets and a zone are dropped.
std::optional<Bytes> ParseAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (auto zone = text.find('%'); zone != std::string_view::npos) {
        text = text.substr(0, zone);
    }
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
        return std::nullopt;
    }
    const std::string copy(text);
    Bytes bytes{};
    if (inet_pton(AF_INET, copy.c_str(), bytes.data() + 12) == 1) {
        std::copy(std::begin(kMappedPrefix), std::end(kMappedPrefix), bytes.begin());
        return bytes;
    }
    if (inet_pton(AF_INET6, copy.c_str(), bytes.data()) == 1) {
        return bytes;
    }
    return std::nullopt;
}

bool PrefixMatches(const Bytes& a, const Bytes& b, int bits) {
    int whole = bits / 8;
    if (!std::equal(a.begin(), a.begin() + whole, b.begin())) {
        return false;
    }
    int rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool IsLoopbackOrPrivate(std::string_view ipAddress) {
    std::optional<Bytes> bytes = ParseAddress(ipAddress);
    if (!bytes) {
        return false;
    }
    const Bytes& a = *bytes;
    if (IsMapped(a)) {
        return IsLocalV4(a.data() + 12);
    }
    return IsLoopback(ipAddress) || (a[0] & 0xFE) == 0xFC ||
           (a[0] == 0xFE && (a[1] & 0xC0) == 0x80);
}

bool IsLoopback(std::string_view ipAddress) {
    std::optional<Bytes> bytes = ParseAddress(ipAddress);
    if (!bytes) {
        return false;
    }
    static constexpr Bytes kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return *bytes == kLoopback6 || (IsMapped(*bytes) && (*bytes)[12] == 127);
}

std::string ClientKey(std::string_view ipAddress) {
    std::optional<Bytes> bytes = ParseAddress(ipAddress);
    if (!bytes) {
        return std::string(ipAddress);
    }
    char text[INET6_ADDRSTRLEN];
    if (IsMapped(*bytes)) {
        inet_ntop(AF_INET, bytes->data() + 12, text, sizeof text);
        return text;
    }
    Bytes network{};
    std::copy(bytes->begin(), bytes->begin() + 8, network.begin());
    inet_ntop(AF_INET6, network.data(), text, sizeof text);
    return std::string(text) + "/64";
}

std::optional<NetRange> ParseNetRange(std::string_view cidr) {
    size_t slash = cidr.find('/');
    std::optional<Bytes> address = ParseAddress(cidr.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    const bool v4 = IsMapped(*address) && cidr.substr(0, slash).find(':') == std::string_view::npos;
    const int familyBits = v4 ? 32 : 128;
    int bits = familyBits;
    if (slash != std::string_view::npos) {
        std::string_view digits = cidr.substr(slash + 1);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
            bits < 0 || bits > familyBits) {
            return std::nullopt;
        }
    }
    NetRange range{*address, bits + (v4 ? 96 : 0)};
    // Host bits set ("10.0.0.1/8") are most likely a typing slip: refuse rather than guess.
    for (int bit = range.bits; bit < 128; ++bit) {
        if (range.prefix[static_cast<size_t>(bit / 8)] & (0x80 >> (bit % 8))) {
            return std::nullopt;
        }
    }
    return range;
}

bool InNetRange(const NetRange& range, std::string_view ipAddress) {
    std::optional<Bytes> bytes = ParseAddress(ipAddress);
    return bytes && PrefixMatches(range.prefix, *bytes, range.bits);
}

}  // namespace relvo::mail
