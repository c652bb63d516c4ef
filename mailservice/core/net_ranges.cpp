#include "core/net_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>

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

}  // namespace relvo::mail
