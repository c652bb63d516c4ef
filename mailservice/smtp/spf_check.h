// The SPF result (RFC 7208) for a client address and an envelope sender (or, for the null
// sender, the HELO name). Evaluated as a coroutine on the resolver's loop: a lookup waits for
// nothing but its answer, and every lookup ends by the message's deadline.
#pragma once

#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "net/async_dns.h"

namespace relvo::mail::smtp {

struct SpfOutcome {
    std::string result;    // pass, fail, softfail, neutral, none, temperror or permerror
    std::string identity;  // what was checked: "smtp.mailfrom=<address>" or "smtp.helo=<name>"
};

struct SpfQuery {
    std::string clientAddress;
    std::string heloName;
    std::string mailFrom;   // "" for the null sender
    std::string dnsServer;  // "" = resolv.conf's
    std::shared_ptr<net::AsyncDns::Group> group;
};

// Runs on dns.Executor().
asio::awaitable<SpfOutcome> CheckSpf(net::AsyncDns& dns, SpfQuery query);

}  // namespace relvo::mail::smtp
