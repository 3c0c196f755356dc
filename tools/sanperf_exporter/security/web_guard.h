// The web configuration file in force for a running listener: the TLS its
// daemons start with, the certificate each handshake presents, and what every
// request must show before anything is produced for it. Reloadable.
#pragma once

#include "log.h"
#include "password_check.h"
#include "web_config.h"

#include <microhttpd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sanperf_exporter::security {

class web_guard {
public:
    // Loads the file; throws config_error. One guard per process: TLS
    // handshakes find it through certificate().
    explicit web_guard(std::string path);
    ~web_guard();
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
    const std::string& client_ca_pem() const { return start_ca_pem_; }  // empty: none asked for

    // libmicrohttpd's certificate callback: the certificate and key of the
    // file in force.
    static int certificate(gnutls_session_t session, const gnutls_datum_t* requested_cas, int cas,
                           const gnutls_pk_algorithm_t* algorithms, int algorithm_count,
                           gnutls_pcert_st** chain, unsigned* chain_length, gnutls_privkey_t* key);

    struct verdict {
        unsigned status = 0;  // 0: serve; otherwise refuse with this status
        std::vector<std::pair<std::string, std::string>> headers;
    };
    // Decides a request: a verified client certificate when the file asks
    // for one (else 403), then the basic-auth user (else 401, or 503 when
    // every bcrypt slot is taken).
    verdict admit(MHD_Connection* connection);

    // Adds the file's response headers.
    void add_headers(MHD_Response* response) const;

    // One line on the TLS and authentication in force, and a warning when
    // passwords would cross the network in clear.
    std::string describe() const;
    std::string warning() const;

private:
    struct state {
        web_config config;
        std::shared_ptr<password_checker> checker;  // null without users
    };
    std::shared_ptr<const state> load() const;
    std::shared_ptr<const state> current() const;

    std::string path_;
    std::shared_ptr<concurrency_gate> gate_;
    bool start_tls_ = false;
    std::string start_priority_;
    std::string start_ca_pem_;
    client_auth_policy start_client_auth_ = client_auth_policy::none;

    mutable std::mutex mutex_;
    std::shared_ptr<const state> current_;
    // Handshakes may still hold certificates of earlier files; they stay
    // until the guard goes.
    std::vector<std::shared_ptr<const state>> retired_;

    // A client retrying without a certificate must not flood the log.
    rate_limited_log certificate_refusals_;
};

}  // namespace sanperf_exporter::security
