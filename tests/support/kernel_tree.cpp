#include "support/kernel_tree.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sanperf_test {

std::string kernel_tree::path(const std::string& relative) { return "/sys/kernel/" + relative; }

kernel_tree::kernel_tree() { clear(); }

kernel_tree::~kernel_tree() { clear(); }

void kernel_tree::write_file(const std::string& relative, const std::string& content) {
    fs::path p = path(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

void kernel_tree::make_dir(const std::string& relative) { fs::create_directories(path(relative)); }

void kernel_tree::remove(const std::string& relative) { fs::remove_all(path(relative)); }

void kernel_tree::clear() {
    for (const auto& entry : fs::directory_iterator("/sys/kernel")) fs::remove_all(entry.path());
}

void kernel_tree::add_disk_queue(int disk, int queue, const counters& handler,
                                 const counters& processing, long long max_num_active) {
    using namespace sanperf_tools;
    std::string dir = std::string(disk_queue_dir) + "/" + disk_queue_name(disk, queue) + "/";
    write_file(dir + handler_stats_file, counter_line(handler));
    write_file(dir + processing_stats_file, counter_line(processing));
    write_file(dir + max_num_active_file, std::to_string(max_num_active) + "\n");
}

void kernel_tree::add_session(const std::string& dir, long long id, long long lba,
                              const counters& read, const counters& write) {
    using namespace sanperf_tools;
    std::string base = std::string(session_dir) + "/" + dir + "/";
    write_file(base + session_id_file, std::to_string(id) + "\n");
    write_file(base + session_lba_file, std::to_string(lba) + "\n");
    write_file(base + session_read_stats_file, counter_line(read));
    write_file(base + session_write_stats_file, counter_line(write));
}

void kernel_tree::add_socket(int number,
                             const counters (&slots)[sanperf_tools::socket_slot_count]) {
    std::string base =
        std::string(sanperf_tools::socket_dir) + "/" + sanperf_tools::socket_name(number) + "/";
    for (int slot = 0; slot < sanperf_tools::socket_slot_count; ++slot)
        write_file(base + socket_slot_file(slot), counter_line(slots[slot]));
}

}  // namespace sanperf_test
