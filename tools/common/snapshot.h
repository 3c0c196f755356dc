// One reading of the server's statistics, as the library hands them out,
// minus the records of objects that vanished while being read.
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "common/thread_pool.h"
#include "sanperf.h"

namespace sanperf_tools {

// Which blocks to read and which sessions and sockets to keep. Empty id
// lists keep everything.
struct selection {
    bool disks = true, sessions = true, sockets = true;
    std::vector<unsigned> session_ids, socket_numbers;
};

struct snapshot {
    std::chrono::steady_clock::time_point taken;  // for the length of an interval
    std::time_t wall = 0;                         // for display
    bool archived = false;    // read back from an archive: reports name its moments in local time
    bool tree_found = false;  // at least one of disk_queue/, session/, sock/ exists
    bool disks_found = false, sessions_found = false, sockets_found = false;  // each of them
    bool disks_read = false, sessions_read = false, sockets_read = false;
    std::vector<disk_queue_info> disks;  // those of disk1_0 ... disk4_7 present, when read
    // The disk queues among disks whose counter files were missing: the
    // library reads them as zeros, which are no counters to take a rate from.
    std::vector<std::string> unreadable_disks;
    std::vector<session_info> sessions;  // in listing order
    std::vector<sock_info> sockets;      // in listing order
};

// Reads the chosen blocks now from /sys/kernel through the library; a block
// not chosen is not read at all. A disk queue whose directory is missing is
// left out, as the library would show it as zeros. A session or socket whose directory no
// longer exists once it has been read, or a session whose id file reads
// back as another id than the one it was listed under, is left out: it
// vanished meanwhile, and the library would show it as zeros. Two entries
// naming the same id or number are one object, kept once.
//
// With a pool, the sessions and sockets are listed once on this thread and
// read on the pool's threads; the result is the same as without one, in
// the same order. Without a pool everything is read on this thread.
snapshot take_snapshot(const selection& sel, thread_pool* pool = nullptr);

}  // namespace sanperf_tools
