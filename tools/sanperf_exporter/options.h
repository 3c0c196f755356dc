// sanperf_exporter's command line.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/time_unit.h"
#include "sanperf_exporter/http/listen_address.h"
#include "sanperf_exporter/http/reserved_sources.h"
#include "sanperf_exporter/log.h"

namespace sanperf_exporter {

// The port the exporter listens on unless told otherwise.
constexpr const char* default_port = "9748";

struct options {
    std::vector<listen_address> listen;  // at least one
    std::string telemetry_path = "/metrics";
    unsigned max_requests = 40;  // metric requests served at once; more get 503
    // A request's headers must be complete this long after the connection
    // opened, or after the previous response.
    std::chrono::milliseconds read_header_timeout{10000};
    // A metric response must be sent within this long of its start.
    std::chrono::milliseconds write_timeout{120000};
    // The scrapers' networks, which always get a connection.
    reserved_sources reserved;
    // TLS handshakes one client may begin: a burst at once, and as many
    // again every period.
    unsigned tls_handshake_burst = 600;
    std::chrono::milliseconds tls_handshake_period{10000};
    // The collectors switched on, by name, in the registry's order.
    std::vector<std::string> collectors;
    bool sockets_aggregate = false;
    bool disable_exporter_metrics = false;  // no process_* and sanperf_exporter_* families
    bool systemd_socket = false;            // listen on systemd's sockets, not on listen
    std::string root;                       // empty: /sys/kernel itself
    std::string web_config_file;            // empty: plain HTTP, no authentication
    bool hash_password = false;             // print a bcrypt hash of standard input and exit
    bool check_config = false;              // check --web.config.file and exit
    // The unit of the tree's times: --time-unit, else SANPERF_TIME_UNIT;
    // none when neither says.
    std::optional<sanperf_tools::time_unit> time_unit;
    sanperf_exporter::log_level log_level = log_level::info;
    sanperf_exporter::log_format log_format = log_format::logfmt;
    unsigned threads = 1;  // reading the tree; 1: no threads started for it
};

// Parses the command line into opt. Returns -1 to go on, or the exit code
// to end with: 0 after --help or --version (printed to standard output), 2
// after a usage error (one line and the usage printed to standard error).
int parse_options(int argc, char** argv, options& opt);

}  // namespace sanperf_exporter
