#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace relvo::testing {

namespace free_port_detail {

inline bool Binds(int family, int type, int port) {
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return family == AF_INET6;  // no IPv6 on this machine: nothing to clash with
    bool bound = false;
    if (family == AF_INET6) {
        // The dual-stack wildcard: the service listens on IPv4 and IPv6 alike.
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    close(fd);
    return bound;
}

}  // namespace free_port_detail

// A loopback port nobody uses at the moment, for TCP and UDP alike. It is drawn below the
// kernel's ephemeral range (32768 and up): a port the kernel handed out for probing would be
// handed out again as the source port of some other test's outgoing connection or DNS query
// before our server binds it, which is how a parallel run once met "port in use".
inline int FreePort() {
    static thread_local std::mt19937 draw{std::random_device{}()};
    std::uniform_int_distribution<int> range(20000, 32000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = range(draw);
        using free_port_detail::Binds;
        if (Binds(AF_INET6, SOCK_STREAM, port) && Binds(AF_INET, SOCK_STREAM, port) &&
            Binds(AF_INET, SOCK_DGRAM, port))
            return port;
    }
    return 0;
}

}  // namespace relvo::testing
