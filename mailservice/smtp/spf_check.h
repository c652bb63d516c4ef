// The SPF result for a client address and an envelope sender (or, for the null sender, the HELO
// name), resolved through the engine's DNS settings within a time limit.
#pragma once

#include <string>

#include "net/dns_lookup.h"

namespace relvo::mail::smtp {

struct SpfOutcome {
    std::string result;    // pass, fail, softfail, neutral, none, temperror or permerror
    std::string identity;  // what was checked: "smtp.mailfrom=<address>" or "smtp.helo=<name>"
};

SpfOutcome CheckSpf(const std::string& clientAddress, const std::string& heloName,
                    const std::string& mailFrom, const net::DnsSettings& dns);

}  // namespace relvo::mail::smtp
