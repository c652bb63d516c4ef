#include "core/net_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/ip_network.h"

namespace relvo::mail {

namespace {

bool IsLocalV4(const uint8_t* a) {
    return a[0] == 127 || a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) ||
           (a[0] == 192 && a[1] == 168);
}

}  // namespace

bool IsLoopbackOrPrivate(std::string_view ipAddress) {
    if (ipAddress.size() >= 2 && ipAddress.front() == '[' && ipAddress.back() == ']') {
        ipAddress = ipAddress.substr(1, ipAddress.size() - 2);
    }
    if (auto zone = ipAddress.find('%'); zone != std::string_view::npos) {
        ipAddress = ipAddress.substr(0, zone);
    }
    if (ipAddress.empty() || ipAddress.size() > INET6_ADDRSTRLEN) {
        return false;
    }
    const std::string text(ipAddress);
    uint8_t bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        return IsLocalV4(bytes);
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) {
        return false;
    }
    static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(bytes, bytes + 16, loopback)) {
        return true;
    }
    if (std::equal(bytes, bytes + 12, mappedPrefix)) {
        return IsLocalV4(bytes + 12);
    }
    return (bytes[0] & 0xFE) == 0xFC || (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80);
}

bool IsLoopback(std::string_view ipAddress) {
    const std::optional<IpAddress> address = ParseIpAddress(ipAddress);
    static const IpAddress kLoopback6{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    return address &&
           (address->IsV4() ? address->bytes[12] == 127 : address->bytes == kLoopback6.bytes);
}

std::string ClientKey(std::string_view ipAddress) {
    const std::optional<IpAddress> address = ParseIpAddress(ipAddress);
    if (!address) {
        return std::string(ipAddress);
    }
    const IpAddress group = ClientGroup(*address);
    char text[INET6_ADDRSTRLEN];
    if (group.IsV4()) {
        inet_ntop(AF_INET, group.bytes.data() + 12, text, sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, group.bytes.data(), text, sizeof text);
    return std::string(text) + "/64";
}

}  // namespace relvo::mail
