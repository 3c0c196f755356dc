#include "common/render_prometheus.h"
#include "sanperf_exporter/collectors/collector.h"

namespace sanperf_exporter {

std::unique_ptr<collector> make_disk_queue_collector(const options&) {
    return std::make_unique<block_collector>(&sanperf_tools::selection::disks,
                                             &sanperf_tools::render_prometheus_disk_queues);
}

}  // namespace sanperf_exporter
