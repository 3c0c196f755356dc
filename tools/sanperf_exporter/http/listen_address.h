// Listening addresses in the exporters' HOST:PORT form, and the sockets
// bound to them.
#pragma once

#include <string>
#include <vector>

namespace sanperf_exporter {

struct listen_address {
    std::string host;  // empty: every local address
    std::string port;  // a number, 0 for any free port
};

// Parses "HOST:PORT", "[IPV6]:PORT" or ":PORT". Returns false, with the
// reason in why, for anything else (no port, a port that is not a number
// from 0 to 65535, an unbalanced bracket).
bool parse_listen_address(const std::string& text, listen_address& out, std::string& why);

// Binds sockets to the address and appends them to fds, listening,
// close-on-exec and non-blocking. A host name gets one socket for every
// address it resolves to (port 0: the same free port for all of them);
// an empty host listens on every IPv6 and IPv4 address (one dual-stack
// socket, or IPv4 alone where IPv6 is off). Returns false, with the reason
// in why and nothing appended, when any of them cannot be bound.
bool bind_listen_sockets(const listen_address& address, std::vector<int>& fds, std::string& why);

// The address a socket is bound to, as "HOST:PORT" or "[IPV6]:PORT"; shows
// the port chosen for port 0.
std::string bound_address(int fd);

}  // namespace sanperf_exporter
