// One read of the tree, shared read-only by every response it answers. A
// read covers every enabled collector, and a request's collect[] selects
// from it, so requests for different collectors share it too. Its text is
// held once: each response is sent from slices of it, and a selection's
// gzip form is made at most once, when first asked for.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sanperf_exporter/exporter_metrics.h"

namespace sanperf_exporter {

// Which collectors: bit i is the i-th enabled one.
using collector_set = std::uint32_t;

class tree_read {
public:
    // One selection as it is sent: its text as slices, in order, of the
    // read's text and of the form's own.
    struct form {
        std::vector<std::string_view> parts;
        std::size_t size = 0;
        bool gzip = false;
        std::string own;  // the selection's scrape families, or its gzip text
    };

    // What the scraper writes, in this order: each collector's families
    // (collector i's ending at collector_end[i]), the families written with
    // every scrape up to always_end, the scrape's own families for every
    // collector up to exporter_begin, then the exporter's and the process's.
    std::string text;
    std::vector<std::size_t> collector_end;
    std::size_t always_end = 0;
    std::size_t exporter_begin = 0;
    // What a selection's own scrape families are rendered from: one report
    // per collector.
    bool tree_found = false;
    double seconds = 0;
    std::vector<collector_report> reports;
    exporter_metrics* metrics = nullptr;  // renders them, and counts compressions; required
    std::uint64_t number = 0;             // reads are numbered from 1

    // The form of which, in gzip or not: made on first use (a gzip form
    // counted in metrics), then kept as long as the read. The reader thread
    // alone calls these; the forms themselves may be read by any thread.
    // Throws std::bad_alloc when compressing runs out of memory.
    const form& form_for(collector_set which, bool gzip);
    bool has_form(collector_set which, bool gzip) const;

private:
    std::map<std::pair<collector_set, bool>, std::unique_ptr<form>> forms_;
};

}  // namespace sanperf_exporter
