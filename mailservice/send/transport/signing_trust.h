// Whether the SEND service vouches for a queued mail with its DKIM signature. Our signature says
// that one of our own users or machines sent the mail, so it goes only on mail handed in by a
// client we trust, never on mail merely received for a local domain from anyone on the Internet.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ip_network.h"

namespace relvo::mail::send {

// The address of a companion's ClientAddress ("203.0.113.5:51234", "[2001:db8::1]:25"), without
// the port; "" when the text is no address with a port.
std::string ClientIpOf(std::string_view clientAddress);

// True for mail submitted with AUTH (authUser not empty), from loopback or one of relayNetworks,
// or made on this machine without any client (no clientAddress at all: the mail builder). A
// client address that cannot be read is not trusted, nor one inside balancers (SmtpProxyFrom): a
// balancer's own connections, which name no client, keep its address and are trusted for nothing.
bool TrustedSubmission(std::string_view authUser, const std::optional<std::string>& clientAddress,
                       const std::vector<IpNetwork>& relayNetworks,
                       const std::vector<IpNetwork>& balancers);

}  // namespace relvo::mail::send
