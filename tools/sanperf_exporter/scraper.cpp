#include "scraper.h"

#include <chrono>

#include "process_metrics.h"

namespace sanperf_exporter {

scraper::scraper(std::vector<std::unique_ptr<collector>> enabled, exporter_metrics& m)
    : collectors(std::move(enabled)), metrics(m) {
    blocks.disks = blocks.sessions = blocks.sockets = false;
    for (const auto& c : collectors) c->select(blocks);
}

void scraper::scrape(std::string& body) {
    const auto start = std::chrono::steady_clock::now();
    const sanperf_tools::snapshot snap = sanperf_tools::take_snapshot(blocks);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    metrics.count_read();

    // Room for a body the size of the last one, so that it is not copied
    // while it grows: a big tree's text would be in memory twice.
    body.clear();
    body.reserve(last_size + last_size / 8);
    sanperf_tools::string_sink out(body);
    for (const auto& c : collectors) c->collect(snap, out);
    metrics.render(out, snap.tree_found, took.count());
    render_process_metrics(out);
    last_size = body.size();
}

}  // namespace sanperf_exporter
