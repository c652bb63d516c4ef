// IP addresses and networks as the configuration names them ("192.0.2.0/24", "2001:db8::/32",
// a bare address for one host): the relay networks, the balancers a server trusts, and the
// client grouping of the limits (an IPv6 client is counted by its /64).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace relvo {

// An address as 16 bytes; IPv4 is kept as its v4-mapped IPv6 form (::ffff:a.b.c.d), so
// "192.0.2.1" and "::ffff:192.0.2.1" are the same client.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool IsV4() const;
};

// "192.0.2.1", "2001:db8::1", "[2001:db8::1]", "fe80::1%eth0" (the zone is dropped).
std::optional<IpAddress> ParseIpAddress(std::string_view text);

struct IpNetwork {
    IpAddress base;      // host bits cleared
    int prefixBits = 0;  // of the 128-bit form (an IPv4 /24 is 96 + 24)
    bool Contains(const IpAddress& address) const;
};

// "address/prefix" or a bare address (the host alone). Host bits set in the address are refused,
// since "192.0.2.7/24" most likely means a mistake.
std::optional<IpNetwork> ParseIpNetwork(std::string_view text);

// A comma-separated list, blanks around entries ignored. Entries that do not parse are left out
// and returned in *invalid when given.
std::vector<IpNetwork> ParseIpNetworkList(std::string_view text,
                                          std::vector<std::string>* invalid = nullptr);

bool InAnyNetwork(const std::vector<IpNetwork>& networks, const IpAddress& address);

// The key a client is counted by: an IPv4 address itself, an IPv6 address's /64.
IpAddress ClientGroup(const IpAddress& address);

}  // namespace relvo
