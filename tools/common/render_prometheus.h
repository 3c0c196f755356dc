// The Prometheus text exposition format (version 0.0.4) of the totals as
// read: rates and averages are left to the query side, as counters are
// meant to be.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/sink.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanperf_tools {

// One metric family: HELP and TYPE once, when built, then its samples one
// line each. Label values are escaped; names must be valid as given.
class metric_family {
public:
    using labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

    metric_family(sink& out, std::string_view name, std::string_view type, std::string_view help);

    void sample(labels label_set, long long value);
    // NaN and infinities are written as Prometheus spells them.
    void sample(labels label_set, double value);
    // Any other integer, so that an int or unsigned is not ambiguous.
    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    void sample(labels label_set, Integer value) {
        sample(label_set, static_cast<long long>(value));
    }

private:
    void line(labels label_set, std::string_view value);

    sink& out_;
    std::string name_;
    std::string line_;  // reused for every sample
};

// The families of one block each: sanperf_disk_queue_* (labels queue and
// stage), sanperf_session_* (session and op), sanperf_socket_* (socket and
// slot).
void render_prometheus_disk_queues(const snapshot& s, sink& out);
void render_prometheus_sessions(const snapshot& s, sink& out);
void render_prometheus_sockets(const snapshot& s, sink& out);

// sanperf_time_unit_seconds: seconds per unit of the tree's time counters,
// so that the query side can turn them into seconds. Written only where the
// unit is known: a wrong unit would be worse than none.
void render_prometheus_time_unit(const time_unit& unit, sink& out);

// The blocks of s that were read, in the order above.
void render_prometheus(const snapshot& s, sink& out);

}  // namespace sanperf_tools
