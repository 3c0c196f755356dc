// The exporter's account of itself: what it read and answered, exported
// beside the server's counters.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/sink.h"

namespace sanperf_exporter {

// How one collector fared in one scrape.
struct collector_report {
    std::string name;
    bool success;  // every block it reads was present
    double seconds;
};

class exporter_metrics {
public:
    // Counts one response with this HTTP status. Any thread.
    void count_response(unsigned status);
    // Counts one read of the tree. Any thread.
    void count_read() { ++tree_reads_; }
    unsigned long long reads() const { return tree_reads_; }
    // Counts one body compressed with gzip. Any thread.
    void count_compression() { ++compressions_; }
    unsigned long long compressions() const { return compressions_; }
    // Counts a connection closed at once for being over a limit. Any thread.
    // over_unreserved: only places kept for reserved sources were left.
    enum refusal {
        over_source_limit,
        over_total,
        over_unreserved,
        over_handshake_rate,
        refusal_kinds
    };
    void count_refused_connection(refusal why) { ++refused_[why]; }
    // Counts a connection from a reserved source let in when no place open
    // to other clients was left.
    void count_reserved_admission() { ++reserved_admissions_; }
    // Counts an idle connection closed to make room for another client.
    void count_eviction() { ++evictions_; }
    // Counts a connection closed because its request's headers were late.
    void count_header_timeout() { ++header_timeouts_; }
    // Counts a connection closed because its response was not sent in time.
    void count_write_timeout() { ++write_timeouts_; }
    // Counts one password checked with bcrypt, not from the login cache.
    // Any thread.
    void count_password_hash() { ++password_hashes_; }

    // The scrape's own families: sanperf_up (from tree_found),
    // sanperf_scrape_duration_seconds, and per collector run
    // sanperf_scrape_collector_success and _duration_seconds.
    void render_scrape(sanperf_tools::sink& out, bool tree_found, double seconds,
                       const std::vector<collector_report>& collectors) const;
    // The exporter's account of itself: sanperf_exporter_tree_reads_total,
    // sanperf_exporter_gzip_compressions_total,
    // sanperf_exporter_requests_total,
    // sanperf_exporter_connections_refused_total,
    // sanperf_exporter_connections_evicted_total,
    // sanperf_exporter_connections_reserved_total,
    // sanperf_exporter_header_timeouts_total,
    // sanperf_exporter_write_timeouts_total,
    // sanperf_exporter_password_hashes_total and sanperf_exporter_build_info.
    void render_exporter(sanperf_tools::sink& out) const;

private:
    std::atomic<unsigned long long> tree_reads_{0};
    std::atomic<unsigned long long> compressions_{0};
    std::atomic<unsigned long long> refused_[refusal_kinds] = {};
    std::atomic<unsigned long long> evictions_{0};
    std::atomic<unsigned long long> reserved_admissions_{0};
    std::atomic<unsigned long long> header_timeouts_{0};
    std::atomic<unsigned long long> write_timeouts_{0};
    std::atomic<unsigned long long> password_hashes_{0};
    mutable std::mutex lock_;
    std::map<unsigned, unsigned long long> responses_{{200, 0}};  // by status
};

}  // namespace sanperf_exporter
