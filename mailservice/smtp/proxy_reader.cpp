#include "smtp/proxy_reader.h"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>

#include "smtp/proxy_header.h"

namespace relvo::mail::smtp {

namespace {

using asio::ip::tcp;

// Shared with the deadline's handler, which may run after the read has finished and the socket
// has moved on to its session: it touches the socket only while the read is under way.
struct DeadlineWatch {
    bool finished = false;
    bool expired = false;
};

struct FinishOnExit {
    std::shared_ptr<DeadlineWatch> watch;
    asio::steady_timer& timer;
    ~FinishOnExit() {
        watch->finished = true;
        timer.cancel();
    }
};

ProxyReadResult Failed(std::string why) {
    return ProxyReadResult{std::nullopt, std::move(why), false};
}

ProxyReadResult ClientOf(const ProxyHeader& header, const tcp::endpoint& balancer) {
    if (!header.namesClient) {
        return ProxyReadResult{balancer, {}, true};
    }
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address(header.clientIp, ec);
    if (ec) {
        return Failed("PROXY header with an unusable client address");
    }
    return ProxyReadResult{tcp::endpoint(address, header.clientPort), {}, false};
}

}  // namespace

asio::awaitable<ProxyReadResult> ReadProxyHeader(tcp::socket& socket, tcp::endpoint balancer,
                                                 std::chrono::seconds deadline) {
    auto watch = std::make_shared<DeadlineWatch>();
    asio::steady_timer timer(socket.get_executor(), deadline);
    timer.async_wait([watch, &socket](asio::error_code ec) {
        if (!ec && !watch->finished) {
            watch->expired = true;
            socket.cancel(ec);
        }
    });
    const FinishOnExit finishOnExit{watch, timer};
    const std::string late =
        "no whole PROXY header within " + std::to_string(deadline.count()) + " s";

    std::string received;
    char chunk[kMaxProxyBinaryHeader];
    for (;;) {
        const std::optional<size_t> needed = ProxyHeaderBytesNeeded(received);
        if (!needed) {
            co_return Failed("no valid PROXY header");
        }
        if (*needed == 0) {
            break;
        }
        if (watch->expired) {
            co_return Failed(late);
        }
        asio::error_code ec;
        const size_t got =
            co_await socket.async_read_some(asio::buffer(chunk, std::min(*needed, sizeof chunk)),
                                            asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            co_return Failed(watch->expired ? late : "closed before its PROXY header ended");
        }
        received.append(chunk, got);
    }
    const std::optional<ProxyHeader> header = ParseProxyHeader(received);
    if (!header) {
        co_return Failed("malformed PROXY header");
    }
    co_return ClientOf(*header, balancer);
}

}  // namespace relvo::mail::smtp
