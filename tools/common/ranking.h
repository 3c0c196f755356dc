// Which rows of a report are shown and in what order, and what a block adds
// up to: the layer between the interval arithmetic and whatever shows the
// rows (the line reports and the full-screen view alike).
//
// An object's figures take all its streams together: a disk queue's two
// stages, a session's two directions, a socket's twelve slots. In an
// interval report a new object (no earlier record) has no figures for the
// interval: its numbers are totals since it appeared, so it has no rate,
// average, samples or time to rank by, and it adds nothing to a summary but
// its maximum, which is a current value anyway.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/interval.h"

namespace sanperf_tools {

enum class sort_key { rate, avg, max, samples, time };

// "rate", "avg", "max", "samples", "time": the names the command line takes.
extern const char* const sort_key_names[5];
std::optional<sort_key> parse_sort_key(const std::string& name);
const char* sort_key_name(sort_key key);

// What a report keeps and in what order; the default keeps every row in
// listing order.
struct ranking {
    std::optional<sort_key> sort;    // highest first; none: listing order
    std::optional<std::size_t> top;  // the first N objects after sorting
    bool active_only = false;        // objects with samples (a new one has none known)
    std::optional<double> min_avg;   // objects whose average (ticks) is at least this

    // The key rows are ordered by: sort, or rate when only top is given.
    std::optional<sort_key> order_key() const;
};

// Counter sets added together. Samples and time are sums of what the rows
// show (the interval's increases, or totals in a report of totals); the rate
// is the sum of the rates, so the samples per second of all of them; the
// average is total time over samples, never an average of averages.
struct tally {
    long double samples = 0;  // exact far beyond a long long's range
    long double total_time = 0;
    std::optional<double> samples_per_second;  // none in a report of totals
    std::optional<long long> max_time;         // the largest current maximum

    // Adds one counter set. counted is false for a new object's set in an
    // interval report: only its maximum is added.
    void add(const counter_view& c, bool counted);
    std::optional<double> avg_time() const;
};

// One object's figures, what ranks it.
struct object_figures {
    bool counted = true;  // false: a new object in an interval report
    tally all;            // every stream of the object together
};

// What a block (or one disk of the disk block) adds up to over every
// object it holds, before filters and --top: the object count, each stream
// over all objects (by position: handler and processing, write and read,
// the twelve slots), and everything together.
struct block_summary {
    std::size_t objects = 0;
    std::vector<tally> streams;
    tally all;
};

// The value key ranks an object by; none ranks below every value. In a
// report of totals, rate ranks by samples.
std::optional<double> rank_value(const object_figures& f, sort_key key, bool interval_report);

template <typename Row>
struct ranked_row {
    Row row;
    object_figures figures;
};

// The rows of a block as a report shows them: chosen and ordered, with the
// summary of all of them.
template <typename Row>
struct ranked_block {
    block_summary summary;
    std::vector<ranked_row<Row>> rows;
};

// Summarises rows, keeps those that pass how's filters, orders them by its
// key (highest first; equal values, and rows without a value at the end,
// keep the listing order) and cuts them to its top.
// interval_report tells whether the rows have an interval (rates) or show
// totals.
ranked_block<disk_row> rank(std::vector<disk_row> rows, bool interval_report, const ranking& how);
ranked_block<session_row> rank(std::vector<session_row> rows, bool interval_report,
                               const ranking& how);
ranked_block<socket_row> rank(std::vector<socket_row> rows, bool interval_report,
                              const ranking& how);

// The rows of every object of a block in now, in listing order.
std::vector<disk_row> disk_rows(const interval& iv, const snapshot& now);
std::vector<session_row> session_rows(const interval& iv, const snapshot& now);
std::vector<socket_row> socket_rows(const interval& iv, const snapshot& now);

// The disk block's summary per disk ("disk1" ... "disk4"), in the order
// the disks first appear among rows; every queue counts, filters aside.
struct disk_summary {
    std::string disk;
    block_summary summary;
};
std::vector<disk_summary> per_disk(const std::vector<disk_row>& rows, bool interval_report);

// The slot of a socket with the highest rate (in a report of totals, the
// most samples): its busiest. Ties go to the lower slot.
int busiest_slot(const socket_row& row, bool interval_report);

}  // namespace sanperf_tools
