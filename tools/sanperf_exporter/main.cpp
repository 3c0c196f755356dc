// sanperf_exporter: serves the SAN server's performance counters to
// Prometheus over HTTP, reading the tree afresh for each scrape.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "common/root_mount.h"
#include "sanperf_exporter/background_task.h"
#include "sanperf_exporter/collectors/collector.h"
#include "sanperf_exporter/collectors/registry.h"
#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/http/listen_address.h"
#include "sanperf_exporter/http/listener.h"
#include "sanperf_exporter/http/systemd_socket.h"
#include "sanperf_exporter/log.h"
#include "sanperf_exporter/options.h"
#include "sanperf_exporter/scraper.h"
#include "sanperf_exporter/security/failure_limit.h"
#include "sanperf_exporter/security/hash_password.h"
#include "sanperf_exporter/security/web_guard.h"
#include "sanperf_exporter/tree_reader.h"

#include <iostream>
#include <memory>

namespace {

using namespace sanperf_exporter;
using sanperf_tools::mount_root;
using security::web_guard;

std::string join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out.empty() ? "none" : out;
}

// An admission verdict from the guard's, counting its bcrypt check on the
// way.
admission admission_of(web_guard::verdict v, exporter_metrics& metrics) {
    if (v.hashed) metrics.count_password_hash();
    admission out{v.status, std::move(v.headers), {}};
    if (v.later) {
        out.later = [later = std::move(v.later), &metrics](std::function<void(admission)> deliver) {
            later([deliver = std::move(deliver), &metrics](web_guard::verdict final) {
                deliver(admission_of(std::move(final), metrics));
            });
        };
    }
    return out;
}

// The listener's hooks into the web configuration file: admission, headers
// and TLS.
void guard_listener(web_guard& guard, exporter_metrics& metrics, listener_settings& settings) {
    settings.admit = [&guard, &metrics](const request_view& request) {
        return admission_of(guard.admit(request.connection), metrics);
    };
    settings.add_response_headers = [&guard](MHD_Response* response) {
        guard.add_headers(response);
    };
    settings.tls.enabled = guard.tls();
    settings.tls.priority = guard.priority();
    if (settings.tls.enabled) {
        settings.tls.cert_pem = guard.start_identity().cert_pem();
        settings.tls.key_pem = guard.start_identity().key_pem();
    }
    settings.tls.setup = [&guard](gnutls_session_t session) { return guard.handshake(session); };
}

// --check-config: the web configuration file checked as a start would
// check it, for ExecReload to run before the SIGHUP, so that a file the
// running exporter would refuse fails `systemctl reload`.
int check_config(const options& opt) {
    if (opt.web_config_file.empty()) {
        log(log_level::info, "configuration valid: no --web.config.file");
        return 0;
    }
    try {
        web_guard guard(opt.web_config_file);
        if (!guard.warning().empty()) log(log_level::warn, guard.warning());
    } catch (const security::config_error& e) {
        log(log_level::error, e.what());
        return 1;
    }
    log(log_level::info, "configuration valid", {{"web_config_file", opt.web_config_file}});
    return 0;
}

// Sockets passed by systemd to a process told to listen itself would hang
// every scrape at the socket's port while the exporter's own bind fails.
bool passed_sockets_unused(std::string& why) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (pid == nullptr || count == nullptr || std::to_string(getpid()) != pid) return false;
    why = std::string("systemd passed ") + count +
          " socket(s) (LISTEN_FDS) but --web.systemd-socket is not given: add it to ARGS in "
          "/etc/default/sanperf-exporter, or disable sanperf_exporter.socket";
    return true;
}

int run(const options& opt) {
    std::string why;
    if (!opt.systemd_socket && passed_sockets_unused(why)) {
        log(log_level::error, why);
        return 2;
    }
    // A file that cannot be honoured stops the start before anything listens.
    std::unique_ptr<web_guard> guard;
    if (!opt.web_config_file.empty()) {
        try {
            guard = std::make_unique<web_guard>(opt.web_config_file);
        } catch (const security::config_error& e) {
            log(log_level::error, e.what());
            return 1;
        }
        if (!guard->warning().empty()) log(log_level::warn, guard->warning());
    }
    // Before any thread starts: a mount namespace is per process only while
    // there is one thread.
    if (!opt.root.empty() && !mount_root(opt.root, why)) {
        log(log_level::error, "cannot read the root in place of /sys/kernel",
            {{"root", opt.root}, {"err", why}});
        return 1;
    }
    // Every connection holds a descriptor: the limits follow from how many
    // the process may have.
    const rlim_t descriptors = raise_descriptor_limit();
    connection_limits limits = limits_for_descriptors(descriptors);
    limits.header_timeout = opt.read_header_timeout;
    limits.write_timeout = opt.write_timeout;
    limits.responses_per_source = opt.max_requests;
    // The scrapers keep one client's share of the places for themselves.
    if (!opt.reserved.empty()) limits.reserved = limits.per_source;
    // A log reader that goes away must not end the daemon.
    signal(SIGPIPE, SIG_IGN);

    exporter_metrics metrics;
    listener_settings settings;
    settings.telemetry_path = opt.telemetry_path;
    settings.max_requests = opt.max_requests;
    settings.limits = limits;
    settings.reserved = opt.reserved;
    if (guard) guard_listener(*guard, metrics, settings);
    security::failure_limit handshakes(opt.tls_handshake_burst, opt.tls_handshake_period);
    settings.tls.allow_handshake = [&handshakes](const std::string& source) {
        unsigned retry_after = 0;
        return handshakes.take(source, security::failure_limit::clock::now(), retry_after);
    };
    std::vector<std::string> addresses;
    if (opt.systemd_socket) {
        if (!take_systemd_sockets(settings.sockets, why)) {
            log(log_level::error, why);
            for (int open_fd : settings.sockets) close(open_fd);
            return 1;
        }
        for (int fd : settings.sockets) addresses.push_back(bound_address(fd));
    }
    // With systemd's sockets, --web.listen-address is left alone.
    const std::vector<listen_address> none;
    for (const listen_address& address : opt.systemd_socket ? none : opt.listen) {
        if (!bind_listen_sockets(address, settings.sockets, why)) {
            log(log_level::error, "cannot listen",
                {{"address", address.host + ":" + address.port}, {"err", why}});
            for (int open_fd : settings.sockets) close(open_fd);
            return 1;
        }
    }
    if (!opt.systemd_socket)
        for (int fd : settings.sockets) addresses.push_back(bound_address(fd));

    // Stop requests are taken by this thread alone, with sigwait below;
    // every thread started from here on inherits the blocked mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::vector<named_collector> collectors = make_collectors(opt);
    std::vector<std::string> names;
    for (const named_collector& n : collectors) names.push_back(n.c->shown_as(n.name));
    std::vector<std::unique_ptr<collector>> always;
    if (opt.time_unit) always.push_back(make_time_unit_collector(*opt.time_unit));

    // Started after the mount of --root, which needs the process
    // single-threaded.
    std::unique_ptr<sanperf_tools::thread_pool> pool;
    if (opt.threads > 1) pool = std::make_unique<sanperf_tools::thread_pool>(opt.threads);
    scraper scrape(std::move(collectors), std::move(always), metrics, !opt.disable_exporter_metrics,
                   pool.get());
    settings.collectors = scrape.names();
    settings.known_collectors = collector_names();
    settings.ready = [] {
        sanperf_tools::selection nothing;
        nothing.disks = nothing.sessions = nothing.sockets = false;
        return sanperf_tools::take_snapshot(nothing).tree_found;
    };
    tree_reader reader([&scrape] { return scrape.scrape(); });
    http_listener listener(std::move(settings), reader, metrics);
    if (!listener.start(why)) {
        log(log_level::error, why);
        reader.stop(std::chrono::seconds(1));
        return 1;
    }
    // Tests and scripts take the port from this line's "listening on HOST:PORT".
    log(log_level::info, "sanperf_exporter listening on " + join(addresses),
        {{"version", SANPERF_VERSION},
         {"telemetry_path", opt.telemetry_path},
         {"root", opt.root.empty() ? std::string("/sys/kernel") : opt.root},
         {"collectors", join(names)},
         {"time_unit", opt.time_unit ? opt.time_unit->name : "unknown"},
         {"web", guard ? guard->describe() : "TLS off, authentication off"},
         {"descriptor_limit", std::to_string(descriptors)},
         {"max_connections", std::to_string(limits.total)},
         {"max_connections_per_source", std::to_string(limits.per_source)},
         {"reserved_connections", std::to_string(limits.reserved)}});

    // The file is reread on a thread of its own: one that stalls can never
    // keep this thread from taking SIGTERM.
    std::unique_ptr<background_task> reloads;
    if (guard) {
        reloads = std::make_unique<background_task>([&guard] {
            std::string message;
            bool taken = guard->reload(message);
            log(taken ? log_level::info : log_level::error, message);
            if (taken && !guard->warning().empty()) log(log_level::warn, guard->warning());
        });
    }
    int signo = 0;
    while (sigwait(&stop, &signo) == 0 && signo == SIGHUP) {
        if (reloads)
            reloads->request();
        else
            log(log_level::info, "SIGHUP: no --web.config.file to reload");
    }
    log(log_level::info, "stopping", {{"signal", signo == SIGINT ? "SIGINT" : "SIGTERM"}});

    // Requests in flight finish; their reads complete within the grace
    // time unless the tree is enormous, and whatever is left is answered 503.
    const auto start = std::chrono::steady_clock::now();
    const bool reloaded = !reloads || reloads->stop(start + std::chrono::milliseconds(200));
    listener.stop_accepting();
    // Logins still waiting for bcrypt are answered 503 at once; those
    // being checked finish.
    if (guard) guard->stop_checks();
    listener.wait_idle(start + std::chrono::seconds(3));
    bool joined = reader.stop(std::chrono::milliseconds(500));
    listener.wait_idle(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    listener.stop();
    if (!joined || !reloaded) {
        // The reader is still inside a read, or a reload inside the file,
        // and uses objects of this frame.
        log(log_level::warn, !joined ? "stopped with a read of the tree unfinished"
                                     : "stopped with a reload of the web configuration unfinished");
        std::_Exit(0);
    }
    log(log_level::info, "stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    int code = parse_options(argc, argv, opt);
    if (code >= 0) return code;
    if (opt.hash_password)
        return security::hash_password(std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) != 0);
    configure_log(opt.log_level, opt.log_format);
    try {
        return opt.check_config ? check_config(opt) : run(opt);
    } catch (const std::exception& e) {
        log(log_level::error, "failed", {{"err", e.what()}});
        return 1;
    }
}
