// The web configuration file in force for a running listener: the TLS its
// daemons start with, the certificate each handshake presents, and what every
// request must show before anything is produced for it. Reloadable.
#pragma once

#include "sanperf_exporter/log.h"
#include "sanperf_exporter/security/check_pool.h"
#include "sanperf_exporter/security/failure_limit.h"
#include "sanperf_exporter/security/password_check.h"
#include "sanperf_exporter/security/web_config.h"

#include <microhttpd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sanperf_exporter::security {

class web_guard {
public:
    // Loads the file; throws config_error.
    explicit web_guard(std::string path);
    web_guard(const web_guard&) = delete;
    web_guard& operator=(const web_guard&) = delete;

    // Reads the file again. A good file is in force for new connections and
    // requests from then on; a bad one, or one that changes what the daemons
    // were started with (TLS on or off, versions, suites, curves, client
    // certificate policy), leaves the last good file in force. Returns
    // whether the new file was taken, with a line for the log in message.
    bool reload(std::string& message);

    // What the daemons start with; fixed for the process's life.
    bool tls() const { return start_tls_; }
    const std::string& priority() const { return start_priority_; }

    // The certificate and key the file had at start (PEM).
    const server_identity& start_identity() const { return *start_identity_; }

    // Sets up a TLS session, before its handshake, with the file in force:
    // its certificate and key, and with client certificates required, its
    // CAs (named in the handshake, which fails without a certificate that
    // chains to them). Returns what the connection must keep alive until it
    // closes; null when TLS is off.
    std::shared_ptr<const void> handshake(gnutls_session_t session) const;

    struct verdict {
        unsigned status = 0;  // 0: serve; otherwise refuse with this status
        std::vector<std::pair<std::string, std::string>> headers;
        bool hashed = false;  // a bcrypt check was run for it
        // Set when only bcrypt can decide: the caller parks the request and
        // calls this with where the final verdict goes. That is called
        // once, from a checking thread (or from stop_checks).
        std::function<void(std::function<void(verdict)>)> later;
    };
    // Decides a request: a verified client certificate when the file asks
    // for one (else 403), then the basic-auth user: a cached login at once,
    // any other on the checking threads (401 when wrong). A source address
    // past its failed logins gets 429 with Retry-After, whatever it sends.
    verdict admit(MHD_Connection* connection);

    // Runs no more bcrypt checks: those queued are answered 503, and those
    // running are waited for. For the stop, before the connections go.
    void stop_checks() { checks_.stop(); }

    // Adds the file's response headers.
    void add_headers(MHD_Response* response) const;

    // One line on the TLS and authentication in force, and a warning when
    // passwords would cross the network in clear.
    std::string describe() const;
    std::string warning() const;

private:
    struct state {
        web_config config;
        std::shared_ptr<password_checker> checker;           // null without users
        std::unique_ptr<handshake_credentials> credentials;  // null without TLS
    };
    std::shared_ptr<const state> load() const;
    std::shared_ptr<const state> current() const;
    verdict check_password(const state& s, MHD_Connection* connection);

    std::string path_;
    // Kept across reloads: a user whose hash did not change stays logged in.
    std::shared_ptr<login_cache> logins_ = std::make_shared<login_cache>();
    failure_limit failures_{login_failure_burst, login_failure_period};
    bool start_tls_ = false;
    std::string start_priority_;
    std::shared_ptr<const server_identity> start_identity_;
    client_auth_policy start_client_auth_ = client_auth_policy::none;

    mutable std::mutex mutex_;
    // Connections keep the state their handshake used; an earlier file's
    // goes once the last of them closes.
    std::shared_ptr<const state> current_;

    // Clients can repeat these at will: they must not flood the log.
    rate_limited_log certificate_refusals_;
    rate_limited_log failed_logins_;
    rate_limited_log login_refusals_;
    // Last, so it stops first: its jobs use the members above.
    check_pool checks_;
};

}  // namespace sanperf_exporter::security
