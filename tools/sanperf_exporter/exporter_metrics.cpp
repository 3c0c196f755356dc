#include "sanperf_exporter/exporter_metrics.h"

#include <string>
#include <utility>
#include <vector>

#include "common/render_prometheus.h"

namespace sanperf_exporter {

using sanperf_tools::metric_family;

namespace {

#if defined(__clang__)
const char* const compiler = "clang " __clang_version__;
#elif defined(__GNUC__)
const char* const compiler = "gcc " __VERSION__;
#else
const char* const compiler = "unknown";
#endif

}  // namespace

void exporter_metrics::count_response(unsigned status) {
    std::lock_guard<std::mutex> hold(lock_);
    ++responses_[status];
}

void exporter_metrics::render_scrape(sanperf_tools::sink& out, bool tree_found, double seconds,
                                     const std::vector<collector_report>& collectors) const {
    metric_family(out, "sanperf_up", "gauge",
                  "1 when the server's statistics tree is present, 0 when none of its "
                  "directories exists.")
        .sample({}, tree_found ? 1LL : 0LL);
    metric_family(out, "sanperf_scrape_duration_seconds", "gauge",
                  "How long the read of the tree behind this response took.")
        .sample({}, seconds);
    if (collectors.empty()) return;
    metric_family success(out, "sanperf_scrape_collector_success", "gauge",
                          "1 when the collector's part of the tree was present in this scrape.");
    for (const collector_report& c : collectors)
        success.sample({{"collector", c.name}}, c.success ? 1LL : 0LL);
    metric_family duration(out, "sanperf_scrape_collector_duration_seconds", "gauge",
                           "How long the collector's read of the tree took in this scrape.");
    for (const collector_report& c : collectors)
        duration.sample({{"collector", c.name}}, c.seconds);
}

void exporter_metrics::render_exporter(sanperf_tools::sink& out) const {
    metric_family(out, "sanperf_exporter_tree_reads_total", "counter",
                  "Reads of the tree; concurrent scrapes share one read.")
        .sample({}, static_cast<long long>(tree_reads_.load()));
    metric_family(out, "sanperf_exporter_gzip_compressions_total", "counter",
                  "Bodies compressed with gzip; each read's is compressed once, whatever "
                  "the number of responses that send it.")
        .sample({}, static_cast<long long>(compressions_.load()));

    std::vector<std::pair<std::string, unsigned long long>> counts;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const auto& [status, n] : responses_) counts.emplace_back(std::to_string(status), n);
    }
    metric_family requests(out, "sanperf_exporter_requests_total", "counter",
                           "HTTP responses sent, by status code.");
    for (const auto& [code, n] : counts)
        requests.sample({{"code", code}}, static_cast<long long>(n));

    metric_family refusals(
        out, "sanperf_exporter_connections_refused_total", "counter",
        "Connections closed as soon as accepted, for being over the limit of "
        "one source address or of all together, over one source's rate of TLS "
        "handshakes, or finding only the places kept for reserved sources free.");
    refusals.sample({{"reason", "per_source"}},
                    static_cast<long long>(refused_[over_source_limit].load()));
    refusals.sample({{"reason", "total"}}, static_cast<long long>(refused_[over_total].load()));
    refusals.sample({{"reason", "unreserved"}},
                    static_cast<long long>(refused_[over_unreserved].load()));
    refusals.sample({{"reason", "handshake_rate"}},
                    static_cast<long long>(refused_[over_handshake_rate].load()));
    metric_family(out, "sanperf_exporter_connections_evicted_total", "counter",
                  "Idle connections closed, when every place was taken, to let in a client "
                  "holding fewer.")
        .sample({}, static_cast<long long>(evictions_.load()));
    metric_family(out, "sanperf_exporter_connections_reserved_total", "counter",
                  "Connections from --web.reserved-sources let in when every place open to "
                  "other clients was taken.")
        .sample({}, static_cast<long long>(reserved_admissions_.load()));
    metric_family(out, "sanperf_exporter_header_timeouts_total", "counter",
                  "Connections closed because a request's headers were not complete in time.")
        .sample({}, static_cast<long long>(header_timeouts_.load()));
    metric_family(out, "sanperf_exporter_write_timeouts_total", "counter",
                  "Connections closed because a response was not sent in time.")
        .sample({}, static_cast<long long>(write_timeouts_.load()));
    metric_family(out, "sanperf_exporter_password_hashes_total", "counter",
                  "Basic-auth passwords checked with bcrypt; a cached login is not counted.")
        .sample({}, static_cast<long long>(password_hashes_.load()));

    metric_family(out, "sanperf_exporter_build_info", "gauge",
                  "Always 1; the running exporter's version, the commit and branch it was "
                  "built from, and the compiler, are its labels.")
        .sample({{"version", SANPERF_VERSION},
                 {"revision", SANPERF_GIT_REVISION},
                 {"branch", SANPERF_GIT_BRANCH},
                 {"compiler", compiler}},
                1LL);
}

}  // namespace sanperf_exporter
