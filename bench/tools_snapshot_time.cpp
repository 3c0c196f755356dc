// Times the programs' snapshot (what sanstat, the exporter and the Python
// module read: every block, vanished objects left out) of whatever tree is
// at /sys/kernel, on THREADS threads, and prints each one's seconds on a
// line. The Python module's benchmark runs it beside sanperf.snapshot().
// Usage: sanperf_tools_snapshot_time COUNT THREADS

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/snapshot.h"
#include "common/thread_pool.h"

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
    std::unique_ptr<sanperf_tools::thread_pool> pool;
    if (threads > 1) pool = std::make_unique<sanperf_tools::thread_pool>(threads);
    std::size_t objects = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const sanperf_tools::snapshot snap = sanperf_tools::take_snapshot({}, pool.get());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        objects += snap.disks.size() + snap.sessions.size() + snap.sockets.size();
        std::printf("%.6f\n", took.count());
    }
    // Keeps the reads from being optimized away, and shows what was read.
    std::fprintf(stderr, "%zu objects per snapshot\n",
                 count > 0 ? objects / static_cast<std::size_t>(count) : 0);
    return 0;
}
