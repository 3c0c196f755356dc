#include "sanperf_exporter/http/listen_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sanperf_exporter {

namespace {

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    return std::stoul(port) <= 65535;
}

int bind_one(const addrinfo& ai, std::string& why) {
    int fd = socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (ai.ai_family == AF_INET6) {
        // The wildcard serves IPv4 too; a named IPv6 address only itself.
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(ai.ai_addr);
        int v6only = IN6_IS_ADDR_UNSPECIFIED(&a6->sin6_addr) ? 0 : 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (bind(fd, ai.ai_addr, ai.ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
        int error = errno;
        why = std::strerror(error);
        close(fd);
        errno = error;  // for the caller's IPv4 fallback
        return -1;
    }
    return fd;
}

}  // namespace

bool parse_listen_address(const std::string& text, listen_address& out, std::string& why) {
    std::string host, port;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            why = "expected [IPV6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (host.empty()) {
            why = "empty IPv6 address";
            return false;
        }
    } else {
        std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            why = "expected HOST:PORT or :PORT";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            why = "an IPv6 address needs brackets: [IPV6]:PORT";
            return false;
        }
    }
    if (!valid_port(port)) {
        why = "the port must be a number from 0 to 65535";
        return false;
    }
    out.host = host;
    out.port = port;
    return true;
}

namespace {

// The wildcard: one dual-stack socket, or IPv4 alone where IPv6 is off.
int bind_wildcard(const std::string& port, std::string& why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_INET6;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(nullptr, port.c_str(), &hints, &found);
    if (rc != 0) {
        hints.ai_family = AF_INET;
        rc = getaddrinfo(nullptr, port.c_str(), &hints, &found);
    }
    if (rc != 0) {
        why = gai_strerror(rc);
        return -1;
    }
    int fd = bind_one(*found, why);
    // A machine without IPv6 still serves the wildcard on IPv4.
    if (fd < 0 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
        freeaddrinfo(found);
        found = nullptr;
        hints.ai_family = AF_INET;
        if (getaddrinfo(nullptr, port.c_str(), &hints, &found) == 0) fd = bind_one(*found, why);
    }
    if (found) freeaddrinfo(found);
    return fd;
}

void set_port(sockaddr* address, in_port_t port) {
    if (address->sa_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = port;
    else if (address->sa_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(address)->sin_port = port;
}

in_port_t port_of(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port;
}

}  // namespace

bool bind_listen_sockets(const listen_address& address, std::vector<int>& fds, std::string& why) {
    if (address.host.empty()) {
        int fd = bind_wildcard(address.port, why);
        if (fd >= 0) fds.push_back(fd);
        return fd >= 0;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found); rc != 0) {
        why = gai_strerror(rc);
        return false;
    }
    // Every address the name resolves to, each once: a client may be given
    // any of them. Port 0 becomes the port the first one got, so that the
    // name means one port; when that port is taken on another of the
    // addresses, the whole set is tried again on a new one.
    std::vector<int> bound;
    bool failed = false;
    for (int attempt = 0;; ++attempt) {
        std::vector<std::string> seen;
        in_port_t chosen = 0;
        bool taken = false;  // the first address's port is in use on a later one
        failed = false;
        for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
            std::string key(reinterpret_cast<const char*>(ai->ai_addr), ai->ai_addrlen);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
            seen.push_back(key);
            if (address.port == "0") set_port(ai->ai_addr, chosen);
            int fd = bind_one(*ai, why);
            if (fd < 0) {
                failed = true;
                taken = chosen != 0 && errno == EADDRINUSE;
                char text[INET6_ADDRSTRLEN] = "?";
                const void* raw =
                    ai->ai_family == AF_INET6
                        ? static_cast<const void*>(
                              &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr)
                        : static_cast<const void*>(
                              &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr);
                inet_ntop(ai->ai_family, raw, text, sizeof text);
                // A literal address names itself; only a host name's addresses need naming.
                if (address.host != text)
                    why = address.host + " resolves to " + text + ", which cannot be bound: " + why;
                for (int open_fd : bound) close(open_fd);
                bound.clear();
                break;
            }
            if (address.port == "0" && chosen == 0) chosen = port_of(fd);
            bound.push_back(fd);
        }
        if (!taken || attempt == 15) break;
    }
    freeaddrinfo(found);
    if (failed) return false;
    if (bound.empty()) {
        why = address.host + " resolves to no IPv4 or IPv6 address";
        return false;
    }
    fds.insert(fds.end(), bound.begin(), bound.end());
    return true;
}

std::string bound_address(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return std::string("[") + text + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
}

}  // namespace sanperf_exporter
