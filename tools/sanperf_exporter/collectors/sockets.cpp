#include "common/render_prometheus.h"
#include "common/tree_layout.h"
#include "sanperf_exporter/collectors/collector.h"
#include "sanperf_exporter/collectors/socket_aggregate.h"
#include "sanperf_exporter/options.h"

namespace sanperf_exporter {

namespace {

// For servers with thousands of sockets: twelve series per counter instead
// of twelve per socket.
class socket_aggregate_collector : public collector {
public:
    void select(sanperf_tools::selection& sel) const override { sel.sockets = true; }
    void collect(const sanperf_tools::snapshot& s, sanperf_tools::sink& out) override {
        using sanperf_tools::metric_family;
        using sanperf_tools::socket_slot_count;
        using sanperf_tools::socket_slot_names;
        // Without sock/ there is nothing to count; the sums wait for it.
        if (!s.sockets_found) return;
        const auto& totals = sums_.update(s.sockets);
        metric_family(out, "sanperf_sockets", "gauge", "Sockets the server publishes.")
            .sample({}, static_cast<long long>(s.sockets.size()));
        metric_family samples(out, "sanperf_sockets_samples_total", "counter",
                              "Samples taken by a socket slot, summed over all sockets, "
                              "those gone included.");
        for (std::size_t i = 0; i < totals.size(); ++i)
            samples.sample({{"slot", socket_slot_names[i]}}, totals[i].samples);
        metric_family time(out, "sanperf_sockets_time_total", "counter",
                           "Time of all samples of a socket slot, in the server's units, summed "
                           "over all sockets, those gone included.");
        for (std::size_t i = 0; i < totals.size(); ++i)
            time.sample({{"slot", socket_slot_names[i]}}, totals[i].total_time);
    }
    std::string shown_as(const std::string& name) const override { return name + " (aggregate)"; }

private:
    socket_aggregate sums_;
};

}  // namespace

std::unique_ptr<collector> make_socket_collector(const options& opt) {
    if (opt.sockets_aggregate) return std::make_unique<socket_aggregate_collector>();
    return std::make_unique<block_collector>(&sanperf_tools::selection::sockets,
                                             &sanperf_tools::render_prometheus_sockets);
}

}  // namespace sanperf_exporter
