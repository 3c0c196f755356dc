// Faults the simulated server can be told to have: one disk queue, session
// or socket (or one stream of it) turns slow or busy from a given time on,
// so that alerts and dashboards can be watched reacting to a real problem.
#pragma once

#include <cstdint>
#include <string>

namespace sanperf_sim {

enum class object_kind { disk_queue, session, socket };
enum class fault_kind { slow, busy };

// Every stream of the object, rather than one.
constexpr int all_streams = -1;

struct fault {
    object_kind object = object_kind::disk_queue;
    int disk = 0;         // disk queues: 1..disk_count
    int queue = 0;        // disk queues: 0..queues_per_disk - 1
    unsigned number = 0;  // a session's id or a socket's number
    // all_streams, or one: a disk queue's stage (0 handler, 1 processing),
    // a session's direction (0 read, 1 write) or a socket's slot.
    int stream = all_streams;
    fault_kind kind = fault_kind::slow;
    // slow: microseconds per operation; busy: operations per second.
    std::uint64_t value = 0;
    std::uint64_t after_ms = 0;  // from the start of the run
};

// The defaults of value.
constexpr std::uint64_t default_slow_us = 500 * 1000;
constexpr std::uint64_t default_busy_rate = 20000;
// A slow stream keeps at least this many operations per second, so that its
// latency is measured on more than the odd sample.
constexpr unsigned slow_min_rate = 100;

// Reads TARGET:KIND[=VALUE][:after=DURATION], where TARGET is disk<d>_<q>,
// session<id> or sock<n>, optionally followed by /STREAM (handler or
// processing; read or write; a socket slot's name); KIND is slow (VALUE a
// duration per operation) or busy (VALUE operations per second); durations
// are as sanperf_tools::parse_duration reads them, to the microsecond.
// Returns false with a message in error when text is not of that form.
bool parse_fault(const std::string& text, fault& f, std::string& error);

}  // namespace sanperf_sim
