// A list of addresses and CIDR networks from the configuration ("192.0.2.10, 10.0.0.0/8,
// 2001:db8::/32"), and whether an address is in it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail {

class IpNetworks {
  public:
    // Comma-separated entries, blanks around them ignored; an entry that is neither an address
    // nor address/prefix is left out and named in *rejected.
    static IpNetworks Parse(std::string_view list, std::vector<std::string>* rejected);

    bool Empty() const { return networks_.empty(); }
    // An IPv4 address matches its IPv4 entries also when written v4-mapped ("::ffff:a.b.c.d").
    bool Contains(std::string_view ipAddress) const;

  private:
    struct Network {
        bool v6 = false;
        std::array<uint8_t, 16> bytes{};
        int prefixBits = 0;
    };
    static bool ParseEntry(std::string_view entry, Network* network);
    static bool Matches(const Network& network, const Network& address);

    std::vector<Network> networks_;
};

}  // namespace relvo::mail
