// The exporter's hold on its open connections: how many one source address,
// and all of them together, may keep open, and how long a request's headers
// may take to arrive, however slowly they trickle. One client can then never
// take every slot, nor keep one by sending a byte now and then; and when
// many clients together fill the table, a client holding few still gets in
// at the expense of the one holding the most. The operator's scrapers
// (reserved sources) have places of their own besides.
#pragma once

#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/http/reserved_sources.h"

namespace sanperf_exporter {

struct connection_limits {
    unsigned total = 0;       // open connections over every listening socket
    unsigned per_source = 0;  // open connections from one client (client_source.h)
    // Places of the total that only reserved sources may take; 0 without
    // any. Set to one client's share when there are.
    unsigned reserved = 0;
    // From a connection's start, or from the end of its last response, to
    // the end of the next request's headers. TLS handshakes count in it.
    std::chrono::milliseconds header_timeout{10000};
    // From a response's start to its last byte sent; then the connection is
    // closed. Long enough for a big body on a slow link.
    std::chrono::milliseconds write_timeout{120000};
    // Metric responses one client may have in progress at once, from its
    // request's admission to its last byte sent.
    unsigned responses_per_source = 40;
};

// Descriptors kept back from connections: the tree's files, the log, the
// listening sockets and libmicrohttpd's own.
constexpr unsigned reserved_descriptors = 128;

// The memory libmicrohttpd gives each connection for its request's head,
// parsed in place, and its response's headers; most of what an open
// connection costs. Half libmicrohttpd's default: a 64-parameter query
// with an 8 KB Authorization header still fits, and a head of 12 KB gets 431.
constexpr std::size_t connection_memory = 16 * 1024;

// Responses one connection serves; the last one closes it.
constexpr unsigned max_responses_per_connection = 1000;

// Connections closed to make room that may be still closing at once; over
// these, a full table refuses. libmicrohttpd's own limit leaves room for
// them.
constexpr unsigned max_evicting = 64;

// The limits a descriptor limit allows: every descriptor beyond the
// reserved ones (at most 16,384) for connections, a sixteenth of that (at
// least 4) for each source.
connection_limits limits_for_descriptors(rlim_t descriptors);

// Raises the soft descriptor limit to the hard one and returns the limit
// then in force.
rlim_t raise_descriptor_limit();

class connection_table {
public:
    // One open connection, from its start until libmicrohttpd closes it.
    struct entry {
        std::string source;  // client_source
        int fd = -1;
        std::chrono::steady_clock::time_point deadline;
        bool waiting = false;  // in waiting_ or sending_, at position
        bool sending = false;  // in sending_ rather than waiting_
        std::list<entry*>::iterator position;
        bool responding = false;  // counts in responses_
        // Responses queued on it, by its own thread.
        unsigned responses = 0;
        // Shut down to make room: counts in evicting_, no more in per_source_.
        bool evicted = false;
        bool reserved = false;  // from a reserved source: counts in reserved_open_
        // What the connection's TLS handshake was given (certificates,
        // trusted CAs), kept until the connection closes.
        std::shared_ptr<const void> tls_material;
        // The listener's own state for the connection's TLS reads.
        std::shared_ptr<void> tls_transport;
    };

    // Refusals and timeouts are counted in metrics. Connections from
    // reserved may take the limits' reserved places, and are closed to make
    // room only for one another.
    connection_table(connection_limits limits, exporter_metrics& metrics,
                     reserved_sources reserved = {});
    ~connection_table();
    connection_table(const connection_table&) = delete;
    connection_table& operator=(const connection_table&) = delete;

    const connection_limits& limits() const { return limits_; }

    // Whether a new connection from address may open. When the table is
    // full and another client holds more than one connection beyond this
    // one's, that client's connection idle longest is closed to make room.
    // A reserved source gets in while any place is free; in a full table,
    // the connection idle longest of the unreserved client holding the most
    // is closed for it, whatever the newcomer holds. Any polling thread.
    bool admit(const sockaddr* address, socklen_t length);
    // A connection opened on socket fd: it counts against the limits and
    // its headers are due within the timeout. The entry lives until closed.
    entry* opened(const sockaddr* address, socklen_t length, int fd);
    void closed(entry* e);
    // Its request's headers are in: the clock stops (a request waiting for
    // the tree is never cut off).
    void headers_complete(entry* e);
    // Its response went out: the next request's headers are due.
    void awaiting_request(entry* e);
    // Its response starts: the rest of it is due within the write timeout.
    void sending(entry* e);
    // A metric response for it may begin, within its client's share; false
    // when the client has its share in progress. The share is given back
    // when the response is over (awaiting_request) or the connection closes.
    bool begin_response(entry* e);

private:
    using clock = std::chrono::steady_clock;
    void watch();

    connection_limits limits_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    unsigned open_ = 0;
    unsigned evicting_ = 0;
    unsigned reserved_open_ = 0;
    // The most open at once since memory was last handed back: once a
    // quarter of that many are left, the allocator returns what it keeps.
    unsigned peak_ = 0;
    static constexpr unsigned trim_after_peak = 256;
    reserved_sources reserved_;
    std::unordered_map<std::string, unsigned> per_source_;
    // What each client holds apart from its reserved connections: the
    // connections that may be closed to make room for any newcomer.
    std::unordered_map<std::string, unsigned> unreserved_;
    std::unordered_map<std::string, unsigned> responses_;
    // Connections whose headers are due, and those whose response is,
    // each earliest deadline first.
    std::list<entry*> waiting_;
    std::list<entry*> sending_;
    void unlist(entry* e);
    void end_response(entry* e);
    void release_source(entry* e);
    // Closes the connection idle longest of the client that holds the most
    // in holdings, when that is more than least; of its unreserved ones
    // alone when unreserved_only.
    bool evict_from(const std::unordered_map<std::string, unsigned>& holdings, unsigned least,
                    bool unreserved_only);
    exporter_metrics& metrics_;
    std::thread watcher_;
};

}  // namespace sanperf_exporter
