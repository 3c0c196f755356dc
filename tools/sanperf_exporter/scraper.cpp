#include "sanperf_exporter/scraper.h"

#include <chrono>

#include "sanperf_exporter/process_metrics.h"

namespace sanperf_exporter {

namespace {

using clock = std::chrono::steady_clock;

double seconds_since(clock::time_point start) {
    return std::chrono::duration<double>(clock::now() - start).count();
}

// A collector succeeds when every block it reads is present.
bool blocks_found(const sanperf_tools::selection& sel, const sanperf_tools::snapshot& snap) {
    return (!sel.disks || snap.disks_found) && (!sel.sessions || snap.sessions_found) &&
           (!sel.sockets || snap.sockets_found) && (sel.disks || sel.sessions || sel.sockets);
}

}  // namespace

scraper::scraper(std::vector<named_collector> chosen,
                 std::vector<std::unique_ptr<collector>> always, exporter_metrics& metrics,
                 bool exporter_families, sanperf_tools::thread_pool* pool)
    : chosen_(std::move(chosen)),
      always_(std::move(always)),
      metrics_(metrics),
      exporter_families_(exporter_families),
      pool_(pool) {
    for (const named_collector& n : chosen_) names_.push_back(n.name);
}

void scraper::scrape(std::string& body, tree_reader::collector_set which) {
    const auto start = clock::now();
    metrics_.count_read();
    // Room for a body the size of the last one, so that it is not copied
    // while it grows: a big tree's text would be in memory twice.
    body.clear();
    body.reserve(last_size_ + last_size_ / 8);
    sanperf_tools::string_sink out(body);

    // Each collector reads its own blocks, timed on its own.
    sanperf_tools::selection nothing;
    nothing.disks = nothing.sessions = nothing.sockets = false;
    bool tree_found = sanperf_tools::take_snapshot(nothing).tree_found;
    std::vector<collector_report> reports;
    for (std::size_t i = 0; i < chosen_.size(); ++i) {
        if ((which & (tree_reader::collector_set{1} << i)) == 0) continue;
        const auto collector_start = clock::now();
        sanperf_tools::selection sel = nothing;
        chosen_[i].c->select(sel);
        const sanperf_tools::snapshot snap = sanperf_tools::take_snapshot(sel, pool_);
        chosen_[i].c->collect(snap, out);
        reports.push_back(
            {chosen_[i].name, blocks_found(sel, snap), seconds_since(collector_start)});
    }
    for (const std::unique_ptr<collector>& c : always_) {
        sanperf_tools::selection sel = nothing;
        c->select(sel);
        c->collect(sanperf_tools::take_snapshot(sel, pool_), out);
    }
    metrics_.render_scrape(out, tree_found, seconds_since(start), reports);
    if (exporter_families_) {
        metrics_.render_exporter(out);
        render_process_metrics(out);
    }
    last_size_ = body.size();
}

}  // namespace sanperf_exporter
