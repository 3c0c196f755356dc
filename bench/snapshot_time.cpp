// Times full snapshots by the library alone (disk queues, sessions, sockets,
// as the facade hands them out) of whatever tree is at /sys/kernel, and
// prints each one's seconds on a line. The exporter's benchmark runs it in a
// mount namespace with the tree bound there, beside scrapes of the same tree.
// Usage: sanperf_snapshot_time COUNT

#include <sanperf.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <list>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    std::size_t objects = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        sanserver_performance_info server;
        std::list<disk_queue_info> disks;
        std::list<session_info> sessions;
        std::list<sock_info> sockets;
        server.get_disk_queue_perf_info(disks);
        server.get_session_perf_info(sessions);
        server.get_socket_perf_info(sockets);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        objects += disks.size() + sessions.size() + sockets.size();
        std::printf("%.6f\n", took.count());
    }
    // Keeps the reads from being optimized away, and shows what was read.
    std::fprintf(stderr, "%zu objects per snapshot\n", count > 0 ? objects / count : 0);
    return 0;
}
