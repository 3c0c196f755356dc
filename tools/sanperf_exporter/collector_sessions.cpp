#include "collector.h"
#include "render_prometheus.h"

namespace sanperf_exporter {

namespace {

class session_collector : public collector {
public:
    void select(sanperf_tools::selection& sel) const override { sel.sessions = true; }
    void collect(const sanperf_tools::snapshot& s, sanperf_tools::sink& out) override {
        sanperf_tools::render_prometheus_sessions(s, out);
    }
};

}  // namespace

std::unique_ptr<collector> make_session_collector() {
    return std::make_unique<session_collector>();
}

}  // namespace sanperf_exporter
