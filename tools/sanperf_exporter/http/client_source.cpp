#include "sanperf_exporter/http/client_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sanperf_exporter {

std::string client_source(const sockaddr* address, socklen_t length) {
    if (address == nullptr) return {};
    char text[INET6_ADDRSTRLEN];
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr ? text : "";
    }
    if (address->sa_family != AF_INET6 || length < sizeof(sockaddr_in6)) return {};
    in6_addr a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a))
        return inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text) != nullptr ? text : "";
    std::memset(&a.s6_addr[8], 0, 8);
    return inet_ntop(AF_INET6, &a, text, sizeof text) != nullptr ? std::string(text) + "/64" : "";
}

}  // namespace sanperf_exporter
