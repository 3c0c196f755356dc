#include <fmt/format.h>

#include "render.h"

namespace sanstat {

namespace {

// One metric family: its HELP and TYPE lines, then one line per series.
class family {
public:
    family(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }
    void series(const std::string& labels, long long value) {
        out_ += fmt::format("{}{{{}}} {}\n", name_, labels, value);
    }

private:
    std::string& out_;
    const char* name_;
};

// Counter sets and their fields, as pointers to members, so that each metric
// family is written in one pass over the records.
struct disk_stage {
    const char* name;
    long long disk_queue_info::*samples;
    long long disk_queue_info::*total_time;
    long long disk_queue_info::*min_time;
    long long disk_queue_info::*max_time;
    long long disk_queue_info::*total_count;
    long long disk_queue_info::*min_count;
    long long disk_queue_info::*max_count;
};

const disk_stage disk_stages[2] = {
    {"handler", &disk_queue_info::handler_samples, &disk_queue_info::handler_total_time,
     &disk_queue_info::handler_min_time, &disk_queue_info::handler_max_time,
     &disk_queue_info::handler_total_count, &disk_queue_info::handler_min_count,
     &disk_queue_info::handler_max_count},
    {"processing", &disk_queue_info::processing_samples, &disk_queue_info::processing_total_time,
     &disk_queue_info::processing_min_time, &disk_queue_info::processing_max_time,
     &disk_queue_info::processing_total_count, &disk_queue_info::processing_min_count,
     &disk_queue_info::processing_max_count},
};

void disks(std::string& out, const snapshot& s) {
    struct field {
        const char* metric;
        const char* type;
        const char* help;
        long long disk_queue_info::*disk_stage::*member;
    };
    const field fields[] = {
        {"sanperf_disk_queue_samples_total", "counter", "Samples taken by a disk queue stage.",
         &disk_stage::samples},
        {"sanperf_disk_queue_time_total", "counter",
         "Time of all samples of a disk queue stage, in the server's units.",
         &disk_stage::total_time},
        {"sanperf_disk_queue_items_total", "counter",
         "Items counted over all samples of a disk queue stage.", &disk_stage::total_count},
        {"sanperf_disk_queue_min_time", "gauge",
         "Shortest sample of a disk queue stage, 0 before the first sample.",
         &disk_stage::min_time},
        {"sanperf_disk_queue_max_time", "gauge", "Longest sample of a disk queue stage.",
         &disk_stage::max_time},
        {"sanperf_disk_queue_min_items", "gauge",
         "Fewest items in a sample of a disk queue stage, 0 before the first sample.",
         &disk_stage::min_count},
        {"sanperf_disk_queue_max_items", "gauge", "Most items in a sample of a disk queue stage.",
         &disk_stage::max_count},
    };
    for (const field& f : fields) {
        family fam(out, f.metric, f.type, f.help);
        for (const auto& d : s.disks)
            for (const disk_stage& stage : disk_stages)
                fam.series(fmt::format("queue=\"{}\",stage=\"{}\"", d.name, stage.name),
                           d.*(stage.*f.member));
    }
    family active(out, "sanperf_disk_queue_max_num_active", "gauge",
                  "Most requests a disk queue has had active at once.");
    for (const auto& d : s.disks)
        active.series(fmt::format("queue=\"{}\"", d.name), static_cast<long long>(d.max_num_active));
}

void sessions(std::string& out, const snapshot& s) {
    struct field {
        const char* metric;
        const char* type;
        const char* help;
        long long session_info::*write;
        long long session_info::*read;
    };
    const field fields[] = {
        {"sanperf_session_samples_total", "counter", "Reads or writes of a session.",
         &session_info::write_samples, &session_info::read_samples},
        {"sanperf_session_time_total", "counter",
         "Time of all reads or writes of a session, in the server's units.",
         &session_info::write_total_time, &session_info::read_total_time},
        {"sanperf_session_min_time", "gauge",
         "Shortest read or write of a session, 0 before the first one.",
         &session_info::write_min_time, &session_info::read_min_time},
        {"sanperf_session_max_time", "gauge", "Longest read or write of a session.",
         &session_info::write_max_time, &session_info::read_max_time},
    };
    for (const field& f : fields) {
        family fam(out, f.metric, f.type, f.help);
        for (const auto& x : s.sessions) {
            fam.series(fmt::format("session=\"{}\",op=\"write\"", x.id), x.*f.write);
            fam.series(fmt::format("session=\"{}\",op=\"read\"", x.id), x.*f.read);
        }
    }
    family lba(out, "sanperf_session_lba", "gauge", "The lba value a session publishes.");
    for (const auto& x : s.sessions)
        lba.series(fmt::format("session=\"{}\"", x.id), static_cast<long long>(x.lba));
}

void sockets(std::string& out, const snapshot& s) {
    struct field {
        const char* metric;
        const char* type;
        const char* help;
        long long sock_stats::*member;
    };
    const field fields[] = {
        {"sanperf_socket_samples_total", "counter", "Samples taken by a socket slot.",
         &sock_stats::samples},
        {"sanperf_socket_time_total", "counter",
         "Time of all samples of a socket slot, in the server's units.", &sock_stats::total_time},
        {"sanperf_socket_min_time", "gauge",
         "Shortest sample of a socket slot, 0 before the first sample.", &sock_stats::min_time},
        {"sanperf_socket_max_time", "gauge", "Longest sample of a socket slot.",
         &sock_stats::max_time},
    };
    for (const field& f : fields) {
        family fam(out, f.metric, f.type, f.help);
        for (const auto& x : s.sockets)
            for (int i = 0; i < 12; ++i)
                fam.series(fmt::format("socket=\"{}\",slot=\"{}\"", x.number, socket_slot_names[i]),
                           x.stats[i].*f.member);
    }
}

}  // namespace

std::string render_prometheus(const report& r) {
    std::string out;
    if (r.disks_shown) disks(out, r.now);
    if (r.sessions_shown) sessions(out, r.now);
    if (r.sockets_shown) sockets(out, r.now);
    return out;
}

}  // namespace sanstat
