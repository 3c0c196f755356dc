// Stands in for the SAN server's kernel side: writes statistics trees under
// /sys/kernel (which the test harness has made private) in the formats the
// server publishes.
#pragma once

#include <string>

#include "common/tree_layout.h"

namespace sanperf_test {

// The seven numbers of a counter-line file, in the order the file lists them.
using counters = sanperf_tools::counter_values;
using sanperf_tools::counter_line;
using sanperf_tools::socket_slot_file;

// Owns the contents of /sys/kernel for one test: empty when built, emptied
// again when destroyed. Paths taken are relative to /sys/kernel.
class kernel_tree {
public:
    kernel_tree();
    ~kernel_tree();
    kernel_tree(const kernel_tree&) = delete;
    kernel_tree& operator=(const kernel_tree&) = delete;

    // Writes content to the file, creating its parent directories.
    void write_file(const std::string& relative, const std::string& content);
    // Creates the directory and its parents.
    void make_dir(const std::string& relative);
    // Removes a file or a whole directory; a missing one is fine.
    void remove(const std::string& relative);
    // Removes everything below /sys/kernel.
    void clear();

    // disk_queue/disk<disk>_<queue>/ with its three files.
    void add_disk_queue(int disk, int queue, const counters& handler, const counters& processing,
                        long long max_num_active);
    // session/<dir>/ with id, lba, read_perf_stats and write_perf_stats.
    void add_session(const std::string& dir, long long id, long long lba, const counters& read,
                     const counters& write);
    // sock/sock<number>/ with all twelve slot files; slot i holds slots[i].
    void add_socket(int number, const counters (&slots)[sanperf_tools::socket_slot_count]);

    static std::string path(const std::string& relative);
};

}  // namespace sanperf_test
