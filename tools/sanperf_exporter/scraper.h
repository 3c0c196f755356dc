// One scrape's body: the tree read once through the enabled collectors, then
// the exporter's own and the process's metrics.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "collector.h"
#include "exporter_metrics.h"

namespace sanperf_exporter {

class scraper {
public:
    // collectors: the enabled ones, in the order their families appear.
    scraper(std::vector<std::unique_ptr<collector>> collectors, exporter_metrics& metrics);

    // Reads the tree and renders the exposition text into body (replacing
    // it). Not thread-safe: the reader thread alone calls it.
    void scrape(std::string& body);

private:
    std::vector<std::unique_ptr<collector>> collectors;
    sanperf_tools::selection blocks;
    exporter_metrics& metrics;
    std::size_t last_size = 0;  // of the previous body
};

}  // namespace sanperf_exporter
