// A collector turns one block of a snapshot into metric families. Each can
// be switched off on the command line; then its block is not read at all.
#pragma once

#include <memory>
#include <string>

#include "common/sink.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanperf_exporter {

struct options;

class collector {
public:
    virtual ~collector() = default;
    // Marks the block this collector needs in sel.
    virtual void select(sanperf_tools::selection& sel) const = 0;
    // Writes the block's families. Called on the reader thread only, once
    // per read, so a collector may keep state from one read to the next.
    virtual void collect(const sanperf_tools::snapshot& s, sanperf_tools::sink& out) = 0;
    // How the start-up log names the collector: its name, and the variant
    // chosen if it has several.
    virtual std::string shown_as(const std::string& name) const { return name; }
};

// A collector that writes one block as the common renderer has it.
class block_collector : public collector {
public:
    using renderer = void (*)(const sanperf_tools::snapshot&, sanperf_tools::sink&);
    block_collector(bool sanperf_tools::selection::*block, renderer render)
        : block_(block), render_(render) {}
    void select(sanperf_tools::selection& sel) const override { sel.*block_ = true; }
    void collect(const sanperf_tools::snapshot& s, sanperf_tools::sink& out) override {
        render_(s, out);
    }

private:
    bool sanperf_tools::selection::*block_;
    renderer render_;
};

// The factories of the registry's collectors.
std::unique_ptr<collector> make_disk_queue_collector(const options& opt);
std::unique_ptr<collector> make_session_collector(const options& opt);
// Every socket's own series, or with --collector.sockets.aggregate the
// per-slot sums over all sockets and their number.
std::unique_ptr<collector> make_socket_collector(const options& opt);
// sanperf_time_unit_seconds, for an exporter told the tree's time unit;
// written with every scrape, whatever collect[] asks.
std::unique_ptr<collector> make_time_unit_collector(const sanperf_tools::time_unit& unit);

}  // namespace sanperf_exporter
