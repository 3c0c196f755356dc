// Prints the server's disk queues, sessions and sockets, a few columns each.
// Build against the installed library with: g++ print_stats.cpp -lsanperf
#include <sanperf.h>

#include <cstdio>
#include <list>

int main() {
    sanserver_performance_info server;

    std::list<disk_queue_info> queues;
    server.get_disk_queue_perf_info(queues);
    std::printf("%-8s %12s %12s %12s %10s\n", "queue", "samples", "total_time", "max_time",
                "active");
    for (const disk_queue_info& q : queues)
        std::printf("%-8s %12lld %12lld %12lld %10u\n", q.name.c_str(), q.handler_samples,
                    q.handler_total_time, q.handler_max_time, q.max_num_active);

    std::list<session_info> sessions;
    server.get_session_perf_info(sessions);
    std::printf("\n%-8s %10s %12s %12s\n", "session", "lba", "writes", "reads");
    for (const session_info& s : sessions)
        std::printf("%-8u %10u %12lld %12lld\n", s.id, s.lba, s.write_samples, s.read_samples);

    std::list<sock_info> sockets;
    server.get_socket_perf_info(sockets);
    // Slots 8 and 9 are the socket's reads and writes.
    std::printf("\n%-8s %12s %12s\n", "socket", "reads", "writes");
    for (const sock_info& s : sockets)
        std::printf("%-8u %12lld %12lld\n", s.number, s.stats[8].samples, s.stats[9].samples);
    return 0;
}
