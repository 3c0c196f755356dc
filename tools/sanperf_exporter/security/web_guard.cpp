#include "web_guard.h"

#include "basic_auth_header.h"
#include "log.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

namespace sanperf_exporter::security {
namespace {

// bcrypt checks at once: half the cores, so wrong passwords cannot take them
// all. A check never waits for a slot: a polling thread that waited would
// stall every connection it serves.
unsigned bcrypt_slots() { return std::max(1u, std::thread::hardware_concurrency() / 2); }

std::string peer_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "an unknown address";
    char host[NI_MAXHOST];
    socklen_t size = info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(info->client_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "an unknown address";
    }
    return host;
}

}  // namespace

web_guard::web_guard(std::string path)
    : path_(std::move(path)), gate_(std::make_shared<concurrency_gate>(bcrypt_slots())) {
    current_ = load();
    const web_config& c = current_->config;
    start_tls_ = c.tls.has_value();
    if (c.tls) {
        start_priority_ = c.tls->priority;
        start_client_auth_ = c.tls->client_auth;
        start_identity_ = c.tls->identity;
    }
}

std::shared_ptr<const web_guard::state> web_guard::load() const {
    auto fresh = std::make_shared<state>();
    fresh->config = load_web_config(path_);
    if (const auto& tls = fresh->config.tls) {
        try {
            fresh->credentials = std::make_unique<handshake_credentials>(*tls->identity, tls->client_cas.get());
        } catch (const tls_error& e) {
            throw config_error(path_ + ": " + e.what());
        }
    }
    if (!fresh->config.users.empty()) {
        fresh->checker = std::make_shared<password_checker>(fresh->config.users, gate_, 1024,
                                                            std::chrono::milliseconds(0));
    }
    return fresh;
}

std::shared_ptr<const web_guard::state> web_guard::current() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return current_;
}

bool web_guard::reload(std::string& message) {
    const std::string kept = "; the last good file stays in force";
    std::shared_ptr<const state> fresh;
    try {
        fresh = load();
    } catch (const std::exception& e) {
        message = std::string("reload refused: ") + e.what() + kept;
        return false;
    }
    const web_config& c = fresh->config;
    const char* fixed = nullptr;
    if (c.tls.has_value() != start_tls_) {
        fixed = "turning TLS on or off";
    } else if (c.tls && c.tls->priority != start_priority_) {
        fixed = "changing min_version, max_version, cipher_suites, curve_preferences or "
                "prefer_server_cipher_suites";
    } else if (c.tls && c.tls->client_auth != start_client_auth_) {
        fixed = "changing client_auth_type";
    }
    if (fixed != nullptr) {
        message = "reload refused: " + path_ + ": " + fixed + " takes a restart" + kept;
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        current_ = std::move(fresh);
    }
    message = "reloaded " + path_ + ": " + describe();
    return true;
}

std::shared_ptr<const void> web_guard::handshake(gnutls_session_t session) const {
    std::shared_ptr<const state> s = current();
    if (!s->credentials) return nullptr;
    s->credentials->apply(session);
    return s;
}

web_guard::verdict web_guard::admit(MHD_Connection* connection) {
    std::shared_ptr<const state> s = current();
    verdict v;
    const auto& tls = s->config.tls;
    if (tls && tls->client_auth == client_auth_policy::require_and_verify) {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        auto session = info != nullptr ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
        std::string why = "no TLS session";
        if (session == nullptr || !tls->client_cas->verify_peer(session, why)) {
            v.status = MHD_HTTP_FORBIDDEN;
            certificate_refusals_.log(log_level::warn, "refused a client certificate",
                                      {{"client", peer_address(connection)}, {"err", why}});
            return v;
        }
    }
    if (s->checker) {
        const char* value = nullptr;
        std::size_t size = 0;
        std::optional<basic_credentials> credentials;
        if (MHD_lookup_connection_value_n(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION,
                                          std::strlen(MHD_HTTP_HEADER_AUTHORIZATION), &value, &size) == MHD_YES &&
            value != nullptr) {
            credentials = parse_basic_authorization(std::string_view(value, size));
        }
        login result = credentials ? s->checker->check(credentials->user, credentials->password) : login::denied;
        if (result == login::busy) {
            v.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            v.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "1");
        } else if (result == login::denied) {
            v.status = MHD_HTTP_UNAUTHORIZED;
            v.headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"sanperf\"");
        }
    }
    return v;
}

void web_guard::add_headers(MHD_Response* response) const {
    std::shared_ptr<const state> s = current();
    for (const auto& [name, value] : s->config.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
}

std::string web_guard::describe() const {
    std::shared_ptr<const state> s = current();
    const web_config& c = s->config;
    std::string out;
    if (!c.tls) {
        out = "TLS off";
    } else {
        out = "TLS on (" + c.tls->priority + ")";
        if (c.tls->client_auth == client_auth_policy::require_and_verify) out += ", client certificates verified";
    }
    out += c.users.empty() ? ", authentication off"
                           : ", basic authentication on (" + std::to_string(c.users.size()) + " users)";
    if (!c.headers.empty()) out += ", " + std::to_string(c.headers.size()) + " response headers";
    return out;
}

std::string web_guard::warning() const {
    std::shared_ptr<const state> s = current();
    if (s->config.tls || s->config.users.empty()) return {};
    return path_ + ": basic_auth_users without tls_server_config: passwords cross the network in clear";
}

}  // namespace sanperf_exporter::security
