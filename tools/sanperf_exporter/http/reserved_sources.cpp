#include "sanperf_exporter/http/reserved_sources.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sanperf_exporter {

bool reserved_sources::add(const std::string& cidr, std::string& why) {
    const std::size_t slash = cidr.find('/');
    const std::string address = cidr.substr(0, slash);
    network n;
    n.v6 = address.find(':') != std::string::npos;
    if (inet_pton(n.v6 ? AF_INET6 : AF_INET, address.c_str(), n.bytes.data()) != 1) {
        why = cidr + ": not an IPv4 or IPv6 network (as 192.0.2.0/24 or 2001:db8::/32)";
        return false;
    }
    const unsigned bits = n.v6 ? 128 : 32;
    n.prefix = bits;
    if (slash != std::string::npos) {
        const std::string length = cidr.substr(slash + 1);
        if (length.empty() || length.size() > 3 ||
            length.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(length) > bits) {
            why = cidr + ": the prefix length must be a number from 1 to " + std::to_string(bits);
            return false;
        }
        n.prefix = static_cast<unsigned>(std::stoul(length));
    }
    // Every address reserved would leave nobody to make room: the eviction
    // of the client holding the most never closes a reserved connection.
    if (n.prefix == 0) {
        why = cidr + ": reserves every address; name the scrapers' networks";
        return false;
    }
    for (unsigned bit = n.prefix; bit < bits; ++bit) {
        if ((n.bytes[bit / 8] & (0x80u >> (bit % 8))) != 0) {
            why = cidr + ": has bits set beyond its /" + std::to_string(n.prefix) + " prefix";
            return false;
        }
    }
    networks_.push_back(n);
    return true;
}

bool reserved_sources::contains(const sockaddr* address, socklen_t length) const {
    if (address == nullptr) return false;
    const unsigned char* bytes = nullptr;
    bool v6 = false;
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        v6 = !IN6_IS_ADDR_V4MAPPED(&a);
        bytes = v6 ? a.s6_addr : &a.s6_addr[12];
    } else {
        return false;
    }
    for (const network& n : networks_) {
        if (n.v6 != v6) continue;
        const unsigned whole = n.prefix / 8;
        const unsigned rest = n.prefix % 8;
        if (std::memcmp(bytes, n.bytes.data(), whole) != 0) continue;
        const auto mask = static_cast<unsigned char>(0xff00u >> rest);
        if (rest == 0 || (bytes[whole] & mask) == n.bytes[whole]) return true;
    }
    return false;
}

}  // namespace sanperf_exporter
