// The HTTP side of the exporter: one libmicrohttpd daemon per listening
// socket, the routes, the limits, and the hand-off of metric requests to the
// tree reader.
#pragma once

#include <gnutls/abstract.h>
#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/http/connection_table.h"
#include "sanperf_exporter/http/parked_reads.h"
#include "sanperf_exporter/http/routes.h"
#include "sanperf_exporter/tree_reader.h"

namespace sanperf_exporter {

using header_list = std::vector<std::pair<std::string, std::string>>;

// Query parameters a request may carry; more get 414 as soon as its headers
// are in.
constexpr unsigned max_query_parameters = 64;

// What a request is, as far as deciding whether to serve it goes. Headers
// (Authorization...) and connection details are read from the connection.
struct request_view {
    MHD_Connection* connection;
    const char* method;
    const char* url;
};

// The verdict on a request before anything is produced for it.
struct admission {
    unsigned status = 0;  // 0 serves the request; otherwise the refusal's status
    header_list headers;  // sent with a refusal (WWW-Authenticate...)
    // Set when the verdict takes slow work (a password hash): the listener
    // suspends the connection and calls this with where the final verdict
    // goes, which may be called from any thread, once. The connection's
    // polling thread meanwhile serves the others.
    std::function<void(std::function<void(admission)>)> later;
};

// Decides every request first, whatever its path. Empty admits everything.
using admission_check = std::function<admission(const request_view&)>;

// Sets up a connection's TLS session before its handshake begins: the
// certificate to present, the CAs trusted for client certificates, whether
// one is required. Returns what must stay alive for as long as the
// connection does, or null to close the connection.
using tls_session_setup = std::function<std::shared_ptr<const void>(gnutls_session_t session)>;

// TLS for every daemon, set when they start.
struct tls_listener_settings {
    bool enabled = false;
    std::string priority;  // GnuTLS priority string
    // The certificate and key at start (PEM); each session gets those of
    // setup instead.
    std::string cert_pem;
    std::string key_pem;
    tls_session_setup setup;
    // Whether a client (client_source.h) may begin one more handshake; asked
    // as its connection is accepted, so one refused costs no cryptography.
    // Empty allows every one.
    std::function<bool(const std::string& source)> allow_handshake;
};

struct listener_settings {
    std::vector<int> sockets;                 // bound and listening; the listener closes them
    std::string telemetry_path = "/metrics";  // without a route_table::refusal
    unsigned max_requests = 40;               // metric requests being computed at once; beyond, 503
    connection_limits limits;                 // over every socket together
    reserved_sources reserved;                // may take limits.reserved
    unsigned threads_per_socket = 2;          // polling threads; none ever blocks on the tree
    // The enabled collectors, bit i of a read's collector set being
    // collectors[i], and every collector the exporter has, for collect[].
    std::vector<std::string> collectors;
    std::vector<std::string> known_collectors;
    // Whether a scrape can be served now, for /-/ready.
    std::function<bool()> ready;
    admission_check admit;
    // Adds the operator's headers to every response; may be empty.
    std::function<void(MHD_Response*)> add_response_headers;
    tls_listener_settings tls;
};

class http_listener {
public:
    http_listener(listener_settings settings, tree_reader& reader, exporter_metrics& metrics);
    ~http_listener();
    http_listener(const http_listener&) = delete;
    http_listener& operator=(const http_listener&) = delete;

    // Starts serving on every socket. Returns false, with the reason in why,
    // when a daemon cannot start (those started are stopped again).
    bool start(std::string& why);

    // Stops accepting connections; those open are still served.
    void stop_accepting();
    // Waits until no request is being handled, or until deadline. Returns
    // true when none is left.
    bool wait_idle(std::chrono::steady_clock::time_point deadline) const;
    // Stops the daemons, closing every connection. Requests waiting for the
    // reader must have been answered first (tree_reader::stop does that).
    void stop();

private:
    struct request;
    static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url,
                                 const char* method, const char* version, const char* upload,
                                 std::size_t* upload_size, void** state);
    static void on_completed(void* cls, MHD_Connection* connection, void** state,
                             MHD_RequestTerminationCode why);
    // Makes each request's state as its request line arrives.
    static void* on_request_line(void* cls, const char* uri, MHD_Connection* connection);
    static bool path_cut_by_nul(const request& r, const char* url, const char* version);
    static MHD_Result on_accept(void* cls, const sockaddr* address, socklen_t length);
    static void on_connection(void* cls, MHD_Connection* connection, void** socket_state,
                              MHD_ConnectionNotificationCode what);
    MHD_Daemon* start_daemon(int socket);
    // Reads a TLS connection's handshake through parked, so that a client
    // that stops halfway costs no CPU.
    void park_blocked_handshake_reads(MHD_Connection* connection, gnutls_session_t session,
                                      connection_table::entry& e);
    MHD_Result begin(MHD_Connection* connection, const char* url, const char* method, request& r);
    // Answers a request whose admission verdict is in.
    MHD_Result admitted(MHD_Connection* connection, const char* url, const char* method,
                        request& r);
    MHD_Result answer_metrics(MHD_Connection* connection, request& r);
    // The collectors a metric request's collect[] parameters name (all
    // enabled ones without any); false with the reason for the client when
    // one is unknown or disabled.
    bool requested_collectors(MHD_Connection* connection, tree_reader::collector_set& which,
                              std::string& why) const;
    // Gives r's place among the metric requests back, if it holds one.
    void release_slot(request& r);
    MHD_Result respond(MHD_Connection* connection, unsigned status, MHD_Response* response);
    MHD_Result respond_text(MHD_Connection* connection, unsigned status, const std::string& body,
                            const char* content_type, const header_list& headers = {});

    listener_settings settings_;
    tree_reader& reader_;
    exporter_metrics& metrics_;
    route_table routes_;
    connection_table connections_;
    parked_reads parked_;
    std::vector<MHD_Daemon*> daemons_;
    std::atomic<unsigned> metric_requests_{0};  // admitted to the reader, not yet completed
    std::atomic<unsigned> live_requests_{0};    // being handled, of any kind
    std::atomic<bool> stopping_{false};
};

}  // namespace sanperf_exporter
