#include "collector.h"
#include "render_prometheus.h"

namespace sanperf_exporter {

namespace {

class disk_queue_collector : public collector {
public:
    void select(sanperf_tools::selection& sel) const override { sel.disks = true; }
    void collect(const sanperf_tools::snapshot& s, sanperf_tools::sink& out) override {
        sanperf_tools::render_prometheus_disk_queues(s, out);
    }
};

}  // namespace

std::unique_ptr<collector> make_disk_queue_collector() {
    return std::make_unique<disk_queue_collector>();
}

}  // namespace sanperf_exporter
