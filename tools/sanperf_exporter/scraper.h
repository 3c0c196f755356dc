// One scrape's body: the tree read through the collectors asked for, then
// how each of them fared, the exporter's own and the process's metrics.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sanperf_exporter/collectors/collector.h"
#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/tree_reader.h"

namespace sanperf_exporter {

struct named_collector {
    // As in --collector.NAME and collect[]=NAME. Empty: not a collector of
    // its own, written with every scrape (the time unit gauge).
    std::string name;
    std::unique_ptr<collector> c;
};

class scraper {
public:
    // collectors: the enabled ones, in the order their families appear.
    // exporter_families: whether process_* and sanperf_exporter_* are
    // written. pool: the threads that read the tree with the reader thread;
    // none to read on the reader thread alone.
    scraper(std::vector<named_collector> collectors, exporter_metrics& metrics,
            bool exporter_families, sanperf_tools::thread_pool* pool);

    // The named collectors; bit i of a collector_set is names()[i].
    const std::vector<std::string>& names() const { return names_; }

    // Reads the tree through the named collectors in which (and every
    // unnamed one) and renders the exposition text into body (replacing
    // it). Not thread-safe: the reader thread alone calls it.
    void scrape(std::string& body, tree_reader::collector_set which);

private:
    std::vector<named_collector> collectors_;
    std::vector<std::string> names_;
    exporter_metrics& metrics_;
    bool exporter_families_;
    sanperf_tools::thread_pool* pool_;
    std::size_t last_size_ = 0;  // of the previous body
};

}  // namespace sanperf_exporter
