// Which client addresses count as local: loopback and private networks may see AUTH offered
// without TLS; loopback may relay without AUTH when SmtpAuthFlag is 0.
#pragma once

#include <string>
#include <string_view>

namespace relvo::mail {

// 127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, fc00::/7, fe80::/10, and these
// IPv4 ranges as v4-mapped IPv6. Accepts "[addr]" and a zone ("fe80::1%eth0"). Anything that
// does not parse as an address is not local.
bool IsLoopbackOrPrivate(std::string_view ipAddress);

// 127.0.0.0/8 and ::1, also v4-mapped, in the same forms.
bool IsLoopback(std::string_view ipAddress);

// What per-client limits count, as text: an IPv4 address (also when v4-mapped), or the /64 of an
// IPv6 address ("2001:db8:1:2::/64"). Text that is no address is its own key.
std::string ClientKey(std::string_view ipAddress);

}  // namespace relvo::mail
