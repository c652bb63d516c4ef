#include "common/ip_network.h"

#include <gtest/gtest.h>

namespace relvo {
namespace {

struct MembershipCase {
    const char* networks;
    const char* address;
    bool inside;
};

TEST(IpNetworkTest, ListsHoldTheirAddressesAndNothingElse) {
    const MembershipCase cases[] = {
        {"192.0.2.0/24", "192.0.2.200", true},
        {"192.0.2.0/24", "192.0.3.1", false},
        {"192.0.2.0/24", "::ffff:192.0.2.9", true},  // v4-mapped is the same client
        {"198.51.100.7", "198.51.100.7", true},      // a bare address is one host
        {"198.51.100.7", "198.51.100.8", false},
        {"0.0.0.0/0", "203.0.113.1", true},
        {"0.0.0.0/0", "2001:db8::1", false},  // an IPv4 network holds no IPv6 client
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {" 10.0.0.0/8 , 2001:db8::/64 ", "[2001:db8::5]", true},
        {"fe80::/10", "fe80::1%eth0", true},
        {"", "127.0.0.1", false},
    };
    for (const MembershipCase& c : cases) {
        const std::optional<IpAddress> address = ParseIpAddress(c.address);
        ASSERT_TRUE(address) << c.address;
        EXPECT_EQ(InAnyNetwork(ParseIpNetworkList(c.networks), *address), c.inside)
            << c.networks << " / " << c.address;
    }
}

TEST(IpNetworkTest, MistakesAreReportedAndLeftOut) {
    std::vector<std::string> invalid;
    const auto networks = ParseIpNetworkList(
        "192.0.2.0/24,192.0.2.7/24,10.0.0.0/33,2001:db8::/129,host.example,10.1.0.0/,,1.2.3.4/x",
        &invalid);
    EXPECT_EQ(networks.size(), 1u);
    EXPECT_EQ(invalid, (std::vector<std::string>{"192.0.2.7/24", "10.0.0.0/33", "2001:db8::/129",
                                                 "host.example", "10.1.0.0/", "1.2.3.4/x"}));
}

TEST(IpNetworkTest, ClientsAreGroupedByIpv4AddressOrIpv6Slash64) {
    const auto group = [](const char* text) { return ClientGroup(*ParseIpAddress(text)).bytes; };
    EXPECT_EQ(group("2001:db8:1:2:aaaa::1"), group("2001:db8:1:2:bbbb::9"));
    EXPECT_NE(group("2001:db8:1:2::1"), group("2001:db8:1:3::1"));
    EXPECT_NE(group("192.0.2.1"), group("192.0.2.2"));
    EXPECT_EQ(group("192.0.2.1"), group("::ffff:192.0.2.1"));
}

}  // namespace
}  // namespace relvo
