// One read's text: the tree read through every enabled collector, then how
// each of them fared, the exporter's own and the process's metrics.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sanperf_exporter/collectors/collector.h"
#include "sanperf_exporter/collectors/registry.h"
#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/tree_read.h"

namespace sanperf_exporter {

class scraper {
public:
    // chosen: the enabled collectors, in the order their families appear;
    // always: those written with every scrape after them, whatever the
    // request asks for. exporter_families: whether process_* and sanperf_exporter_* are
    // written. pool: the threads that read the tree with the reader thread;
    // none to read on the reader thread alone.
    scraper(std::vector<named_collector> chosen, std::vector<std::unique_ptr<collector>> always,
            exporter_metrics& metrics, bool exporter_families, sanperf_tools::thread_pool* pool);

    // The chosen collectors; bit i of a collector_set is names()[i].
    const std::vector<std::string>& names() const { return names_; }

    // Reads the tree through the chosen collectors, then the always-written
    // ones, and renders the exposition text, laid out for selecting from.
    // Not thread-safe: the reader thread alone calls it.
    std::shared_ptr<tree_read> scrape();

private:
    std::vector<named_collector> chosen_;
    std::vector<std::unique_ptr<collector>> always_;
    std::vector<std::string> names_;
    exporter_metrics& metrics_;
    bool exporter_families_;
    sanperf_tools::thread_pool* pool_;
    std::size_t last_size_ = 0;  // of the previous read's text
    std::uint64_t reads_ = 0;
};

}  // namespace sanperf_exporter
