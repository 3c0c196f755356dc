#include "library_snapshot.h"

#include <sanperf.h>

#include <list>

std::size_t library_snapshot() {
    sanserver_performance_info server;
    std::list<disk_queue_info> queues;
    std::list<session_info> sessions;
    std::list<sock_info> sockets;
    server.get_disk_queue_perf_info(queues);
    server.get_session_perf_info(sessions);
    server.get_socket_perf_info(sockets);
    return queues.size() + sessions.size() + sockets.size();
}
