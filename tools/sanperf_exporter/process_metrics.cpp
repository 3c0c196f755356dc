#include "sanperf_exporter/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/render_prometheus.h"

namespace sanperf_exporter {

namespace {

// The fields of /proc/self/stat after the command name, which is in
// parentheses and may itself hold blanks and parentheses. fields[0] is the
// state (field 3 of proc(5)).
std::vector<std::string> stat_fields() {
    std::ifstream in("/proc/self/stat");
    std::string line;
    std::getline(in, line);
    std::vector<std::string> fields;
    std::size_t end = line.rfind(')');
    if (end == std::string::npos) return fields;
    std::istringstream rest(line.substr(end + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

// Seconds since the epoch at which the machine booted: the wall clock less
// the time since boot, on the clock /proc counts process start times by.
// (The unit hides /proc/stat, whose btime would say the same.)
double boot_time() {
    timespec wall{}, since_boot{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_BOOTTIME, &since_boot);
    return static_cast<double>(wall.tv_sec - since_boot.tv_sec) +
           static_cast<double>(wall.tv_nsec - since_boot.tv_nsec) / 1e9;
}

long long open_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    long long n = 0;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n - 1;  // the descriptor reading the directory
}

}  // namespace

void render_process_metrics(sanperf_tools::sink& out) {
    using sanperf_tools::metric_family;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    // proc(5) numbers: utime 14, stime 15, starttime 22, vsize 23, rss 24.
    const std::vector<std::string> f = stat_fields();
    auto field = [&f](int number) { return std::stod(f.at(static_cast<std::size_t>(number - 3))); };
    if (f.size() >= 22) {
        metric_family(out, "process_cpu_seconds_total", "counter",
                      "Total user and system CPU time spent in seconds.")
            .sample({}, (field(14) + field(15)) / ticks);
        metric_family(out, "process_resident_memory_bytes", "gauge",
                      "Resident memory size in bytes.")
            .sample({}, field(24) * page);
        metric_family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.")
            .sample({}, field(23));
        metric_family(out, "process_start_time_seconds", "gauge",
                      "Start time of the process since unix epoch in seconds.")
            .sample({}, boot_time() + field(22) / ticks);
    }
    long long fds = open_fds();
    if (fds >= 0)
        metric_family(out, "process_open_fds", "gauge", "Number of open file descriptors.")
            .sample({}, fds);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        metric_family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.")
            .sample({},
                    limit.rlim_cur == RLIM_INFINITY ? -1.0 : static_cast<double>(limit.rlim_cur));
}

}  // namespace sanperf_exporter
