// Where a recipient's mail goes: per domain, to its mail exchangers in preference order, to a
// local domain's own server, or into a local Maildir; and the relay accounts for what direct
// sending could not hand over. Routing names hosts; their addresses are looked up only when a
// delivery reaches them, so a later host costs no lookup once an earlier one took the mail.
// DNS lookups run on the blocking pool; the results come back on the caller's executor.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <memory>
#include <string>
#include <vector>

#include "core/engine_config.h"
#include "net/dns_lookup.h"
#include "send/route/relay_accounts.h"
#include "send/transcript.h"

namespace relvo::mail::send {

struct RouteSettings {
    std::shared_ptr<const EngineConfig> config;
    std::vector<RelayAccount> relays;
    net::DnsSettings dns;
    int exchangerPort = 25;      // port of mail exchangers; only tests change it
    bool relayTlsVerify = true;  // RelayTlsVerify
    std::vector<int> ownPorts;   // this machine's SMTP ports: a route to them is a loop
    std::string mailboxDir;
};

// One host to try, with how to talk to it.
struct Target {
    std::string host;
    int port = 25;
    bool implicitTls = false;
    bool verifyCertificate = false;
    bool requireTls = false;  // see ClientTarget::requireTls
    std::string user;         // "" = no AUTH
    std::string password;
    // A relay account's host: it is announced, and when it has no address its recipients are
    // told so at once under the account's name. An exchanger's or a server's missing address
    // is told after the last host, to the recipients still not settled.
    bool relay = false;
    std::string relayMailbox;
};

struct DomainRoute {
    enum class Kind {
        kRefused,   // no delivery possible: every recipient fails with reason
        kDeferred,  // not now: every recipient waits with reason
        kMaildir,   // a local domain without a server of its own
        kTargets,   // the hosts in targets, in order
    };
    Kind kind = Kind::kTargets;
    std::string reason;
    std::vector<Target> targets;
    bool relaysFollow = false;  // direct sending: what is not handed over goes on to the relays
};

// The login a mail was submitted with: a local domain's server gets it.
struct Login {
    std::string user;
    std::string password;
};

// What one try of a recipient group walks at most: a domain with many exchangers, each with many
// addresses, would otherwise hold a sending slot for hours.
inline constexpr size_t kMostExchangersPerTry = 5;
inline constexpr size_t kMostAddressesPerHost = 2;

// The route of one (lower case) recipient domain; the MX answer goes to the transcript.
asio::awaitable<DomainRoute> RouteDomain(const std::string& domain, const Login& login,
                                         const RouteSettings& settings, asio::thread_pool& blocking,
                                         const Transcript& transcript);

// The host of one relay account.
Target RelayTarget(const RelayAccount& relay, bool verifyCertificate);
// The enabled relay accounts that have a server, in RelayList order.
std::vector<Target> RelayTargets(const std::vector<RelayAccount>& relays, bool verifyCertificate);

// The addresses of host (the first kMostAddressesPerHost), told to the transcript; none, with the
// reason in error, when it has none or the lookup fails.
asio::awaitable<std::vector<std::string>> LookUpAddresses(const std::string& host,
                                                          const net::DnsSettings& dns,
                                                          asio::thread_pool& blocking,
                                                          const Transcript& transcript,
                                                          std::string* error);

// Whether address:port is this machine's own SMTP service.
bool IsOwnService(const std::string& address, int port, const std::vector<int>& ownPorts);

}  // namespace relvo::mail::send
