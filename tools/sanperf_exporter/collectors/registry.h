// Every collector the exporter can switch on, in one table. The flags
// (--collector.NAME, --no-collector.NAME, --collector.disable-defaults), the
// usage, the names collect[] takes and the per-collector self-metrics all
// come from it, so a new collector is its own file and one line here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sanperf_exporter/collectors/collector.h"

namespace sanperf_exporter {

struct options;

struct collector_entry {
    const char* name;  // as in --collector.NAME and collect[]=NAME
    bool default_on;
    const char* help;  // of --collector.NAME, without the default
    std::unique_ptr<collector> (*make)(const options&);
};

// In the order their families appear in a scrape.
const std::vector<collector_entry>& collector_registry();

struct named_collector {
    std::string name;
    std::unique_ptr<collector> c;
};

// The collectors opt enables, in the registry's order.
std::vector<named_collector> make_collectors(const options& opt);

// The names of every collector in the registry.
std::vector<std::string> collector_names();

}  // namespace sanperf_exporter
