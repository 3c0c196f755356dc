// The arithmetic that turns two snapshots into what happened between them:
// increases, rates per second and average times, object by object.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "common/snapshot.h"
#include "common/tree_layout.h"

namespace sanperf_tools {

// One counter set as a report shows it. samples, total_time and total_count
// are the increase over the interval, or the totals read when there is no
// earlier value to subtract; minima and maxima are the current values.
struct counter_view {
    long long samples = 0;
    long long total_time = 0;
    long long total_count = 0;  // disk queues only
    long long min_time = 0;
    long long max_time = 0;
    long long min_count = 0;                   // disk queues only
    long long max_count = 0;                   // disk queues only
    std::optional<double> samples_per_second;  // none for totals
    std::optional<double> avg_time;            // total_time / samples; none without samples
};

// A row of a report: its numbers are totals (no earlier record of the same
// object to subtract) or the increase since the earlier snapshot.
struct disk_row {
    const std::string* name = nullptr;  // the record's name
    bool totals = false;
    counter_view handler;
    counter_view processing;
    unsigned max_num_active = 0;
};

struct session_row {
    unsigned id = 0;
    unsigned lba = 0;
    bool totals = false;
    counter_view write;
    counter_view read;
};

struct socket_row {
    unsigned number = 0;
    bool totals = false;
    counter_view slots[socket_slot_count];
};

// now - before when that is a possible increase of a counter: false when
// before is above now or the difference does not fit in a long long, as
// when the counter went back because its object was replaced.
bool counter_increase(long long now, long long before, long long& increase);

// The rows of snapshot now, compared with an earlier snapshot when there is
// one (both must outlive this object). A counter set with any of its
// counters going back counts from zero, as an object replaced during the
// interval does.
class interval {
public:
    interval(const snapshot* before, const snapshot& now);

    // Seconds between the two snapshots; none without an earlier one.
    std::optional<double> seconds() const { return seconds_; }

    disk_row disk(const disk_queue_info& now) const;
    session_row session(const session_info& now) const;
    socket_row socket(const sock_info& now) const;

private:
    std::optional<double> seconds_;
    std::unordered_map<std::string, const disk_queue_info*> disks_;
    std::unordered_map<unsigned, const session_info*> sessions_;
    std::unordered_map<unsigned, const sock_info*> sockets_;
};

}  // namespace sanperf_tools
