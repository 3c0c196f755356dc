#include "kernel_tree.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sanperf_test {

const char* const socket_slot_files[12] = {
    "aio_read_stats",       "aio_write_stats",
    "perform_io_read_stats", "perform_io_write_stats",
    "post_read_stats",      "post_write_stats",
    "queue_modify_tx_offset_stats", "queue_modify_rx_offset_stats",
    "socket_read_stats",    "socket_write_stats",
    "wait_for_space_stats", "wait_until_data_available_stats",
};

std::string counter_line(const counters& c) {
    return std::to_string(c.samples) + " " + std::to_string(c.total_count) + " " +
           std::to_string(c.max_count) + " " + std::to_string(c.min_count) + " " +
           std::to_string(c.total_time) + " " + std::to_string(c.max_time) + " " +
           std::to_string(c.min_time) + "\n";
}

std::string kernel_tree::path(const std::string& relative) {
    return "/sys/kernel/" + relative;
}

kernel_tree::kernel_tree() {
    clear();
}

kernel_tree::~kernel_tree() {
    clear();
}

void kernel_tree::write_file(const std::string& relative, const std::string& content) {
    fs::path p = path(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

void kernel_tree::make_dir(const std::string& relative) {
    fs::create_directories(path(relative));
}

void kernel_tree::remove(const std::string& relative) {
    fs::remove_all(path(relative));
}

void kernel_tree::clear() {
    for (const auto& entry : fs::directory_iterator("/sys/kernel")) fs::remove_all(entry.path());
}

void kernel_tree::add_disk_queue(int disk, int queue, const counters& handler,
                                 const counters& processing, long long max_num_active) {
    std::string dir = "disk_queue/disk" + std::to_string(disk) + "_" + std::to_string(queue) + "/";
    write_file(dir + "async_handler_task_perf_stats", counter_line(handler));
    write_file(dir + "async_processing_perf_stats", counter_line(processing));
    write_file(dir + "max_num_active", std::to_string(max_num_active) + "\n");
}

void kernel_tree::add_session(const std::string& dir, long long id, long long lba,
                              const counters& read, const counters& write) {
    std::string base = "session/" + dir + "/";
    write_file(base + "id", std::to_string(id) + "\n");
    write_file(base + "lba", std::to_string(lba) + "\n");
    write_file(base + "read_perf_stats", counter_line(read));
    write_file(base + "write_perf_stats", counter_line(write));
}

void kernel_tree::add_socket(int number, const counters (&slots)[12]) {
    std::string base = "sock/sock" + std::to_string(number) + "/";
    for (int slot = 0; slot < 12; ++slot) write_file(base + socket_slot_files[slot], counter_line(slots[slot]));
}

}  // namespace sanperf_test
