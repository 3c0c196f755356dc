#include <algorithm>
#include <list>
#include <set>

#include "report.h"

namespace sanstat {

namespace {

bool wanted(const std::vector<unsigned>& filter, unsigned value) {
    return filter.empty() || std::find(filter.begin(), filter.end(), value) != filter.end();
}

}  // namespace

snapshot take_snapshot(const selection& sel) {
    snapshot snap;
    snap.taken = std::chrono::steady_clock::now();
    snap.wall = std::time(nullptr);
    sanserver_performance_info server;
    if (sel.disks) {
        std::list<disk_queue_info> disks;
        server.get_disk_queue_perf_info(disks);
        snap.disks.assign(disks.begin(), disks.end());
        snap.disks_read = true;
    }
    // Two listed entries with the same id or number are read from the same
    // directory, so they are one object: keep the first.
    if (sel.sessions) {
        std::list<session_info> sessions;
        server.get_session_perf_info(sessions);
        std::set<unsigned> seen;
        for (const auto& s : sessions)
            if (wanted(sel.session_ids, s.id) && seen.insert(s.id).second)
                snap.sessions.push_back(s);
        snap.sessions_read = true;
    }
    if (sel.sockets) {
        std::list<sock_info> sockets;
        server.get_socket_perf_info(sockets);
        std::set<unsigned> seen;
        for (const auto& s : sockets)
            if (wanted(sel.socket_numbers, s.number) && seen.insert(s.number).second)
                snap.sockets.push_back(s);
        snap.sockets_read = true;
    }
    return snap;
}

}  // namespace sanstat
