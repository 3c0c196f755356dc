#include "common/tree_layout.h"

#include <cstdio>

namespace sanperf_tools {

const char* const socket_slot_names[socket_slot_count] = {
    "aio_read",    "aio_write",    "perform_io_read",        "perform_io_write",
    "post_read",   "post_write",   "queue_modify_tx_offset", "queue_modify_rx_offset",
    "socket_read", "socket_write", "wait_for_space",         "wait_until_data_available",
};

std::string disk_queue_name(int disk, int queue) {
    return "disk" + std::to_string(disk) + "_" + std::to_string(queue);
}

std::string session_name(long long id) { return session_prefix + std::to_string(id); }

std::string socket_name(long long number) { return socket_prefix + std::to_string(number); }

std::string socket_slot_file(int slot) {
    return std::string(socket_slot_names[slot]) + socket_slot_file_suffix;
}

std::string counter_line(const counter_values& c) {
    char line[8 * 21];
    int n = std::snprintf(line, sizeof line, "%lld %lld %lld %lld %lld %lld %lld\n", c.samples,
                          c.total_count, c.max_count, c.min_count, c.total_time, c.max_time,
                          c.min_time);
    return std::string(line, static_cast<std::size_t>(n));
}

}  // namespace sanperf_tools
