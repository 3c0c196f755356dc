#include "sanperf_exporter/options.h"

#include <sys/resource.h>

#include <CLI/CLI.hpp>

#include <cmath>
#include <deque>
#include <iostream>
#include <string>

#include "cli/help_format.h"
#include "common/thread_pool.h"
#include "common/time_unit.h"
#include "sanperf_exporter/collectors/registry.h"
#include "sanperf_exporter/http/connection_table.h"
#include "sanperf_exporter/http/routes.h"
#include "sanperf_exporter/security/failure_limit.h"

namespace sanperf_exporter {

namespace {

// The usage line, wrapped under the program's name: the options around the
// collectors' flags, which come from the registry.
std::string usage() {
    std::vector<std::string> words = {"[--web.listen-address=HOST:PORT]...",
                                      "[--web.telemetry-path=PATH]",
                                      "[--web.max-requests=N]",
                                      "[--web.read-header-timeout=DURATION]",
                                      "[--web.write-timeout=DURATION]",
                                      "[--web.reserved-sources=CIDR,...]",
                                      "[--web.tls-handshake-rate=N/DURATION]"};
    for (const collector_entry& e : collector_registry())
        words.push_back(std::string("[--[no-]collector.") + e.name + "]");
    for (const char* w :
         {"[--collector.sockets.aggregate]", "[--root=DIR]", "[--web.config.file=FILE]",
          "[--time-unit=ns|us|ms|s]", "[--log.level=LEVEL]", "[--log.format=FORMAT]",
          "[--collector.disable-defaults]", "[--web.disable-exporter-metrics]",
          "[--web.systemd-socket]", "[--threads=N]"})
        words.push_back(w);
    const std::string indent(24, ' ');
    std::string out = "usage: sanperf_exporter";
    std::size_t column = out.size();
    for (const std::string& w : words) {
        if (column + 1 + w.size() > sanperf_cli::help_width) {
            out += "\n" + indent;
            column = indent.size();
        } else {
            out += ' ';
            ++column;
        }
        out += w;
        column += w.size();
    }
    return out +
           "\n       sanperf_exporter --check-config [--web.config.file=FILE]\n"
           "       sanperf_exporter --hash-password\n"
           "Run 'sanperf_exporter --help' for more.\n";
}

// A timeout as --web.*-timeout gives it, in whole milliseconds, at least one.
bool parse_timeout(const std::string& text, std::chrono::milliseconds& out, std::string& error) {
    double seconds = 0;
    if (!sanperf_tools::parse_duration(text, seconds, error)) return false;
    out = std::chrono::milliseconds(std::llround(seconds * 1000));
    if (out.count() > 0) return true;
    error = "'" + text + "': a timeout is 1ms or more";
    return false;
}

// A rate as N/DURATION: N at once, and N more every DURATION.
bool parse_rate(const std::string& text, unsigned& count, std::chrono::milliseconds& period,
                std::string& error) {
    const std::size_t slash = text.find('/');
    const std::string n = text.substr(0, slash);
    if (slash == std::string::npos || n.empty() || n.size() > 7 ||
        n.find_first_not_of("0123456789") != std::string::npos || std::stoul(n) == 0) {
        error = "'" + text + "': a rate is a count from 1 and a duration, as 600/10s";
        return false;
    }
    count = static_cast<unsigned>(std::stoul(n));
    return parse_timeout(text.substr(slash + 1), period, error);
}

// How the connection limits follow from the descriptor limit, with the
// figures for this process.
std::string connection_limits_footer() {
    rlimit limit{};
    const rlim_t descriptors = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_max : 1024;
    const connection_limits limits = limits_for_descriptors(descriptors);
    return "Connections: the descriptor limit (RLIMIT_NOFILE) is raised to its hard limit; every "
           "descriptor beyond " +
           std::to_string(reserved_descriptors) +
           " may hold a connection, up "
           "to 16384 in all, and one client (an IPv4 address, an IPv6 /64) may hold a sixteenth of "
           "those (at least 4). "
           "Beyond either limit a new connection is closed at once and counted in "
           "sanperf_exporter_connections_refused_total. Here: " +
           std::to_string(limits.total) + " in all, " + std::to_string(limits.per_source) +
           " per client.";
}

}  // namespace

int parse_options(int argc, char** argv, options& opt) {
    CLI::App app{
        "Serves the SAN server's performance counters (disk queues, sessions and "
        "sockets) to Prometheus over HTTP, reading them afresh for every scrape.",
        "sanperf_exporter"};
    app.formatter(std::make_shared<sanperf_cli::help_formatter>("="));
    std::vector<std::string> addresses;
    app.add_option("--web.listen-address", addresses,
                   std::string("Address to listen on, HOST:PORT, [IPV6]:PORT or :PORT "
                               "(repeatable; default :") +
                       default_port + ")")
        ->allow_extra_args(false)
        ->type_name("HOST:PORT");
    app.add_option("--web.telemetry-path", opt.telemetry_path, "Path the metrics are served at")
        ->default_val(opt.telemetry_path)
        ->check([](const std::string& path) { return route_table::refusal(path); })
        ->type_name("PATH");
    app.add_option("--web.max-requests", opt.max_requests,
                   "Metric requests computed at once, and metric responses one client may have in "
                   "progress, sending included; more are answered 503")
        ->default_val(opt.max_requests)
        ->check(CLI::Range(1u, 100000u).description(""))
        ->type_name("N");
    std::string header_timeout = "10s";
    app.add_option("--web.read-header-timeout", header_timeout,
                   "Time a request's headers may take to arrive, counted from the connection's "
                   "start (its TLS handshake included) or from the previous response, however "
                   "slowly they trickle; then the connection is closed (default 10s)")
        ->type_name("DURATION");
    std::string write_timeout = "2m";
    app.add_option("--web.write-timeout", write_timeout,
                   "Time a metric response may take to send, from its first byte; then the "
                   "connection is closed (default 2m)")
        ->type_name("DURATION");
    std::vector<std::string> reserved;
    app.add_option("--web.reserved-sources", reserved,
                   "Networks of the scrapers, IPv4 and IPv6, as 192.0.2.0/24,2001:db8::/64 "
                   "(repeatable): their connections always get a place, however many other "
                   "clients fill the table")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->type_name("CIDR,...");
    std::string handshake_rate = "600/10s";
    app.add_option("--web.tls-handshake-rate", handshake_rate,
                   "TLS handshakes one client may begin: N at once, and N more every DURATION; "
                   "beyond, a connection is closed as soon as accepted, before any cryptography "
                   "(default 600/10s)")
        ->type_name("N/DURATION");
    // One flag with a --no- form per collector; a deque, so that the flags
    // keep their places while it grows.
    std::deque<bool> collector_on;
    for (const collector_entry& e : collector_registry()) {
        collector_on.push_back(e.default_on);
        app.add_flag(std::string("--collector.") + e.name + ",!--no-collector." + e.name,
                     collector_on.back(),
                     std::string(e.help) + (e.default_on ? " (default on)" : " (default off)"));
    }
    app.add_flag("--collector.sockets.aggregate", opt.sockets_aggregate,
                 "Export each socket slot summed over all sockets, and the number of sockets, "
                 "instead of every socket's own series");
    bool disable_defaults = false;
    app.add_flag("--collector.disable-defaults", disable_defaults,
                 "Every collector off unless turned on with its --collector.NAME");
    app.add_flag("--web.disable-exporter-metrics", opt.disable_exporter_metrics,
                 "Leave out the process_* and sanperf_exporter_* metrics");
    app.add_flag("--web.systemd-socket", opt.systemd_socket,
                 "Serve on the sockets systemd passes (socket activation, LISTEN_FDS) instead "
                 "of --web.listen-address");
    app.add_option("--root", opt.root, "Read the tree under DIR instead of /sys/kernel")
        ->type_name("DIR");
    app.add_option("--web.config.file", opt.web_config_file,
                   "Web configuration file: TLS, client certificates, response headers and "
                   "basic-auth users; reread on SIGHUP. A client address that fails more "
                   "than " +
                       std::to_string(security::login_failure_burst) + " logins per " +
                       std::to_string(security::login_failure_period.count()) + " s gets 429")
        ->type_name("FILE");
    std::optional<std::string> time_unit;
    app.add_option("--time-unit", time_unit,
                   "Unit of the server's times: ns, us, ms or s (default: SANPERF_TIME_UNIT; "
                   "unknown when neither is set). When known, sanperf_time_unit_seconds "
                   "tells the query side how to make seconds of them")
        ->type_name("UNIT");
    std::string level_text = "info";
    app.add_option("--log.level", level_text, "Least level logged: debug, info, warn or error")
        ->default_val(level_text)
        ->check([&opt](const std::string& text) {
            return parse_log_level(text, opt.log_level) ? std::string()
                                                        : "must be debug, info, warn or error";
        })
        ->type_name("LEVEL");
    std::string format_text = "logfmt";
    app.add_option("--log.format", format_text, "Log line format: logfmt or json")
        ->default_val(format_text)
        ->check([&opt](const std::string& text) {
            return parse_log_format(text, opt.log_format) ? std::string()
                                                          : "must be logfmt or json";
        })
        ->type_name("FORMAT");
    opt.threads = sanperf_tools::default_threads();
    app.add_option("--threads", opt.threads, sanperf_tools::threads_help())
        ->type_name("N")
        ->check(CLI::Range(1u, sanperf_tools::max_threads).description(""));
    app.add_flag("--hash-password", opt.hash_password,
                 "Read a password from standard input, print its bcrypt hash for "
                 "basic_auth_users and exit");
    app.add_flag("--check-config", opt.check_config,
                 "Check the --web.config.file as a start would, without listening, and exit: "
                 "0 when it would be taken, 1 when not (the log says why)");
    app.footer(connection_limits_footer());
    app.set_version_flag("--version", "sanperf_exporter " SANPERF_VERSION);

    std::string why;
    try {
        app.parse(argc, argv);
        if (addresses.empty()) addresses.push_back(std::string(":") + default_port);
        for (const std::string& text : addresses) {
            listen_address address;
            if (!parse_listen_address(text, address, why))
                throw CLI::ValidationError("--web.listen-address", text + ": " + why);
            opt.listen.push_back(address);
        }
        if (!sanperf_tools::resolve_time_unit(time_unit, opt.time_unit, why))
            throw CLI::ValidationError(why);
        if (!parse_timeout(header_timeout, opt.read_header_timeout, why))
            throw CLI::ValidationError("--web.read-header-timeout", why);
        if (!parse_timeout(write_timeout, opt.write_timeout, why))
            throw CLI::ValidationError("--web.write-timeout", why);
        for (const std::string& network : reserved)
            if (!opt.reserved.add(network, why))
                throw CLI::ValidationError("--web.reserved-sources", why);
        if (!parse_rate(handshake_rate, opt.tls_handshake_burst, opt.tls_handshake_period, why))
            throw CLI::ValidationError("--web.tls-handshake-rate", why);
        std::size_t i = 0;
        for (const collector_entry& e : collector_registry()) {
            const bool named = app.count(std::string("--collector.") + e.name) > 0;
            if (collector_on[i++] && (named || !disable_defaults)) opt.collectors.push_back(e.name);
        }
        if (opt.root.empty() && app.count("--root") > 0)
            throw CLI::ValidationError("--root", "the directory must not be empty");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::cerr << journal_priority(log_level::error) << "sanperf_exporter: " << e.what() << "\n"
                  << usage();
        return 2;
    }
    return -1;
}

}  // namespace sanperf_exporter
