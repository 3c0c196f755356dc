// One full snapshot (disk queues, sessions, sockets) by the library, beside
// the floor: the same files opened, read once with read(2), closed and parsed
// by hand. The two run in turn inside each iteration, so their ratio comes
// from one run on one machine state.
//
// The library reads fixed paths under /sys/kernel, so the program gives
// itself a private mount namespace with a tmpfs there and has sanperf-sim
// write each tree into it. Run as root.

#include "library_snapshot.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/private_mount.h"
#include "common/tree_layout.h"

namespace {

const char* sim_path = SANPERF_SIM_PATH;
long current_tree = -1;

// Replaces the tree under /sys/kernel with the simulator's for n sessions
// and n sockets.
bool write_tree(long n) {
    if (current_tree == n) return true;
    if (std::system("rm -rf /sys/kernel/disk_queue /sys/kernel/session /sys/kernel/sock") != 0)
        return false;
    std::string count = std::to_string(n);
    pid_t pid = fork();
    if (pid == 0) {
        execl(sim_path, sim_path, "/sys/kernel", "--once", "--sessions", count.c_str(), "--sockets",
              count.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    current_tree = n;
    return true;
}

// ---- the floor -----------------------------------------------------------

// A path buffer holding one directory, after which each file name is copied
// in place: no formatting and no allocation per file.
class path_in_dir {
public:
    void clear() { length = 0; }
    void add(std::string_view text) {
        std::memcpy(buffer + length, text.data(), text.size());
        length += text.size();
    }
    void add(unsigned number) {
        char digits[10];
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (n != 0) buffer[length++] = digits[--n];
    }
    // The directory followed by name, as a C string.
    const char* file(std::string_view name) {
        std::memcpy(buffer + length, name.data(), name.size());
        buffer[length + name.size()] = '\0';
        return buffer;
    }

private:
    char buffer[512];
    std::size_t length = 0;
};

namespace layout = sanperf_tools;

const std::string_view queue_files[] = {layout::handler_stats_file, layout::processing_stats_file,
                                        layout::max_num_active_file};
const std::string_view session_files[] = {layout::session_read_stats_file,
                                          layout::session_write_stats_file, layout::session_id_file,
                                          layout::session_lba_file};

// The twelve socket file names, built once before any timing starts.
struct socket_file_names {
    std::string names[layout::socket_slot_count];
    socket_file_names() {
        for (int slot = 0; slot < layout::socket_slot_count; ++slot)
            names[slot] = layout::socket_slot_file(slot);
    }
};
const socket_file_names socket_files;

struct floor_reader {
    long files = 0;
    long long checksum = 0;

    // Opens, reads once and closes path, then sums the numbers on its first
    // line.
    void read_file(const char* path) {
        ++files;
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return;
        char buf[4096];
        ssize_t got = read(fd, buf, sizeof buf);
        close(fd);
        const char* end = buf + (got > 0 ? got : 0);
        for (const char* p = buf; p != end && *p != '\n';) {
            if (*p < '0' || *p > '9') {
                ++p;
                continue;
            }
            long long v = 0;
            for (; p != end && *p >= '0' && *p <= '9'; ++p) v = v * 10 + (*p - '0');
            checksum += v;
        }
    }

    void snapshot() {
        path_in_dir path;
        for (int disk = 1; disk <= layout::disk_count; ++disk)
            for (int queue = 0; queue < layout::queues_per_disk; ++queue) {
                path.clear();
                path.add("/sys/kernel/disk_queue/disk");
                path.add(static_cast<unsigned>(disk));
                path.add("_");
                path.add(static_cast<unsigned>(queue));
                path.add("/");
                for (std::string_view f : queue_files) read_file(path.file(f));
            }
        // Sessions: the id file while listing, then the four files.
        each_dir("/sys/kernel/session/", "session", path, [&] {
            read_file(path.file("id"));
            for (std::string_view f : session_files) read_file(path.file(f));
        });
        each_dir("/sys/kernel/sock/", "sock", path, [&] {
            for (const std::string& f : socket_files.names) read_file(path.file(f));
        });
    }

    // Calls visit with path set to each entry of dir whose name starts with
    // prefix, followed by a slash.
    template <typename Visit>
    static void each_dir(std::string_view dir, std::string_view prefix, path_in_dir& path,
                         Visit visit) {
        path.clear();
        path.add(dir);
        DIR* d = opendir(path.file(""));
        if (d == nullptr) return;
        while (dirent* e = readdir(d)) {
            std::string_view name = e->d_name;
            if (name.substr(0, prefix.size()) != prefix) continue;
            path.clear();
            path.add(dir);
            path.add(name);
            path.add("/");
            visit();
        }
        closedir(d);
    }
};

void BM_Snapshot(benchmark::State& state) {
    long n = static_cast<long>(state.range(0));
    if (!write_tree(n)) {
        state.SkipWithError("sanperf-sim failed to write the tree");
        return;
    }
    using clock = std::chrono::steady_clock;
    clock::duration library{}, floor{};
    long files = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        benchmark::DoNotOptimize(library_snapshot());
        auto t1 = clock::now();
        floor_reader reader;
        reader.snapshot();
        benchmark::DoNotOptimize(reader.checksum);
        auto t2 = clock::now();
        library += t1 - t0;
        floor += t2 - t1;
        files = reader.files;
    }
    auto us = [&](clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() /
               static_cast<double>(state.iterations());
    };
    state.counters["library_us"] = us(library);
    state.counters["floor_us"] = us(floor);
    state.counters["files"] = static_cast<double>(files);
    state.counters["library_ns_per_file"] = us(library) * 1000 / static_cast<double>(files);
    state.counters["floor_ns_per_file"] = us(floor) * 1000 / static_cast<double>(files);
    state.counters["ratio"] = us(library) / us(floor);
}
BENCHMARK(BM_Snapshot)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// One snapshot of the library alone, for callgrind and peak memory:
// snapshot_bench --one-snapshot N [--floor]
int one_snapshot(long n, bool floor) {
    if (!write_tree(n)) return 1;
    if (floor) {
        floor_reader reader;
        reader.snapshot();
        std::printf("files %ld\n", reader.files);
    } else {
        std::printf("records %zu\n", library_snapshot());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!sanperf_tools::private_sys_kernel(sanperf_tools::user_namespace_ids::root, "", why)) {
        std::fprintf(stderr, "private /sys/kernel: %s\n", why.c_str());
        return 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--one-snapshot") == 0)
        return one_snapshot(std::atol(argv[2]), argc >= 4 && std::strcmp(argv[3], "--floor") == 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
