#include "smtp/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace relvo::mail::smtp {

namespace {

constexpr std::string_view kTextPrefix = "PROXY ";
constexpr std::string_view kBinarySignature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr size_t kBinaryFixedPart = 16;
// "PROXY UNKNOWN\r\n" is the shortest header of either kind.
constexpr size_t kShortestHeader = 15;

bool StartsLike(std::string_view received, std::string_view prefix) {
    const size_t n = std::min(received.size(), prefix.size());
    return received.substr(0, n) == prefix.substr(0, n);
}

size_t BinaryLength(std::string_view header) {
    return kBinaryFixedPart + (static_cast<size_t>(static_cast<uint8_t>(header[14])) << 8 |
                               static_cast<uint8_t>(header[15]));
}

std::optional<size_t> TextBytesNeeded(std::string_view received) {
    if (received.find('\n') != std::string_view::npos) {
        return received.ends_with("\r\n") ? std::optional<size_t>(0) : std::nullopt;
    }
    if (received.size() >= kMaxProxyTextHeader) {
        return std::nullopt;
    }
    if (received.size() < kShortestHeader) {
        return kShortestHeader - received.size();
    }
    return received.back() == '\r' ? 1 : 2;
}

std::optional<size_t> BinaryBytesNeeded(std::string_view received) {
    if (received.size() < kBinaryFixedPart) {
        return kBinaryFixedPart - received.size();
    }
    const size_t total = BinaryLength(received);
    if (total > kMaxProxyBinaryHeader) {
        return std::nullopt;
    }
    return total - received.size();
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.size() > 5 || ec != std::errc() || end != text.data() + text.size() ||
        value > 65535 || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

// The numeric address back as canonical text, or "" when text is not one of family.
std::string CanonicalAddress(int family, std::string_view text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
        return {};
    }
    unsigned char bytes[16];
    char canonical[INET6_ADDRSTRLEN];
    const std::string copy(text);
    if (inet_pton(family, copy.c_str(), bytes) != 1 ||
        inet_ntop(family, bytes, canonical, sizeof canonical) == nullptr) {
        return {};
    }
    return canonical;
}

// "PROXY TCP4|TCP6 src dst sport dport\r\n" or "PROXY UNKNOWN ...\r\n".
std::optional<ProxyHeader> ParseText(std::string_view header) {
    if (header.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = header.substr(kTextPrefix.size());
    rest.remove_suffix(2);
    if (rest == "UNKNOWN" || rest.starts_with("UNKNOWN ")) {
        return ProxyHeader{};
    }
    std::string_view fields[5];
    for (size_t i = 0; i < 5; ++i) {
        const size_t space = i < 4 ? rest.find(' ') : rest.size();
        if (space == std::string_view::npos || space == 0) {
            return std::nullopt;
        }
        fields[i] = rest.substr(0, space);
        rest = rest.substr(std::min(rest.size(), space + 1));
    }
    const int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : 0;
    if (family == 0 || fields[4].find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    ProxyHeader result{true, CanonicalAddress(family, fields[1]), 0};
    const std::optional<uint16_t> sourcePort = ParsePort(fields[3]);
    if (result.clientIp.empty() || CanonicalAddress(family, fields[2]).empty() || !sourcePort ||
        !ParsePort(fields[4])) {
        return std::nullopt;
    }
    result.clientPort = *sourcePort;
    return result;
}

// 16 fixed bytes (signature, version and command, family and protocol, length), then the
// addresses and TLVs, which are skipped.
std::optional<ProxyHeader> ParseBinary(std::string_view header) {
    const auto versionCommand = static_cast<uint8_t>(header[12]);
    const auto familyProtocol = static_cast<uint8_t>(header[13]);
    if (versionCommand == 0x20) {
        return ProxyHeader{};  // LOCAL: the balancer's own connection, a health check
    }
    if (versionCommand != 0x21 || (familyProtocol >> 4) > 3 || (familyProtocol & 0x0F) > 2) {
        return std::nullopt;
    }
    const size_t addressBytes = familyProtocol == 0x11 ? 12 : familyProtocol == 0x21 ? 36 : 0;
    if (header.size() < kBinaryFixedPart + addressBytes) {
        return std::nullopt;
    }
    if (addressBytes == 0) {
        return ProxyHeader{};  // not TCP over IP: nothing we can use as the client's address
    }
    const char* source = header.data() + kBinaryFixedPart;
    const size_t addressSize = addressBytes == 12 ? 4 : 16;
    const char* port = source + 2 * addressSize;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(addressSize == 4 ? AF_INET : AF_INET6, source, text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    return ProxyHeader{
        true, text,
        static_cast<uint16_t>(static_cast<uint8_t>(port[0]) << 8 | static_cast<uint8_t>(port[1]))};
}

}  // namespace

std::optional<size_t> ProxyHeaderBytesNeeded(std::string_view received) {
    if (received.empty()) {
        return kShortestHeader;
    }
    if (StartsLike(received, kBinarySignature)) {
        return BinaryBytesNeeded(received);
    }
    if (StartsLike(received, kTextPrefix)) {
        return TextBytesNeeded(received);
    }
    return std::nullopt;
}

std::optional<ProxyHeader> ParseProxyHeader(std::string_view header) {
    const std::optional<size_t> needed = ProxyHeaderBytesNeeded(header);
    if (!needed || *needed != 0) {
        return std::nullopt;
    }
    return header.starts_with(kBinarySignature) ? ParseBinary(header) : ParseText(header);
}

}  // namespace relvo::mail::smtp
