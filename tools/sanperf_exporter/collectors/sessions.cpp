#include "common/render_prometheus.h"
#include "sanperf_exporter/collectors/collector.h"

namespace sanperf_exporter {

std::unique_ptr<collector> make_session_collector(const options&) {
    return std::make_unique<block_collector>(&sanperf_tools::selection::sessions,
                                             &sanperf_tools::render_prometheus_sessions);
}

}  // namespace sanperf_exporter
