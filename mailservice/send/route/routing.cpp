#include "send/route/routing.h"

#include <ifaddrs.h>
#include <netdb.h>

#include <algorithm>
#include <string_view>

#include "core/on_pool.h"

namespace relvo::mail::send {

using net::DnsAnswer;
using net::DnsSettings;
using net::MxHost;

namespace {

using Kind = DomainRoute::Kind;

DomainRoute Settled(Kind kind, std::string reason) {
    DomainRoute route;
    route.kind = kind;
    route.reason = std::move(reason);
    route.relaysFollow = true;
    return route;
}

std::string MxList(const std::vector<MxHost>& mx) {
    std::string list;
    for (const MxHost& h : mx) {
        list += (list.empty() ? "" : ", ") + std::to_string(h.preference) + " " +
                (h.host.empty() ? "." : h.host);
    }
    return list;
}

// The domain's mail exchangers by preference, or the domain itself when it has no MX record.
asio::awaitable<DomainRoute> RouteToExchangers(const std::string& domain,
                                               const RouteSettings& settings,
                                               asio::thread_pool& blocking,
                                               const Transcript& transcript) {
    DnsSettings dns = settings.dns;
    auto lookup = [&domain, &dns] { return net::LookupMx(domain, dns); };
    DnsAnswer mx = co_await OnPool(blocking, lookup);
    std::vector<MxHost> hosts;
    if (mx.status == DnsAnswer::Status::kNoSuchDomain) {
        transcript("DNS: " + domain + ": no such domain");
        co_return Settled(Kind::kRefused, "550 5.1.2 no such domain: " + domain);
    }
    if (mx.status == DnsAnswer::Status::kTemporary) {
        transcript("DNS: MX lookup for " + domain + " failed: " + mx.error);
        co_return Settled(Kind::kDeferred, "451 4.4.3 DNS: " + mx.error);
    }
    if (mx.status == DnsAnswer::Status::kNoData) {
        transcript("DNS: " + domain + " has no MX; trying its own address");
        hosts.push_back({0, domain});
    } else {
        transcript("DNS: MX of " + domain + ": " + MxList(mx.mx));
        if (net::IsNullMx(mx.mx)) {
            co_return Settled(Kind::kRefused,
                              "556 5.1.10 " + domain + " accepts no mail (null MX)");
        }
        hosts = mx.mx;
    }
    if (hosts.size() > kMostExchangersPerTry) {
        transcript("Trying the first " + std::to_string(kMostExchangersPerTry) + " of " +
                   std::to_string(hosts.size()) + " exchangers");
        hosts.resize(kMostExchangersPerTry);
    }
    DomainRoute route;
    route.relaysFollow = true;
    for (const MxHost& host : hosts) {
        Target target;
        target.host = host.host;
        target.port = settings.exchangerPort;
        route.targets.push_back(std::move(target));
    }
    co_return route;
}

}  // namespace

asio::awaitable<DomainRoute> RouteDomain(const std::string& domain, const Login& login,
                                         const RouteSettings& settings, asio::thread_pool& blocking,
                                         const Transcript& transcript) {
    DomainRoute route;
    const LocalDomain* local = settings.config ? settings.config->FindLocalDomain(domain) : nullptr;
    if (domain.empty()) {
        route.kind = Kind::kRefused;
        route.reason = "553 5.1.3 the address has no domain";
    } else if (local != nullptr && !local->HasServer()) {
        route.kind = Kind::kMaildir;
    } else if (local != nullptr) {
        Target server;
        server.host = local->serverAddress;
        server.port = local->serverPort;
        server.requireTls = settings.relayTlsVerify;
        server.user = login.user;
        server.password = login.password;
        route.targets.push_back(std::move(server));
    } else {
        route = co_await RouteToExchangers(domain, settings, blocking, transcript);
    }
    co_return route;
}

Target RelayTarget(const RelayAccount& relay, bool verifyCertificate) {
    Target target;
    target.host = relay.server;
    target.port = relay.port;
    target.implicitTls = relay.implicitTls;
    target.verifyCertificate = verifyCertificate;
    target.requireTls = verifyCertificate;
    if (relay.authFlag && !relay.login.empty()) {
        target.user = relay.login;
        target.password = relay.password;
    }
    target.relay = true;
    target.relayMailbox = relay.mailbox;
    return target;
}

std::vector<Target> RelayTargets(const std::vector<RelayAccount>& relays, bool verifyCertificate) {
    std::vector<Target> targets;
    for (const RelayAccount& r : relays) {
        if (r.enabled && !r.server.empty()) {
            targets.push_back(RelayTarget(r, verifyCertificate));
        }
    }
    return targets;
}

asio::awaitable<std::vector<std::string>> LookUpAddresses(const std::string& host,
                                                          const DnsSettings& dns,
                                                          asio::thread_pool& blocking,
                                                          const Transcript& transcript,
                                                          std::string* error) {
    auto lookup = [&host, &dns] { return net::LookupAddresses(host, dns); };
    DnsAnswer answer = co_await OnPool(blocking, lookup);
    if (answer.status != DnsAnswer::Status::kOk) {
        *error = "no address for " + host + ": " + answer.error;
        transcript("DNS: " + *error);
        co_return std::vector<std::string>();
    }
    std::string list;
    for (const std::string& a : answer.addresses) {
        list += (list.empty() ? "" : ", ") + a;
    }
    transcript("DNS: " + host + " has address " + list);
    if (answer.addresses.size() > kMostAddressesPerHost) {
        transcript("Trying the first " + std::to_string(kMostAddressesPerHost) + " addresses of " +
                   host);
        answer.addresses.resize(kMostAddressesPerHost);
    }
    co_return answer.addresses;
}

bool IsOwnService(const std::string& address, int port, const std::vector<int>& ownPorts) {
    if (std::find(ownPorts.begin(), ownPorts.end(), port) == ownPorts.end()) {
        return false;
    }
    if (address.rfind("127.", 0) == 0 || address == "::1" || address == "0.0.0.0" ||
        address == "::") {
        return true;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool own = false;
    for (ifaddrs* a = list; a != nullptr && !own; a = a->ifa_next) {
        if (a->ifa_addr == nullptr ||
            (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6)) {
            continue;
        }
        char text[NI_MAXHOST] = {};
        socklen_t length =
            a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(a->ifa_addr, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
            std::string_view found(text);
            found = found.substr(0, found.find('%'));
            own = found == address;
        }
    }
    freeifaddrs(list);
    return own;
}

}  // namespace relvo::mail::send
