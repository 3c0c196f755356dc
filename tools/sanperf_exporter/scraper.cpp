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

std::shared_ptr<tree_read> scraper::scrape() {
    const auto start = clock::now();
    metrics_.count_read();
    auto read = std::make_shared<tree_read>();
    read->metrics = &metrics_;
    read->number = ++reads_;
    // Room for a text the size of the last one, so that it is not copied
    // while it grows: a big tree's text would be in memory twice.
    std::string& text = read->text;
    text.reserve(last_size_ + last_size_ / 8);
    sanperf_tools::string_sink out(text);

    // Each collector reads its own blocks, timed on its own.
    sanperf_tools::selection nothing;
    nothing.disks = nothing.sessions = nothing.sockets = false;
    read->tree_found = sanperf_tools::take_snapshot(nothing).tree_found;
    for (named_collector& n : chosen_) {
        const auto collector_start = clock::now();
        sanperf_tools::selection sel = nothing;
        n.c->select(sel);
        const sanperf_tools::snapshot snap = sanperf_tools::take_snapshot(sel, pool_);
        n.c->collect(snap, out);
        read->collector_end.push_back(text.size());
        read->reports.push_back({n.name, blocks_found(sel, snap), seconds_since(collector_start)});
    }
    for (const std::unique_ptr<collector>& c : always_) {
        sanperf_tools::selection sel = nothing;
        c->select(sel);
        c->collect(sanperf_tools::take_snapshot(sel, pool_), out);
    }
    read->always_end = text.size();
    read->seconds = seconds_since(start);
    metrics_.render_scrape(out, read->tree_found, read->seconds, read->reports);
    read->exporter_begin = text.size();
    if (exporter_families_) {
        metrics_.render_exporter(out);
        render_process_metrics(out);
    }
    last_size_ = text.size();
    return read;
}

}  // namespace sanperf_exporter
