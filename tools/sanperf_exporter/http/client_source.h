// Who a client is, for every per-client limit (connections, failed logins):
// an IPv4 address by itself, an IPv6 address by its /64, as one host is
// usually given a whole /64 and may pick any address in it. An IPv4 client
// on a dual-stack socket (::ffff:a.b.c.d) is the IPv4 address.
#pragma once

#include <sys/socket.h>

#include <string>

namespace sanperf_exporter {

// "192.0.2.7" or "2001:db8:1:2::/64"; empty for anything else (a Unix
// socket, an address shorter than its family's), which all such clients
// then share.
std::string client_source(const sockaddr* address, socklen_t length);

}  // namespace sanperf_exporter
