// Reads the PROXY header that a listed balancer sends before the client's first byte, within a
// deadline, taking exactly the header's bytes so that the SMTP conversation is untouched.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <optional>
#include <string>

namespace relvo::mail::smtp {

struct ProxyReadResult {
    // The client the header names, or the balancer itself for its own (health check)
    // connections; empty when the connection must be closed.
    std::optional<asio::ip::tcp::endpoint> client;
    std::string failure;        // why it is closed, for the log
    bool balancersOwn = false;  // the header named no client: client is the balancer
};

asio::awaitable<ProxyReadResult> ReadProxyHeader(asio::ip::tcp::socket& socket,
                                                 asio::ip::tcp::endpoint balancer,
                                                 std::chrono::seconds deadline);

}  // namespace relvo::mail::smtp
