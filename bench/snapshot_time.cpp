// Times full snapshots by the library alone (disk queues, sessions, sockets,
// as the facade hands them out) of whatever tree is at /sys/kernel, and
// prints each one's seconds on a line. The exporter's benchmark runs it in a
// mount namespace with the tree bound there, beside scrapes of the same tree.
// Usage: sanperf_snapshot_time COUNT

#include "library_snapshot.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    std::size_t objects = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::size_t records = library_snapshot();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        objects += records;
        std::printf("%.6f\n", took.count());
    }
    // Keeps the reads from being optimized away, and shows what was read.
    std::fprintf(stderr, "%zu objects per snapshot\n",
                 count > 0 ? objects / static_cast<std::size_t>(count) : 0);
    return 0;
}
