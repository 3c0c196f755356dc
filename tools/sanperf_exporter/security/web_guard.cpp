#include "sanperf_exporter/security/web_guard.h"

#include "sanperf_exporter/http/client_source.h"
#include "sanperf_exporter/log.h"
#include "sanperf_exporter/security/basic_auth_header.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace sanperf_exporter::security {
namespace {

std::string peer_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "an unknown address";
    char host[NI_MAXHOST];
    socklen_t size =
        info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(info->client_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "an unknown address";
    }
    return host;
}

// Whom failed logins are counted against: the client as every per-client
// limit counts it.
std::string source_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return {};
    const sockaddr* address = info->client_addr;
    return client_source(
        address, address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

void unauthorized(web_guard::verdict& v) {
    v.status = MHD_HTTP_UNAUTHORIZED;
    v.headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"sanperf\"");
}

}  // namespace

web_guard::web_guard(std::string path) : path_(std::move(path)) {
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
            fresh->credentials =
                std::make_unique<handshake_credentials>(*tls->identity, tls->client_cas.get());
        } catch (const tls_error& e) {
            throw config_error(path_ + ": " + e.what());
        }
    }
    if (!fresh->config.users.empty()) {
        fresh->checker = std::make_shared<password_checker>(fresh->config.users, logins_);
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
        fixed =
            "changing min_version, max_version, cipher_suites, curve_preferences or "
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
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        auto session = info != nullptr ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
        std::string why = "no TLS session";
        if (session == nullptr || !tls->client_cas->verify_peer(session, why)) {
            v.status = MHD_HTTP_FORBIDDEN;
            certificate_refusals_.log(rate_limited_log::clock::now(), log_level::warn,
                                      "refused a client certificate",
                                      {{"client", peer_address(connection)}, {"err", why}});
            return v;
        }
    }
    if (s->checker) return check_password(*s, connection);
    return v;
}

web_guard::verdict web_guard::check_password(const state& s, MHD_Connection* connection) {
    verdict v;
    const char* value = nullptr;
    std::size_t size = 0;
    std::optional<basic_credentials> credentials;
    if (MHD_lookup_connection_value_n(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION,
                                      std::strlen(MHD_HTTP_HEADER_AUTHORIZATION), &value,
                                      &size) == MHD_YES &&
        value != nullptr) {
        credentials = parse_basic_authorization(std::string_view(value, size));
    }
    if (!credentials) {
        unauthorized(v);
        return v;
    }
    // The limit comes before the cache too: a source past it must not learn
    // from the answers whether a password is one someone logged in with.
    const std::string source = source_of(connection);
    const auto now = failure_limit::clock::now();
    unsigned retry_after = 0;
    const bool allowed = failures_.allows(source, now, retry_after);
    login quick = allowed ? s.checker->check_cached(credentials->user, credentials->password)
                          : login::needs_hash;
    if (quick == login::granted) return v;
    if (!allowed || !failures_.take(source, now, retry_after)) {
        v.status = MHD_HTTP_TOO_MANY_REQUESTS;
        v.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(retry_after));
        // Fields made cheaply: this runs for every request of a flood.
        static const std::string limit = std::to_string(login_failure_burst) + " per " +
                                         std::to_string(login_failure_period.count()) + "s";
        login_refusals_.log(rate_limited_log::clock::now(), log_level::warn,
                            "too many failed logins, answered 429",
                            {{"client", source}, {"limit", limit}});
        return v;
    }
    if (quick == login::denied) {
        unauthorized(v);
        return v;
    }
    // The checker goes with the job, so a reload meanwhile changes nothing
    // for it.
    v.later = [this, checker = s.checker, source,
               given = std::move(*credentials)](std::function<void(verdict)> deliver) {
        checks_.submit(source, [this, checker, source, given, deliver](bool cancelled) {
            verdict out;
            if (cancelled) {
                out.status = MHD_HTTP_SERVICE_UNAVAILABLE;
                out.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "1");
            } else {
                out.hashed = true;
                if (checker->check_hashed(given.user, given.password)) {
                    failures_.give_back(source, failure_limit::clock::now());
                } else {
                    unauthorized(out);
                    failed_logins_.log(rate_limited_log::clock::now(), log_level::warn,
                                       "failed login", {{"client", source}});
                }
            }
            // The connection stays open until it has its verdict.
            deliver(std::move(out));
        });
    };
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
        if (c.tls->client_auth == client_auth_policy::require_and_verify)
            out += ", client certificates verified";
    }
    out += c.users.empty()
               ? ", authentication off"
               : ", basic authentication on (" + std::to_string(c.users.size()) + " users)";
    if (!c.headers.empty()) out += ", " + std::to_string(c.headers.size()) + " response headers";
    return out;
}

std::string web_guard::warning() const {
    std::shared_ptr<const state> s = current();
    if (s->config.tls || s->config.users.empty()) return {};
    return path_ +
           ": basic_auth_users without tls_server_config: passwords cross the network in clear";
}

}  // namespace sanperf_exporter::security
