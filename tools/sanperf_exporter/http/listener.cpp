#include "sanperf_exporter/http/listener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "sanperf_exporter/collectors/collect_query.h"
#include "sanperf_exporter/http/body_response.h"
#include "sanperf_exporter/http/client_source.h"
#include "sanperf_exporter/http/gzip.h"
#include "sanperf_exporter/http/request_head.h"
#include "sanperf_exporter/http/unescape.h"
#include "sanperf_exporter/log.h"

namespace sanperf_exporter {

namespace {

const char* const exposition_type = "text/plain; version=0.0.4; charset=utf-8";

// libmicrohttpd's own lines, which any client can cause (a failed TLS
// handshake, a malformed request, a refused connection), are rate-limited
// like every other repeated event; handshake failures apart from the rest,
// so a flood of one does not hide the other.
rate_limited_log tls_lines;
rate_limited_log http_lines;

void log_from_daemon(void*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
    const std::string_view line(text, n);
    const bool tls = line.find("TLS") != line.npos || line.find("handshake") != line.npos;
    (tls ? tls_lines : http_lines)
        .log(rate_limited_log::clock::now(), log_level::warn, line, {{"component", "http"}});
}

// Whether the request's head fails the checks of request_head_check.
bool malformed_head(MHD_Connection* connection, const char* method, const char* version) {
    request_head_check check;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* name, const char* value) {
            auto* c = static_cast<request_head_check*>(cls);
            // libmicrohttpd parses the head in place, each value following
            // its name in the read buffer. A folded line it joins by copying
            // the header's name into a block of its own, past the read
            // buffer, and appending the line to it, while the value stays
            // where it was: the name then lies after its value.
            if (name != nullptr && value != nullptr && !std::less<const char*>()(name, value)) {
                c->add_folded_line();
                return MHD_NO;
            }
            return c->add(name, value) ? MHD_YES : MHD_NO;
        },
        &check);
    return check.malformed(method, version);
}

connection_table::entry* entry_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<connection_table::entry*>(info->socket_context) : nullptr;
}

// A TLS connection's reads during its handshake. GnuTLS reads the socket
// itself then, so libmicrohttpd never learns that a read would block; a read
// that would is parked instead, until the socket is readable.
struct tls_transport {
    parked_reads& parked;
    MHD_Connection* connection;
    int fd;
    bool handshaking = true;  // until the client's Finished message is in
};

ssize_t pull_handshake(gnutls_transport_ptr_t ptr, void* data, std::size_t size) {
    auto* t = static_cast<tls_transport*>(ptr);
    const ssize_t n = recv(t->fd, data, size, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && t->handshaking) {
        t->parked.park(t->connection, t->fd);
        errno = EAGAIN;
    }
    return n;
}

int pull_timeout(gnutls_transport_ptr_t ptr, unsigned int ms) {
    pollfd p{static_cast<tls_transport*>(ptr)->fd, POLLIN, 0};
    return poll(&p, 1, ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(ms));
}

int handshake_finished(gnutls_session_t session, unsigned int, unsigned int, unsigned int incoming,
                       const gnutls_datum_t*) {
    if (incoming == 0) return 0;
    gnutls_transport_ptr_t recv_ptr = nullptr;
    gnutls_transport_ptr_t send_ptr = nullptr;
    gnutls_transport_get_ptr2(session, &recv_ptr, &send_ptr);
    // From here on libmicrohttpd reads through its own adapter, which sees a
    // read that would block.
    static_cast<tls_transport*>(recv_ptr)->handshaking = false;
    return 0;
}

// libmicrohttpd's own inactivity timeout. The connection table closes a
// connection whose request is late and one whose response is; this one only
// backs them up, so it is never shorter than either.
unsigned idle_timeout_seconds(const connection_limits& limits) {
    const auto longest = std::max(limits.header_timeout, limits.write_timeout);
    return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(longest).count() +
                                 1);
}

socklen_t address_length(const sockaddr* address) {
    return address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

// One request's progress, from its request line to its completion.
struct http_listener::request {
    // The raw path as libmicrohttpd first showed it, and its length as a C
    // string, to tell a path cut short by a NUL byte.
    const char* raw_path = nullptr;
    std::size_t raw_path_length = 0;
    enum class phase {
        headers,           // its headers are not all in yet
        received,          // they are, and it counts as live; not decided yet
        awaiting_verdict,  // suspended until the admission check decides
        awaiting_body,     // admitted, suspended until the reader hands over a body
        answered,          // a response is queued
    };
    phase at = phase::headers;
    bool too_many_parameters = false;  // its query was dropped unread
    bool holds_slot = false;           // one of the max_requests places, until its body is ready
    bool gzip = false;
    std::mutex lock;  // verdict and result are set by other threads
    bool delivered = false;
    admission verdict;
    std::shared_ptr<const tree_reader::body> result;
};

http_listener::http_listener(listener_settings s, tree_reader& r, exporter_metrics& m)
    : settings_(std::move(s)),
      reader_(r),
      metrics_(m),
      routes_(settings_.telemetry_path),
      connections_(settings_.limits, m, settings_.reserved) {}

http_listener::~http_listener() { stop(); }

MHD_Daemon* http_listener::start_daemon(int socket) {
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_ERROR_LOG;
    std::vector<MHD_OptionItem> tls;
    if (settings_.tls.enabled) {
        flags |= MHD_USE_TLS;
        // Each session is set up afresh when its connection starts.
        tls.push_back(
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings_.tls.cert_pem.c_str())});
        tls.push_back(
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(settings_.tls.key_pem.c_str())});
        tls.push_back(
            {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(settings_.tls.priority.c_str())});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    // The connection table enforces the limits over every socket and counts
    // its refusals; libmicrohttpd's own limits, a little higher, only back
    // it up against connections accepted by several threads at once, and
    // leave room for those closed to make room that are still closing.
    const unsigned slack = 2 * settings_.threads_per_socket;
    return MHD_start_daemon(
        flags, 0, &http_listener::on_accept, this, &http_listener::on_request, this,
        MHD_OPTION_EXTERNAL_LOGGER, &log_from_daemon, nullptr, MHD_OPTION_LISTEN_SOCKET,
        static_cast<MHD_socket>(socket), MHD_OPTION_THREAD_POOL_SIZE, settings_.threads_per_socket,
        MHD_OPTION_CONNECTION_LIMIT, settings_.limits.total + slack + max_evicting,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings_.limits.per_source + slack,
        MHD_OPTION_CONNECTION_TIMEOUT, idle_timeout_seconds(settings_.limits),
        MHD_OPTION_NOTIFY_COMPLETED, &http_listener::on_completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &http_listener::on_connection, this,
        MHD_OPTION_UNESCAPE_CALLBACK, &unescape_without_nul, nullptr, MHD_OPTION_URI_LOG_CALLBACK,
        &http_listener::on_request_line, nullptr, MHD_OPTION_ARRAY, tls.data(),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_END);
}

bool http_listener::start(std::string& why) {
    for (int socket : settings_.sockets) {
        MHD_Daemon* d = start_daemon(socket);
        if (d == nullptr) {
            why = "cannot start the HTTP server";
            stop();
            return false;
        }
        daemons_.push_back(d);
    }
    return true;
}

void http_listener::stop_accepting() {
    for (MHD_Daemon* d : daemons_) MHD_quiesce_daemon(d);
}

bool http_listener::wait_idle(std::chrono::steady_clock::time_point deadline) const {
    while (live_requests_ > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void http_listener::stop() {
    stopping_ = true;
    parked_.release_all();
    // Quiesced first, a daemon leaves its socket to be closed here, so each
    // socket is closed exactly once whether its daemon started or not.
    for (MHD_Daemon* d : daemons_) {
        MHD_quiesce_daemon(d);
        MHD_stop_daemon(d);
    }
    daemons_.clear();
    for (int socket : settings_.sockets) close(socket);
    settings_.sockets.clear();
}

MHD_Result http_listener::on_request(void* cls, MHD_Connection* connection, const char* url,
                                     const char* method, const char* version, const char*,
                                     std::size_t* upload_size, void** state) {
    auto* self = static_cast<http_listener*>(cls);
    auto* r = static_cast<request*>(*state);
    if (r == nullptr) return MHD_NO;  // every request line makes one
    using phase = request::phase;
    if (r->at == phase::headers) {
        // Only the headers are in: answering now would cost the connection
        // its keep-alive, so the request is decided once it is complete.
        if (connection_table::entry* e = entry_of(connection))
            self->connections_.headers_complete(e);
        r->at = phase::received;
        ++self->live_requests_;
        if (path_cut_by_nul(*r, url, version) || malformed_head(connection, method, version)) {
            r->at = phase::answered;
            return self->respond_text(connection, MHD_HTTP_BAD_REQUEST, "Bad request.\n",
                                      "text/plain", {{MHD_HTTP_HEADER_CONNECTION, "close"}});
        }
        if (r->too_many_parameters) {
            r->at = phase::answered;
            return self->respond_text(
                connection, MHD_HTTP_URI_TOO_LONG,
                "More than " + std::to_string(max_query_parameters) + " query parameters.\n",
                "text/plain", {{MHD_HTTP_HEADER_CONNECTION, "close"}});
        }
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;  // a body is never wanted
        return MHD_YES;
    }
    switch (r->at) {
        case phase::received:
            return self->begin(connection, url, method, *r);
        case phase::awaiting_verdict:
        case phase::awaiting_body: {
            std::lock_guard<std::mutex> hold(r->lock);
            if (!r->delivered) return MHD_YES;
            r->delivered = false;
            break;
        }
        case phase::headers:
        case phase::answered:
            return MHD_YES;
    }
    if (r->at == phase::awaiting_verdict) return self->admitted(connection, url, method, *r);
    r->at = phase::answered;
    return self->answer_metrics(connection, *r);
}

void http_listener::on_completed(void* cls, MHD_Connection* connection, void** state,
                                 MHD_RequestTerminationCode) {
    auto* self = static_cast<http_listener*>(cls);
    auto* r = static_cast<request*>(*state);
    if (r == nullptr) return;
    if (connection_table::entry* e = entry_of(connection)) self->connections_.awaiting_request(e);
    self->release_slot(*r);
    if (r->at != request::phase::headers) --self->live_requests_;
    delete r;
    *state = nullptr;
}

void* http_listener::on_request_line(void*, const char* uri, MHD_Connection*) {
    auto* r = new request;
    r->raw_path = uri;
    r->raw_path_length = std::strlen(uri);
    // libmicrohttpd keeps each query parameter in the connection's small
    // memory pool; thousands of them exhaust it, and it then neither answers
    // nor closes. It parses them from this buffer once this returns: a query
    // with too many is emptied first, and the request answered 414.
    if (char* query = const_cast<char*>(std::strchr(uri, '?'))) {
        const auto separators = std::count(query, query + std::strlen(query), '&');
        if (separators >= static_cast<std::ptrdiff_t>(max_query_parameters)) {
            query[1] = '\0';
            r->too_many_parameters = true;
        }
    }
    return r;
}

bool http_listener::path_cut_by_nul(const request& r, const char* url, const char* version) {
    // libmicrohttpd takes a request line apart in place: the path, decoded
    // in place, keeps its start, and the version follows the raw path and
    // one space. A version further on means a NUL byte ended the path
    // early, and "/metrics\0junk" would pass for "/metrics". Where the
    // layout is not that one, nothing is concluded.
    return url == r.raw_path && *version != '\0' && version > url &&
           version != r.raw_path + r.raw_path_length + 1;
}

MHD_Result http_listener::on_accept(void* cls, const sockaddr* address, socklen_t length) {
    auto* self = static_cast<http_listener*>(cls);
    const tls_listener_settings& tls = self->settings_.tls;
    if (tls.enabled && tls.allow_handshake &&
        !tls.allow_handshake(client_source(address, length))) {
        self->metrics_.count_refused_connection(exporter_metrics::over_handshake_rate);
        return MHD_NO;
    }
    return self->connections_.admit(address, length) ? MHD_YES : MHD_NO;
}

void http_listener::on_connection(void* cls, MHD_Connection* connection, void** socket_state,
                                  MHD_ConnectionNotificationCode what) {
    auto* self = static_cast<http_listener*>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (peer == nullptr || peer->client_addr == nullptr || fd == nullptr) return;
        auto* e = self->connections_.opened(peer->client_addr, address_length(peer->client_addr),
                                            fd->connect_fd);
        *socket_state = e;
        if (!self->settings_.tls.enabled) return;
        // Nothing is read from the client before this returns: the whole
        // handshake uses the session as set up here.
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls != nullptr && tls->tls_session != nullptr) {
            auto session = static_cast<gnutls_session_t>(tls->tls_session);
            e->tls_material = self->settings_.tls.setup(session);
            self->park_blocked_handshake_reads(connection, session, *e);
        }
        if (!e->tls_material) shutdown(fd->connect_fd, SHUT_RDWR);
    } else if (*socket_state != nullptr) {
        self->connections_.closed(static_cast<connection_table::entry*>(*socket_state));
        *socket_state = nullptr;
    }
}

void http_listener::park_blocked_handshake_reads(MHD_Connection* connection,
                                                 gnutls_session_t session,
                                                 connection_table::entry& e) {
    auto t = std::make_shared<tls_transport>(tls_transport{parked_, connection, e.fd});
    // Writes go to the descriptor as before.
    gnutls_transport_set_ptr2(
        session, t.get(), reinterpret_cast<gnutls_transport_ptr_t>(static_cast<intptr_t>(e.fd)));
    gnutls_transport_set_pull_function(session, &pull_handshake);
    gnutls_transport_set_pull_timeout_function(session, &pull_timeout);
    gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_FINISHED, GNUTLS_HOOK_POST,
                                       &handshake_finished);
    e.tls_transport = std::move(t);
}

MHD_Result http_listener::begin(MHD_Connection* connection, const char* url, const char* method,
                                request& r) {
    if (settings_.admit) r.verdict = settings_.admit(request_view{connection, method, url});
    if (!r.verdict.later) return admitted(connection, url, method, r);
    // As with the reader below: suspended first, so the verdict may come
    // back before this call returns.
    r.at = request::phase::awaiting_verdict;
    MHD_suspend_connection(connection);
    auto later = std::move(r.verdict.later);
    later([&r, connection](admission final) {
        {
            std::lock_guard<std::mutex> hold(r.lock);
            r.verdict = std::move(final);
            r.delivered = true;
        }
        MHD_resume_connection(connection);
    });
    return MHD_YES;
}

MHD_Result http_listener::admitted(MHD_Connection* connection, const char* url, const char* method,
                                   request& r) {
    r.at = request::phase::answered;
    if (r.verdict.status != 0)
        return respond_text(connection, r.verdict.status, "Access denied.\n", "text/plain",
                            r.verdict.headers);
    const route_table::decision d = routes_.decide(method, url);
    if (d.status == MHD_HTTP_NOT_FOUND)
        return respond_text(connection, d.status, "Not found.\n", "text/plain");
    if (d.status == MHD_HTTP_METHOD_NOT_ALLOWED)
        return respond_text(connection, d.status, "Method not allowed.\n", "text/plain",
                            {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
    switch (d.which) {
        case route::healthy:
            return respond_text(connection, MHD_HTTP_OK, "Healthy.\n", "text/plain");
        case route::ready:
            if (settings_.ready && !settings_.ready())
                return respond_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                                    "Not ready: the statistics tree is missing.\n", "text/plain");
            return respond_text(connection, MHD_HTTP_OK, "Ready.\n", "text/plain");
        case route::landing:
            return respond_text(connection, MHD_HTTP_OK, routes_.landing_page(),
                                "text/html; charset=utf-8");
        case route::metrics:
            break;
    }
    tree_reader::collector_set which = 0;
    std::string why;
    if (!requested_collectors(connection, which, why))
        return respond_text(connection, MHD_HTTP_BAD_REQUEST, why + "\n", "text/plain");

    // Within its client's share of responses, and a place among the metric
    // requests being computed, or 503.
    connection_table::entry* e = entry_of(connection);
    if (e != nullptr && !connections_.begin_response(e))
        return respond_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            "Too many metric requests from this client at once.\n", "text/plain");
    unsigned busy = metric_requests_.load();
    do {
        if (busy >= settings_.max_requests)
            return respond_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                                "Too many metric requests at once.\n", "text/plain");
    } while (!metric_requests_.compare_exchange_weak(busy, busy + 1));
    r.holds_slot = true;
    r.gzip = accepts_gzip(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));

    // The connection sleeps until the reader hands over a body; the reader
    // may do so even before this call returns, which libmicrohttpd handles
    // once the call is over.
    r.at = request::phase::awaiting_body;
    MHD_suspend_connection(connection);
    reader_.request(
        [&r, connection](std::shared_ptr<const tree_reader::body> result) {
            {
                std::lock_guard<std::mutex> hold(r.lock);
                r.result = std::move(result);
                r.delivered = true;
            }
            MHD_resume_connection(connection);
        },
        e != nullptr ? e->source : std::string(), which, r.gzip);
    return MHD_YES;
}

bool http_listener::requested_collectors(MHD_Connection* connection,
                                         tree_reader::collector_set& which,
                                         std::string& why) const {
    std::vector<std::string> asked;
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            if (std::strcmp(key, "collect[]") == 0)
                static_cast<std::vector<std::string>*>(cls)->emplace_back(value ? value : "");
            return MHD_YES;
        },
        &asked);
    return collectors_asked(asked, settings_.collectors, settings_.known_collectors, which, why);
}

MHD_Result http_listener::answer_metrics(MHD_Connection* connection, request& r) {
    // The body is ready: its place goes to the next request, and sending it
    // is bounded by the write timeout instead.
    release_slot(r);
    if (connection_table::entry* e = entry_of(connection)) connections_.sending(e);
    if (!r.result) {
        if (stopping_)
            return respond_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "Shutting down.\n",
                                "text/plain");
        return respond_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                            "Reading the statistics failed.\n", "text/plain");
    }
    MHD_Response* response = make_body_response(r.result);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, exposition_type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (r.result->form->gzip)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    return respond(connection, MHD_HTTP_OK, response);
}

void http_listener::release_slot(request& r) {
    if (!r.holds_slot) return;
    r.holds_slot = false;
    --metric_requests_;
}

MHD_Result http_listener::respond(MHD_Connection* connection, unsigned status,
                                  MHD_Response* response) {
    if (settings_.add_response_headers) settings_.add_response_headers(response);
    // A connection's last response says so, and libmicrohttpd closes it
    // once sent: however busy a client keeps it, a place is given back now
    // and then.
    connection_table::entry* e = entry_of(connection);
    if (e != nullptr && ++e->responses >= max_responses_per_connection)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result rc = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    metrics_.count_response(status);
    return rc;
}

MHD_Result http_listener::respond_text(MHD_Connection* connection, unsigned status,
                                       const std::string& body, const char* content_type,
                                       const header_list& headers) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    for (const auto& [name, value] : headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    return respond(connection, status, response);
}

}  // namespace sanperf_exporter
