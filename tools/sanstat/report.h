// What one sanstat report shows: snapshots of the server's statistics and
// the arithmetic that turns two of them into the numbers of an interval.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "sanperf.h"

namespace sanstat {

// Which blocks to read and which sessions and sockets to keep. Empty id
// lists keep everything.
struct selection {
    bool disks = true;
    bool sessions = true;
    bool sockets = true;
    std::vector<unsigned> session_ids;
    std::vector<unsigned> socket_numbers;
};

// Everything read for one report, as the library hands it out.
struct snapshot {
    std::chrono::steady_clock::time_point taken;  // for the interval's length
    std::time_t wall = 0;                         // for display
    bool disks_read = false;
    bool sessions_read = false;
    bool sockets_read = false;
    std::vector<disk_queue_info> disks;
    std::vector<session_info> sessions;
    std::vector<sock_info> sockets;
};

// Reads the chosen blocks now, through a new facade (its disk queue numbers
// are frozen when it is built, so one facade serves one snapshot only).
snapshot take_snapshot(const selection& sel);

// The socket slots' names, in slot order: the counter files' names without
// "_stats".
extern const char* const socket_slot_names[12];

// One counter set as a report shows it. samples, total_time and total_count
// are the increase over the interval, or the totals read when there is no
// earlier value to subtract; minima and maxima are the current values.
struct counter_view {
    long long samples = 0;
    long long total_time = 0;
    long long total_count = 0;  // disk queues only
    long long min_time = 0;
    long long max_time = 0;
    long long min_count = 0;  // disk queues only
    long long max_count = 0;  // disk queues only
    std::optional<double> samples_per_second;  // none for totals
    std::optional<double> avg_time;            // total_time / samples; none without samples
};

struct disk_row {
    std::string name;
    bool totals = false;  // no earlier value: the numbers are totals
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
    counter_view slots[12];
};

struct report {
    int sequence = 1;                // 1 for the first report
    std::optional<double> seconds;   // the interval's length; none for a totals report
    std::time_t wall = 0;
    bool disks_shown = false;
    bool sessions_shown = false;
    bool sockets_shown = false;
    std::vector<disk_row> disks;
    std::vector<session_row> sessions;
    std::vector<socket_row> sockets;
    snapshot now;  // the raw totals, for formats that want counters as read
};

// The report of now. Without before, or for an object before did not hold,
// the numbers are the totals read. Otherwise they are the increase since
// before, per second of the time between the two snapshots; a counter set
// whose counters went backwards (its object was replaced) counts from zero.
report make_report(const snapshot* before, const snapshot& now, int sequence);

}  // namespace sanstat
