// The archive's figures, one run: bytes per stored value beside a
// Prometheus block of the same samplings, the recorder's CPU per sampling
// against one JSON report, a window report from an hour's and a day's
// archive against one live report, a replay step against a live refresh,
// and the recorder's peak memory.
//
// Usage (as root): archive_bench SANSTAT PROMTOOL [WORKDIR [N...]]
// It enters a private mount namespace with a tmpfs over /sys/kernel and
// writes the simulated server's tree there itself, 360 samplings one
// simulated second apart, at 100/100 and 1,000/1,000.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "common/archive_reader.h"
#include "common/archive_writer.h"
#include "common/render_json.h"
#include "common/render_table.h"
#include "common/snapshot.h"
#include "sanperf-sim/server_model.h"
#include "sanperf-sim/tree_publisher.h"
#include "sanperf-sim/tree_writer.h"

namespace tools = sanperf_tools;

namespace {

class null_sink : public tools::sink {
public:
    using sink::write;
    void write(const char*, std::size_t size) override { bytes += size; }
    std::size_t bytes = 0;
};

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint64_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Bytes under dir, as du counts them by apparent size.
std::uint64_t tree_bytes(const std::string& dir) {
    std::string command = "du -sb --apparent-size '" + dir + "' | cut -f1";
    FILE* p = popen(command.c_str(), "r");
    unsigned long long bytes = 0;
    if (p) {
        if (std::fscanf(p, "%llu", &bytes) != 1) bytes = 0;
        pclose(p);
    }
    return bytes;
}

// The values one sampling stores: every number of the library's records.
std::uint64_t values_of(const tools::snapshot& s) {
    return s.disks.size() * 15 + s.sessions.size() * 10 + s.sockets.size() * 49;
}

// The four counters every stream has, from the model into a record's fields.
template <typename Totals>
void copy_stream(const Totals& t, long long& samples, long long& total_time, long long& min_time,
                 long long& max_time) {
    samples = t.samples;
    total_time = t.total_time;
    min_time = t.min_time;
    max_time = t.max_time;
}

// The snapshot the model holds, without going through files: for building
// long archives quickly.
tools::snapshot snapshot_of_model(const sanperf_sim::server_model& m) {
    tools::snapshot s;
    s.tree_found = s.disks_found = s.sessions_found = s.sockets_found = true;
    s.disks_read = s.sessions_read = s.sockets_read = true;
    for (std::size_t i = 0; i < m.disk_queues.size(); ++i) {
        const auto& q = m.disk_queues[i];
        disk_queue_info d{};
        d.name = tools::disk_queue_name(static_cast<int>(i) / tools::queues_per_disk + 1,
                                        static_cast<int>(i) % tools::queues_per_disk);
        copy_stream(q.handler.totals, d.handler_samples, d.handler_total_time, d.handler_min_time,
                    d.handler_max_time);
        d.handler_total_count = q.handler.totals.total_count;
        copy_stream(q.processing.totals, d.processing_samples, d.processing_total_time,
                    d.processing_min_time, d.processing_max_time);
        d.processing_total_count = q.processing.totals.total_count;
        d.max_num_active = static_cast<unsigned>(q.max_num_active);
        s.disks.push_back(d);
    }
    for (const auto& x : m.sessions) {
        session_info i{};
        i.id = x.id;
        i.lba = static_cast<unsigned>(x.lba);
        copy_stream(x.write.totals, i.write_samples, i.write_total_time, i.write_min_time,
                    i.write_max_time);
        copy_stream(x.read.totals, i.read_samples, i.read_total_time, i.read_min_time,
                    i.read_max_time);
        s.sessions.push_back(i);
    }
    for (const auto& x : m.sockets) {
        sock_info k{};
        k.number = x.number;
        for (int slot = 0; slot < tools::socket_slot_count; ++slot) {
            const auto& t = x.slots[static_cast<std::size_t>(slot)].totals;
            k.stats[slot] = {t.samples, t.total_time, t.min_time, t.max_time};
        }
        s.sockets.push_back(k);
    }
    return s;
}

// One series per stored value, as an exporter would name it, with its
// points: written as OpenMetrics, each series whole, for promtool.
class openmetrics {
public:
    void add(const tools::sampling_state& s, std::int64_t seconds) {
        static const char* const disk_fields[] = {
            "handler_samples",      "handler_total_time",   "handler_min_time",
            "handler_max_time",     "handler_total_count",  "handler_min_count",
            "handler_max_count",    "processing_samples",   "processing_total_time",
            "processing_min_time",  "processing_max_time",  "processing_total_count",
            "processing_min_count", "processing_max_count", "max_num_active"};
        static const char* const session_fields[] = {"lba",
                                                     "write_samples",
                                                     "write_total_time",
                                                     "write_min_time",
                                                     "write_max_time",
                                                     "read_samples",
                                                     "read_total_time",
                                                     "read_min_time",
                                                     "read_max_time"};
        static const char* const slot_fields[] = {"samples", "total_time", "min_time", "max_time"};
        for (std::size_t i = 0; i < s.disks.size(); ++i)
            for (std::size_t f = 0; f < 15; ++f)
                point(std::string("sanperf_disk_queue_") + disk_fields[f],
                      "queue=\"" + std::to_string(s.disks.keys[i]) + "\"", seconds,
                      s.disks.values[i * 15 + f]);
        for (std::size_t i = 0; i < s.sessions.size(); ++i)
            for (std::size_t f = 0; f < 9; ++f)
                point(std::string("sanperf_session_") + session_fields[f],
                      "session=\"" + std::to_string(s.sessions.keys[i]) + "\"", seconds,
                      s.sessions.values[i * 9 + f]);
        for (std::size_t i = 0; i < s.sockets.size(); ++i)
            for (std::size_t f = 0; f < 48; ++f)
                point(std::string("sanperf_socket_") + slot_fields[f % 4],
                      "socket=\"" + std::to_string(s.sockets.keys[i]) + "\",slot=\"" +
                          tools::socket_slot_names[f / 4] + "\"",
                      seconds, s.sockets.values[i * 48 + f]);
    }
    void write(const std::string& path) const {
        std::ofstream out(path);
        for (const auto& [family, series] : families_) {
            out << "# TYPE " << family << " gauge\n";
            for (const auto& [labels, points] : series)
                for (const auto& [t, v] : points)
                    out << family << '{' << labels << "} " << v << ' ' << t << '\n';
        }
        out << "# EOF\n";
    }

private:
    void point(const std::string& family, const std::string& labels, std::int64_t t,
               std::int64_t v) {
        families_[family][labels].emplace_back(t, v);
    }
    std::map<std::string, std::map<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>>>
        families_;
};

// printf's format, as a string.
template <typename... Args>
std::string text(const char* format, Args... args) {
    char out[64];
    std::snprintf(out, sizeof out, format, args...);
    return out;
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Wall seconds of a command, output thrown away: the median of runs.
double timed(const std::string& command, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double t0 = wall_seconds();
        run(command + " >/dev/null");
        times.push_back(wall_seconds() - t0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Peak resident memory of a recorder continuing archive for 20 samplings.
long recorder_peak_kib(const std::string& sanstat, const std::string& archive) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(sanstat.c_str(), "sanstat", "record", "--archive", archive.c_str(), "--interval",
              "0.25", "--retain-size", "64G", "--retain-age", "1000d", nullptr);
        _exit(127);
    }
    usleep(6'000'000);
    // The recorder's own peak, from after its exec: the child's rusage would
    // count the copy of this process it was forked as.
    long peak = 0;
    std::ifstream status_file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status_file, line);)
        if (line.rfind("VmHWM:", 0) == 0) peak = std::atol(line.c_str() + 6);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return peak;
}

struct size_figures {
    unsigned n;
    double bytes_per_value, prom_bytes_per_value, naive_bytes_per_value;
    double cpu_ratio, window_hour, window_day, live, replay_step, live_refresh;
    long rss_fresh, rss_hour, rss_day;
    double record_ms, json_ms;
};

size_figures measure(unsigned n, const std::string& sanstat, const std::string& promtool,
                     const std::string& work) {
    size_figures fig{};
    fig.n = n;
    sanperf_sim::server_model model(1, n, n);
    sanperf_sim::tree_writer writer("/sys/kernel");
    sanperf_sim::tree_publisher publisher(writer);
    auto never = [] { return false; };
    publisher.publish(model, never);

    const std::string dir = work + "/" + std::to_string(n);
    run("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    const std::string hour = dir + "/hour.db";
    tools::recording_settings settings;
    settings.interval_ms = 1000;
    settings.version = "bench";
    tools::selection all;
    std::uint64_t values = 0;
    // The samplings end before now, so that the recorder started on the
    // archives below keeps all of them.
    const std::int64_t start_ms =
        (static_cast<std::int64_t>(std::time(nullptr)) - 2 * 86400) * 1000;
    double record_cpu = 0, json_cpu = 0;
    {
        tools::archive_writer archive(hour, settings);
        for (int i = 0; i < 360; ++i) {
            model.advance(1000);
            publisher.publish(model, never);
            // In turn, so that neither gains from a warmer cache: a JSON
            // report of the tree, then a sampling recorded.
            double c0 = cpu_seconds();
            tools::snapshot shown = tools::take_snapshot(all);
            null_sink out;
            tools::render_json(shown, nullptr, 1, {}, std::nullopt, out);
            double c1 = cpu_seconds();
            tools::snapshot snap = tools::take_snapshot(all);
            archive.append(snap, start_ms + i * 1000LL, i * 1'000'000'000LL);
            double c2 = cpu_seconds();
            json_cpu += c1 - c0;
            record_cpu += c2 - c1;
            values += values_of(snap);
        }
    }
    fig.record_ms = record_cpu / 360 * 1000;
    fig.json_ms = json_cpu / 360 * 1000;
    fig.cpu_ratio = record_cpu / json_cpu;
    fig.bytes_per_value = static_cast<double>(file_size(hour)) / static_cast<double>(values);
    // A row per value: the sampling, the object, the field and the value
    // in a table without compression (the naive floor).
    {
        tools::database naive(dir + "/naive.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        naive.exec(
            "CREATE TABLE v (sampling INTEGER, object INTEGER, field INTEGER, value INTEGER)");
        tools::transaction t(naive);
        tools::statement ins(naive, "INSERT INTO v VALUES (?, ?, ?, ?)");
        tools::archive_reader r(hour);
        for (std::int64_t seq = 1; seq <= 36; ++seq) {
            const tools::sampling_state& s = r.load(*r.by_seq(seq), 7);
            for (const tools::kind_state* k : {&s.disks, &s.sessions, &s.sockets}) {
                std::size_t w = k->size() ? k->values.size() / k->size() : 0;
                for (std::size_t i = 0; i < k->size(); ++i)
                    for (std::size_t f = 0; f < w; ++f) {
                        ins.bind(1, seq);
                        ins.bind(2, std::int64_t{k->keys[i]});
                        ins.bind(3, static_cast<std::int64_t>(f));
                        ins.bind(4, k->values[i * w + f]);
                        ins.step();
                        ins.reset();
                    }
            }
        }
        t.commit();
    }
    fig.naive_bytes_per_value =
        static_cast<double>(file_size(dir + "/naive.db")) / (static_cast<double>(values) / 10);

    // The same numbers as OpenMetrics, made into a Prometheus block.
    {
        openmetrics om;
        tools::archive_reader r(hour);
        for (std::int64_t seq = 1; seq <= 360; ++seq)
            om.add(r.load(*r.by_seq(seq), 7), start_ms / 1000 + seq - 1);
        om.write(dir + "/samplings.om");
        run("rm -rf '" + dir + "/tsdb'");
        if (run(promtool + " tsdb create-blocks-from openmetrics '" + dir + "/samplings.om' '" +
                dir + "/tsdb' >/dev/null") != 0)
            std::cerr << "archive_bench: promtool failed\n";
        fig.prom_bytes_per_value =
            static_cast<double>(tree_bytes(dir + "/tsdb")) / static_cast<double>(values);
    }

    // A day at the default 10 s, built from the model without files.
    const std::string day = dir + "/day.db";
    {
        tools::archive_writer archive(day, settings);
        for (int i = 0; i < 8640; ++i) {
            model.advance(10000);
            archive.append(snapshot_of_model(model), start_ms + i * 10000LL, i * 10'000'000'000LL);
        }
    }
    // Fresh copies of the hour and the day for the reports and the recorder.
    fig.live = timed(sanstat + " -o json", 5);
    fig.window_hour = timed(sanstat + " -o json --archive '" + hour + "'", 5);
    fig.window_day = timed(sanstat + " -o json --archive '" + day + "'", 5);

    // A replay step (the next sampling, decoded forward, rendered) against
    // a live refresh (the tree read, rendered), medians of 20.
    {
        tools::archive_reader r(day);
        std::vector<double> steps, refreshes;
        std::optional<tools::sampling_meta> at = r.by_seq(5000);
        r.load(*at, 7);
        for (int i = 0; i < 20; ++i) {
            double t0 = wall_seconds();
            std::optional<tools::sampling_meta> next = r.by_seq(at->seq + 1);
            tools::sampling_state before = r.load(*at, 7);
            const tools::sampling_state& now = r.load(*next, 7);
            tools::snapshot a = tools::snapshot_of(before, all), b = tools::snapshot_of(now, all);
            b.taken = a.taken + std::chrono::seconds(10);
            null_sink out;
            tools::render_table(b, &a, 1, {}, {}, out);
            double t1 = wall_seconds();
            tools::snapshot c = tools::take_snapshot(all);
            tools::snapshot d = tools::take_snapshot(all);
            null_sink out2;
            tools::render_table(d, &c, 1, {}, {}, out2);
            double t2 = wall_seconds();
            steps.push_back(t1 - t0);
            refreshes.push_back((t2 - t1) / 2);
            at = next;
        }
        std::sort(steps.begin(), steps.end());
        std::sort(refreshes.begin(), refreshes.end());
        fig.replay_step = steps[10];
        fig.live_refresh = refreshes[10];
    }
    fig.rss_fresh = recorder_peak_kib(sanstat, dir + "/fresh.db");
    fig.rss_hour = recorder_peak_kib(sanstat, hour);
    fig.rss_day = recorder_peak_kib(sanstat, day);
    run("rm -rf /sys/kernel/session /sys/kernel/sock /sys/kernel/disk_queue");
    return fig;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: archive_bench SANSTAT PROMTOOL [WORKDIR]\n";
        return 2;
    }
    const std::string sanstat = argv[1], promtool = argv[2];
    const std::string work = argc > 3 ? argv[3] : "/tmp/archive_bench";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys/kernel", "tmpfs", 0, "mode=0755") != 0) {
        std::perror("archive_bench: a private /sys/kernel (needs root)");
        return 1;
    }

    std::vector<size_figures> figs;
    std::vector<unsigned> sizes{100, 1000};
    if (argc > 4) sizes.clear();
    for (int i = 4; i < argc; ++i) sizes.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    for (unsigned n : sizes) figs.push_back(measure(n, sanstat, promtool, work));
    // Each row: what it shows, its goal, and its cell for one size.
    struct table_row {
        const char* what;
        const char* goal;
        std::function<std::string(const size_figures&)> cell;
    };
    auto ms = [](double seconds) { return text("%.1f", seconds * 1000); };
    auto mib = [](long kib) { return text("%.1f", static_cast<double>(kib) / 1024); };
    const table_row rows[] = {
        {"bytes per stored value, archive (360 samplings, 1 s apart)", "<= 1.0",
         [](const size_figures& f) { return text("%.3f", f.bytes_per_value); }},
        {"bytes per value, Prometheus block of the same samplings", "beaten",
         [](const size_figures& f) { return text("%.3f", f.prom_bytes_per_value); }},
        {"bytes per value, a row per value (SQLite, no index)", "the naive floor",
         [](const size_figures& f) { return text("%.1f", f.naive_bytes_per_value); }},
        {"recorder CPU per sampling / one JSON report", "<= 1.3",
         [](const size_figures& f) { return text("%.2f", f.cpu_ratio); }},
        {"  recorder CPU per sampling, ms", "",
         [](const size_figures& f) { return text("%.1f", f.record_ms); }},
        {"  JSON report CPU, ms", "",
         [](const size_figures& f) { return text("%.1f", f.json_ms); }},
        {"window report, hour archive / live report (wall)", "<= 2",
         [](const size_figures& f) { return text("%.2f", f.window_hour / f.live); }},
        {"window report, day archive / live report (wall)", "<= 2, flat",
         [](const size_figures& f) { return text("%.2f", f.window_day / f.live); }},
        {"  live report, ms", "", [&](const size_figures& f) { return ms(f.live); }},
        {"  window report, hour / day archive, ms", "",
         [&](const size_figures& f) { return ms(f.window_hour) + " / " + ms(f.window_day); }},
        {"replay step / live refresh (wall)", "<= 1",
         [](const size_figures& f) { return text("%.2f", f.replay_step / f.live_refresh); }},
        {"recorder peak RSS, MiB: new / hour / day archive", "bounded, flat",
         [&](const size_figures& f) {
             return mib(f.rss_fresh) + " / " + mib(f.rss_hour) + " / " + mib(f.rss_day);
         }},
    };
    std::string head = "| figure |", rule = "|---|";
    for (const auto& f : figs) {
        head += text(" %u/%u |", f.n, f.n);
        rule += "---|";
    }
    std::printf("%s goal |\n%s---|\n", head.c_str(), rule.c_str());
    for (const table_row& r : rows) {
        std::string line = std::string("| ") + r.what + " |";
        for (const auto& f : figs) line += " " + r.cell(f) + " |";
        std::printf("%s %s |\n", line.c_str(), r.goal);
    }
    return 0;
}
