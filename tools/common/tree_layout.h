// The layout of the statistics tree as the tools see it: which directories
// and files exist, the order of the numbers on a counter line and the value
// that marks a minimum without samples. Written once here for the programs,
// the simulator and the tests; the library keeps its own private copy.
#pragma once

#include <string>

namespace sanperf_tools {

// Disks are numbered 1..disk_count, each with queues 0..queues_per_disk - 1.
constexpr int disk_count = 4;
constexpr int queues_per_disk = 8;

// A socket's counter sets, by slot. Each is read from the file
// socket_slot_file(slot) names: socket_slot_names[slot] followed by
// socket_slot_file_suffix.
constexpr int socket_slot_count = 12;
extern const char* const socket_slot_names[socket_slot_count];
constexpr const char* socket_slot_file_suffix = "_stats";

// A minimum holding this value has no sample yet (2^32 - 1, not -1).
constexpr long long no_sample_minimum = 4294967295LL;

// The three kinds of object, each a directory below the tree's root.
constexpr const char* disk_queue_dir = "disk_queue";
constexpr const char* session_dir = "session";
constexpr const char* socket_dir = "sock";

// The files of a disk queue directory.
constexpr const char* handler_stats_file = "async_handler_task_perf_stats";
constexpr const char* processing_stats_file = "async_processing_perf_stats";
constexpr const char* max_num_active_file = "max_num_active";

// The files of a session directory.
constexpr const char* session_id_file = "id";
constexpr const char* session_lba_file = "lba";
constexpr const char* session_read_stats_file = "read_perf_stats";
constexpr const char* session_write_stats_file = "write_perf_stats";

// Directory names of single objects: "disk<d>_<q>", "session<id>", "sock<n>".
constexpr const char* session_prefix = "session";
constexpr const char* socket_prefix = "sock";
std::string disk_queue_name(int disk, int queue);
std::string session_name(long long id);
std::string socket_name(long long number);

// The file of a socket's counter set in slot: "aio_read_stats"...
std::string socket_slot_file(int slot);

// The seven numbers of a counter-line file, members in the order the line
// lists them.
struct counter_values {
    long long samples = 0;
    long long total_count = 0;
    long long max_count = 0;
    long long min_count = 0;
    long long total_time = 0;
    long long max_time = 0;
    long long min_time = 0;
};

// The line of a counter-line file: the seven numbers in order, separated by
// single blanks, ending in a newline.
std::string counter_line(const counter_values& c);

}  // namespace sanperf_tools
