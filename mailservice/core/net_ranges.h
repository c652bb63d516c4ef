// Which client addresses count as local: loopback and private networks may relay without AUTH
// when SmtpAuthFlag is 0 and may see AUTH offered without TLS.
#pragma once

#include <string_view>

namespace relvo::mail {

// 127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, fc00::/7, fe80::/10, and these
// IPv4 ranges as v4-mapped IPv6. Accepts "[addr]" and a zone ("fe80::1%eth0"). Anything that
// does not parse as an address is not local.
bool IsLoopbackOrPrivate(std::string_view ipAddress);

}  // namespace relvo::mail
