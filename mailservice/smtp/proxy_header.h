// The PROXY header (versions 1 and 2) that a TCP balancer sends before the client's first byte:
// it names the client the balancer accepted. Pure code: the server reads, this judges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace relvo::mail::smtp {

// A text header ends within 107 bytes; a binary one carries at most 520 bytes after its 16.
inline constexpr size_t kMaxProxyTextHeader = 107;
inline constexpr size_t kMaxProxyBinaryHeader = 536;

// How many more bytes to read: 0 when `received` is one whole header, nullopt when it cannot
// begin a valid one. Never more than the header still lacks, so reading exactly this much
// never takes a byte of the conversation that follows.
std::optional<size_t> ProxyHeaderBytesNeeded(std::string_view received);

struct ProxyHeader {
    // False for a health check (binary LOCAL) and for an unknown or non-IP origin: the
    // connection's own address stands.
    bool namesClient = false;
    std::string clientIp;  // numeric, IPv4 or IPv6
    uint16_t clientPort = 0;
};

// `header` is exactly one whole header (ProxyHeaderBytesNeeded said 0); nullopt when malformed.
std::optional<ProxyHeader> ParseProxyHeader(std::string_view header);

}  // namespace relvo::mail::smtp
