// The simulated server's state: what its disk queues, sessions and sockets
// have done so far, advanced step by step from a seeded random source so
// that one seed always gives the same history.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "common/tree_layout.h"
#include "sanperf-sim/fault.h"

namespace sanperf_sim {

using sanperf_tools::disk_count;
using sanperf_tools::no_sample_minimum;
using sanperf_tools::queues_per_disk;
using sanperf_tools::socket_slot_count;

// Seeded random numbers with explicit range reduction, so a seed gives the
// same numbers with every standard library.
class random_source {
public:
    explicit random_source(std::uint64_t seed) : engine(seed) {}
    // A number in [0, n); n > 0.
    std::uint64_t below(std::uint64_t n) { return engine() % n; }
    // True with probability 1/n.
    bool one_in(std::uint64_t n) { return below(n) == 0; }

private:
    std::mt19937_64 engine;
};

// The seven numbers of a counter-line file, times in microseconds. The
// minima start out as having no sample.
struct counter_set : sanperf_tools::counter_values {
    counter_set() { min_count = min_time = no_sample_minimum; }
};

// One stream of timed operations (a queue's handler task, a session's reads,
// a socket's waits...) and the counter set it feeds.
struct activity {
    counter_set totals;
    unsigned rate = 0;        // operations per second; 0 while idle
    unsigned mean_time = 0;   // microseconds per operation
    unsigned mean_count = 0;  // items per operation
    bool changed = true;      // not yet written since it last changed
};

struct disk_queue {
    activity handler;
    activity processing;
    long long max_num_active = 0;  // high-water mark of active tasks
    bool max_num_active_changed = true;
};

struct session {
    unsigned id = 0;
    long long lba = 0;  // last logical block address accessed
    bool lba_changed = true;
    bool is_new = true;  // its directory is not written yet
    activity read;
    activity write;
};

struct socket {
    unsigned number = 0;
    bool is_new = true;
    std::array<activity, socket_slot_count> slots;
};

class server_model {
public:
    // A server that has been up for a while: most streams have samples,
    // some are still idle. Sessions are numbered 1..sessions, sockets
    // 1..sockets.
    server_model(std::uint64_t seed, unsigned sessions, unsigned sockets);

    // Runs the server for ms milliseconds: active streams gain samples, idle
    // ones may start, queues' high-water marks may rise, and now and then a
    // session or socket ends and a new one takes its place, sometimes under
    // the same number with its counters started afresh.
    void advance(unsigned ms);

    // Gives the server a fault from f.after_ms of run time on (run time is
    // what advance has added up). The session or socket it names never
    // ends, so the fault stays in sight; it must exist when the fault is
    // added (the first ones are numbered 1..sessions and 1..sockets).
    void add_fault(const fault& f);

    // disk_queues[(d - 1) * queues_per_disk + q] is queue q of disk d.
    std::vector<disk_queue> disk_queues;
    std::vector<session> sessions;
    std::vector<socket> sockets;
    // Sessions and sockets that ended since the lists were last cleared.
    std::vector<unsigned> ended_sessions;
    std::vector<unsigned> ended_sockets;

private:
    void start(activity& a);
    void start_faults();
    void start_fault(const fault& f);
    bool under_fault(object_kind object, unsigned number) const;
    void run(activity& a, std::uint64_t ms);
    session new_session(unsigned id);
    socket new_socket(unsigned number);

    random_source random;
    unsigned next_session_id;
    unsigned next_socket_number;
    std::uint64_t run_time_ms = 0;
    struct pending_fault {
        fault what;
        bool started;
    };
    std::vector<pending_fault> faults;
};

}  // namespace sanperf_sim
