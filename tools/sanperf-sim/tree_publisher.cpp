#include "sanperf-sim/tree_publisher.h"

#include <string>
#include <vector>

namespace sanperf_sim {
namespace {

using namespace sanperf_tools;

std::string value_line(long long value) { return std::to_string(value) + "\n"; }

std::string in_dir(const char* dir, const std::string& name) {
    return std::string(dir) + "/" + name;
}

}  // namespace

tree_publisher::tree_publisher(tree_writer& out) : writer(out) {
    for (int disk = 1; disk <= disk_count; ++disk) {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            writer.make_dir(in_dir(disk_queue_dir, disk_queue_name(disk, queue)));
        }
    }
    writer.make_dir(session_dir);
    writer.make_dir(socket_dir);
    writer.remove_leftovers(session_dir, session_prefix);
    writer.remove_leftovers(socket_dir, socket_prefix);
}

void tree_publisher::publish(server_model& model, const std::function<bool()>& stop) {
    auto check = [&stop] {
        if (stop()) throw interrupted();
    };
    for (int disk = 1; disk <= disk_count; ++disk) {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            check();
            publish_disk_queue(
                disk, queue,
                model.disk_queues[static_cast<std::size_t>((disk - 1) * queues_per_disk + queue)]);
        }
    }

    // Ended ones go first: a new session may take the id of one that ended.
    // Each is taken off its list once gone, so an interrupted call leaves
    // the rest for the next.
    while (!model.ended_sessions.empty()) {
        check();
        writer.retire_dir(session_dir, session_name(model.ended_sessions.back()));
        model.ended_sessions.pop_back();
    }
    while (!model.ended_sockets.empty()) {
        check();
        writer.retire_dir(socket_dir, socket_name(model.ended_sockets.back()));
        model.ended_sockets.pop_back();
    }

    for (session& s : model.sessions) {
        check();
        publish_session(s);
    }
    for (socket& k : model.sockets) {
        check();
        publish_socket(k);
    }
}

void tree_publisher::publish_disk_queue(int disk, int queue, disk_queue& q) {
    std::string dir = in_dir(disk_queue_dir, disk_queue_name(disk, queue)) + "/";
    if (q.handler.changed) {
        writer.replace_file(dir + handler_stats_file, counter_line(q.handler.totals));
        q.handler.changed = false;
    }
    if (q.processing.changed) {
        writer.replace_file(dir + processing_stats_file, counter_line(q.processing.totals));
        q.processing.changed = false;
    }
    if (q.max_num_active_changed) {
        writer.replace_file(dir + max_num_active_file, value_line(q.max_num_active));
        q.max_num_active_changed = false;
    }
}

void tree_publisher::publish_session(session& s) {
    std::string name = session_name(s.id);
    if (s.is_new) {
        writer.publish_dir(session_dir, name,
                           {{session_id_file, value_line(s.id)},
                            {session_lba_file, value_line(s.lba)},
                            {session_read_stats_file, counter_line(s.read.totals)},
                            {session_write_stats_file, counter_line(s.write.totals)}});
        s.is_new = s.lba_changed = s.read.changed = s.write.changed = false;
        return;
    }
    std::string dir = in_dir(session_dir, name) + "/";
    if (s.lba_changed) {
        writer.replace_file(dir + session_lba_file, value_line(s.lba));
        s.lba_changed = false;
    }
    if (s.read.changed) {
        writer.replace_file(dir + session_read_stats_file, counter_line(s.read.totals));
        s.read.changed = false;
    }
    if (s.write.changed) {
        writer.replace_file(dir + session_write_stats_file, counter_line(s.write.totals));
        s.write.changed = false;
    }
}

void tree_publisher::publish_socket(socket& k) {
    std::string name = socket_name(k.number);
    if (k.is_new) {
        std::vector<file_content> files;
        files.reserve(socket_slot_count);
        for (int slot = 0; slot < socket_slot_count; ++slot) {
            files.emplace_back(socket_slot_file(slot),
                               counter_line(k.slots[static_cast<std::size_t>(slot)].totals));
        }
        writer.publish_dir(socket_dir, name, files);
        for (activity& a : k.slots) a.changed = false;
        k.is_new = false;
        return;
    }
    std::string dir = in_dir(socket_dir, name) + "/";
    for (int slot = 0; slot < socket_slot_count; ++slot) {
        activity& a = k.slots[static_cast<std::size_t>(slot)];
        if (!a.changed) continue;
        writer.replace_file(dir + socket_slot_file(slot), counter_line(a.totals));
        a.changed = false;
    }
}

}  // namespace sanperf_sim
