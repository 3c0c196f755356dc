// The networks whose clients always get a connection (the operator's
// scrapers, --web.reserved-sources), however many others fill the table.
#pragma once

#include <sys/socket.h>

#include <array>
#include <string>
#include <vector>

namespace sanperf_exporter {

class reserved_sources {
public:
    // Adds one network, "192.0.2.0/24" or "2001:db8::/32"; an address alone
    // is that one host. False, with the reason in why, for anything else,
    // and for a network with bits set beyond its prefix (192.0.2.1/24),
    // which is more likely a typing error than meant.
    bool add(const std::string& cidr, std::string& why);

    bool empty() const { return networks_.empty(); }

    // Whether a client's address is in one of the networks. An IPv4 client
    // on a dual-stack socket (::ffff:a.b.c.d) is its IPv4 address.
    bool contains(const sockaddr* address, socklen_t length) const;

private:
    struct network {
        bool v6 = false;
        std::array<unsigned char, 16> bytes{};  // the first 4 for IPv4
        unsigned prefix = 0;                    // in bits
    };
    std::vector<network> networks_;
};

}  // namespace sanperf_exporter
