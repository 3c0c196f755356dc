// Socket counters summed per slot over all sockets, kept monotonic while
// sockets come and go.
#pragma once

#include <array>
#include <unordered_map>
#include <vector>

#include "common/tree_layout.h"
#include "sanperf.h"

namespace sanperf_exporter {

// The per-slot sums of samples and time over every socket ever seen. A
// socket that vanishes, or whose counter goes backwards (its number was
// reused and counted afresh), leaves its last seen values in a departed
// total, so the sums never decrease.
class socket_aggregate {
public:
    struct slot_totals {
        double samples = 0;
        double total_time = 0;
    };

    // Takes the sockets of a new read, all of them (no filter), and returns
    // the sums including it.
    const std::array<slot_totals, sanperf_tools::socket_slot_count>& update(
        const std::vector<sock_info>& sockets);

private:
    struct last_seen {
        std::array<sock_stats, sanperf_tools::socket_slot_count> slots;
        unsigned generation;
    };
    std::unordered_map<unsigned, last_seen> seen_;  // by socket number
    std::array<slot_totals, sanperf_tools::socket_slot_count> departed_{};
    std::array<slot_totals, sanperf_tools::socket_slot_count> totals_{};
    unsigned generation_ = 0;
};

}  // namespace sanperf_exporter
