// Client addresses as the receiving service's rules see them: which count as local, which key the
// per-client limits count by, and the operator's networks that may relay.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace relvo::mail {

// 127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, fc00::/7, fe80::/10, and these
// IPv4 ranges as v4-mapped IPv6. Accepts "[addr]" and a zone ("fe80::1%eth0"). Anything that
// does not parse as an address is not local.
bool IsLoopbackOrPrivate(std::string_view ipAddress);

// 127.0.0.0/8, ::1 and v4-mapped 127.0.0.0/8, in the same forms.
bool IsLoopback(std::string_view ipAddress);

// What per-client limits count: an IPv4 address itself (also when v4-mapped), or the /64 of an
// IPv6 address ("2001:db8:1:2::/64"), since one IPv6 client may use any address of its /64.
// Text that is no address is its own key.
std::string ClientKey(std::string_view ipAddress);

// A network in CIDR form; IPv4 ones are kept as v4-mapped IPv6 so one comparison serves both.
struct NetRange {
    std::array<uint8_t, 16> prefix{};
    int bits = 0;  // of the 128
};

// "192.0.2.0/24", "2001:db8::/32", or a bare address (one host). Bits must fit the family and no
// host bits may be set beyond the prefix; nullopt otherwise.
std::optional<NetRange> ParseNetRange(std::string_view cidr);

bool InNetRange(const NetRange& range, std::string_view ipAddress);

}  // namespace relvo::mail
