#include "tree_publisher.h"

#include <cstdio>
#include <string>
#include <vector>

namespace sanperf_sim {
namespace {

const char* const socket_slot_files[socket_slot_count] = {
    "aio_read_stats",
    "aio_write_stats",
    "perform_io_read_stats",
    "perform_io_write_stats",
    "post_read_stats",
    "post_write_stats",
    "queue_modify_tx_offset_stats",
    "queue_modify_rx_offset_stats",
    "socket_read_stats",
    "socket_write_stats",
    "wait_for_space_stats",
    "wait_until_data_available_stats",
};

// "samples total_count max_count min_count total_time max_time min_time\n"
std::string counter_line(const counter_set& c) {
    char line[8 * 21];
    int n = std::snprintf(line, sizeof line, "%lld %lld %lld %lld %lld %lld %lld\n", c.samples,
                          c.total_count, c.max_count, c.min_count, c.total_time, c.max_time,
                          c.min_time);
    return std::string(line, static_cast<std::size_t>(n));
}

std::string value_line(long long value) {
    return std::to_string(value) + "\n";
}

}  // namespace

tree_publisher::tree_publisher(tree_writer& writer) : writer(writer) {
    for (int disk = 1; disk <= disk_count; ++disk) {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            writer.make_dir("disk_queue/disk" + std::to_string(disk) + "_" + std::to_string(queue));
        }
    }
    writer.make_dir("session");
    writer.make_dir("sock");
    writer.remove_leftovers("session", "session");
    writer.remove_leftovers("sock", "sock");
}

void tree_publisher::publish(server_model& model) {
    for (int disk = 1; disk <= disk_count; ++disk) {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            publish_disk_queue(disk, queue,
                               model.disk_queues[static_cast<std::size_t>((disk - 1) * queues_per_disk + queue)]);
        }
    }

    // Ended ones go first: a new session may take the id of one that ended.
    for (unsigned id : model.ended_sessions) writer.retire_dir("session", "session" + std::to_string(id));
    model.ended_sessions.clear();
    for (unsigned number : model.ended_sockets) writer.retire_dir("sock", "sock" + std::to_string(number));
    model.ended_sockets.clear();

    for (session& s : model.sessions) publish_session(s);
    for (socket& k : model.sockets) publish_socket(k);
}

void tree_publisher::publish_disk_queue(int disk, int queue, disk_queue& q) {
    std::string dir = "disk_queue/disk" + std::to_string(disk) + "_" + std::to_string(queue) + "/";
    if (q.handler.changed) {
        writer.replace_file(dir + "async_handler_task_perf_stats", counter_line(q.handler.totals));
        q.handler.changed = false;
    }
    if (q.processing.changed) {
        writer.replace_file(dir + "async_processing_perf_stats", counter_line(q.processing.totals));
        q.processing.changed = false;
    }
    if (q.max_num_active_changed) {
        writer.replace_file(dir + "max_num_active", value_line(q.max_num_active));
        q.max_num_active_changed = false;
    }
}

void tree_publisher::publish_session(session& s) {
    std::string name = "session" + std::to_string(s.id);
    if (s.is_new) {
        writer.publish_dir("session", name,
                           {{"id", value_line(s.id)},
                            {"lba", value_line(s.lba)},
                            {"read_perf_stats", counter_line(s.read.totals)},
                            {"write_perf_stats", counter_line(s.write.totals)}});
        s.is_new = s.lba_changed = s.read.changed = s.write.changed = false;
        return;
    }
    std::string dir = "session/" + name + "/";
    if (s.lba_changed) {
        writer.replace_file(dir + "lba", value_line(s.lba));
        s.lba_changed = false;
    }
    if (s.read.changed) {
        writer.replace_file(dir + "read_perf_stats", counter_line(s.read.totals));
        s.read.changed = false;
    }
    if (s.write.changed) {
        writer.replace_file(dir + "write_perf_stats", counter_line(s.write.totals));
        s.write.changed = false;
    }
}

void tree_publisher::publish_socket(socket& k) {
    std::string name = "sock" + std::to_string(k.number);
    if (k.is_new) {
        std::vector<file_content> files;
        files.reserve(socket_slot_count);
        for (int slot = 0; slot < socket_slot_count; ++slot) {
            files.emplace_back(socket_slot_files[slot], counter_line(k.slots[static_cast<std::size_t>(slot)].totals));
        }
        writer.publish_dir("sock", name, files);
        for (activity& a : k.slots) a.changed = false;
        k.is_new = false;
        return;
    }
    std::string dir = "sock/" + name + "/";
    for (int slot = 0; slot < socket_slot_count; ++slot) {
        activity& a = k.slots[static_cast<std::size_t>(slot)];
        if (!a.changed) continue;
        writer.replace_file(dir + socket_slot_files[slot], counter_line(a.totals));
        a.changed = false;
    }
}

}  // namespace sanperf_sim
