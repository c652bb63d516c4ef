// The PROXY header as the server reads it: only from listed balancers, taken in the steps the
// parser asks for, so that what follows the header is left for the SMTP conversation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ip_network.h"
#include "smtp/proxy_header.h"

namespace relvo::mail::smtp {
namespace {

std::string Binary(char command, char family, std::string addresses) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += command;
    header += family;
    header += static_cast<char>(addresses.size() >> 8);
    header += static_cast<char>(addresses.size() & 0xFF);
    return header + addresses;
}

const std::string kV4(  // 192.0.2.7:40000 -> 198.51.100.1:25, then a TLV to skip
    "\xC0\x00\x02\x07\xC6\x33\x64\x01\x9C\x40\x00\x19\x04\x00\x01\x00", 16);
const std::string kV6 =  // 2001:db8::7 port 40000
    std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x07" + std::string(16, '\1') +
    std::string("\x9C\x40\x00\x19", 4);

// What the server does with a connection from peer that sends wire: "unlisted" (served as any
// client), "refused", "waits" (the header is not complete yet), or the address it serves with
// and what is left for the conversation.
std::string Judge(const std::string& peer, const std::string& wire) {
    const auto balancers = ParseIpNetworkList(" 127.0.0.1, 10.1.0.0/16 ,::1,bad/99");
    const std::optional<IpAddress> peerAddress = ParseIpAddress(peer);
    if (!peerAddress || !InAnyNetwork(balancers, *peerAddress)) {
        return "unlisted";
    }
    std::string received;
    for (std::optional<size_t> need; (need = ProxyHeaderBytesNeeded(received)) != 0;) {
        if (!need || *need > kMaxProxyBinaryHeader) {
            return "refused";
        }
        if (received.size() + *need > wire.size()) {
            return "waits";
        }
        received = wire.substr(0, received.size() + *need);
    }
    const std::optional<ProxyHeader> header = ParseProxyHeader(received);
    if (!header) {
        return "refused";
    }
    const std::string client = header->namesClient
                                   ? header->clientIp + " " + std::to_string(header->clientPort)
                                   : "balancer";
    return client + " | " + wire.substr(received.size());
}

TEST(ProxyHeader, ReadFromListedBalancersOnly) {
    const std::string ehlo = "EHLO a\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"PROXY TCP4 192.0.2.7 198.51.100.1 40000 25\r\n", "192.0.2.7 40000 | "},
        {"PROXY TCP6 2001:DB8::7 2001:db8::1 40000 25\r\n", "2001:db8::7 40000 | "},
        {"PROXY UNKNOWN\r\n", "balancer | "},
        {"PROXY UNKNOWN ff::1 ::1 1 2\r\n", "balancer | "},
        {Binary('\x21', '\x11', kV4), "192.0.2.7 40000 | "},
        {Binary('\x21', '\x21', kV6), "2001:db8::7 40000 | "},
        {Binary('\x20', '\x00', ""), "balancer | "},
        {Binary('\x21', '\x31', std::string(216, 'u')), "balancer | "},
        {Binary('\x21', '\x00', ""), "balancer | "},                 // UNSPEC
        {Binary('\x21', '\x12', kV4.substr(0, 12)), "balancer | "},  // UDP over IPv4
        {"PROXY TCP4 192.0.2.7 198.51.100.1 40000", "waits"},
        {Binary('\x21', '\x11', kV4).substr(0, 20), "waits"},
        {"PROXY TCP4 " + std::string(100, '1'), "refused"},
        {Binary('\x21', '\x21', std::string(521, '\0')), "refused"},
        {Binary('\x21', '\x11', kV4.substr(0, 8)), "refused"},
        {Binary('\x22', '\x11', kV4), "refused"},
        {Binary('\x21', '\x41', kV4), "refused"},
        {"PROXY TCP4 2001:db8::7 198.51.100.1 40000 25\r\n", "refused"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 70000 25\r\n", "refused"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 040000 25\r\n", "refused"},
        {"PROXY TCP4 192.0.2.7  198.51.100.1 40000 25\r\n", "refused"},
        {std::string("PROXY TCP4 192.0.2.7\0 198.51.100.1 1 25\r\n", 41), "refused"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 40000 25\n", "refused"},
        {"EHLO client.example\r\n", "refused"},
    };
    for (const auto& [header, expected] : cases) {
        // A complete header is followed by the client's first command, which must stay unread.
        const bool complete = expected.ends_with("| ");
        const std::string wire = expected == "waits" ? header : header + ehlo;
        EXPECT_EQ(Judge("127.0.0.1", wire), complete ? expected + ehlo : expected) << header;
        EXPECT_EQ(Judge("10.1.200.3", wire), Judge("::1", wire)) << header;
        EXPECT_EQ(Judge("203.0.113.9", wire), "unlisted") << header;
        EXPECT_EQ(Judge("10.2.0.1", wire), "unlisted") << header;
    }
}

}  // namespace
}  // namespace relvo::mail::smtp
