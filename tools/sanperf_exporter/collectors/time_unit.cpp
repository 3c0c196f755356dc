#include "common/render_prometheus.h"
#include "sanperf_exporter/collectors/collector.h"

namespace sanperf_exporter {

namespace {

// Tells the query side what the tree's time counters count in, so recording
// rules can turn them into seconds. Reads nothing from the tree.
class time_unit_collector : public collector {
public:
    explicit time_unit_collector(const sanperf_tools::time_unit& unit) : unit_(unit) {}
    void select(sanperf_tools::selection&) const override {}
    void collect(const sanperf_tools::snapshot&, sanperf_tools::sink& out) override {
        sanperf_tools::render_prometheus_time_unit(unit_, out);
    }

private:
    sanperf_tools::time_unit unit_;
};

}  // namespace

std::unique_ptr<collector> make_time_unit_collector(const sanperf_tools::time_unit& unit) {
    return std::make_unique<time_unit_collector>(unit);
}

}  // namespace sanperf_exporter
