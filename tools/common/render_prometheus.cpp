#include "common/render_prometheus.h"

#include <fmt/format.h>

#include <cmath>

#include "common/tree_layout.h"

namespace sanperf_tools {

namespace {

// HELP text escapes backslash and newline; label values also the quote.
void append_escaped(std::string& out, std::string_view text, bool quote) {
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
}

}  // namespace

metric_family::metric_family(sink& out, std::string_view name, std::string_view type,
                             std::string_view help)
    : out_(out), name_(name) {
    std::string head = "# HELP ";
    head.append(name).append(" ");
    append_escaped(head, help, false);
    head.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
    out_.write(head);
}

void metric_family::line(labels label_set, std::string_view value) {
    line_.assign(name_);
    if (label_set.size() > 0) {
        line_ += '{';
        bool first = true;
        for (const auto& [label, label_value] : label_set) {
            if (!first) line_ += ',';
            first = false;
            line_.append(label).append("=\"");
            append_escaped(line_, label_value, true);
            line_ += '"';
        }
        line_ += '}';
    }
    line_.append(" ").append(value).append("\n");
    out_.write(line_);
}

void metric_family::sample(labels label_set, long long value) {
    fmt::format_int text(value);
    line(label_set, std::string_view(text.data(), text.size()));
}

void metric_family::sample(labels label_set, double value) {
    if (std::isnan(value)) return line(label_set, "NaN");
    if (std::isinf(value)) return line(label_set, value > 0 ? "+Inf" : "-Inf");
    line(label_set, fmt::format("{}", value));
}

namespace {

// A disk queue stage's counter set as pointers to members, so each family
// is written in one pass over the records.
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

}  // namespace

void render_prometheus_disk_queues(const snapshot& s, sink& out) {
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
        metric_family family(out, f.metric, f.type, f.help);
        for (const auto& d : s.disks)
            for (const disk_stage& stage : disk_stages)
                family.sample({{"queue", d.name}, {"stage", stage.name}}, d.*(stage.*f.member));
    }
    metric_family active(out, "sanperf_disk_queue_max_num_active", "gauge",
                         "Most requests a disk queue has had active at once.");
    for (const auto& d : s.disks)
        active.sample({{"queue", d.name}}, static_cast<long long>(d.max_num_active));
}

void render_prometheus_sessions(const snapshot& s, sink& out) {
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
        metric_family family(out, f.metric, f.type, f.help);
        for (const auto& x : s.sessions) {
            fmt::format_int id(x.id);
            family.sample({{"session", id.c_str()}, {"op", "write"}}, x.*f.write);
            family.sample({{"session", id.c_str()}, {"op", "read"}}, x.*f.read);
        }
    }
    metric_family lba(out, "sanperf_session_lba", "gauge", "The lba value a session publishes.");
    for (const auto& x : s.sessions) {
        fmt::format_int id(x.id);
        lba.sample({{"session", id.c_str()}}, static_cast<long long>(x.lba));
    }
}

void render_prometheus_sockets(const snapshot& s, sink& out) {
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
        metric_family family(out, f.metric, f.type, f.help);
        for (const auto& x : s.sockets) {
            fmt::format_int number(x.number);
            for (int i = 0; i < socket_slot_count; ++i)
                family.sample({{"socket", number.c_str()}, {"slot", socket_slot_names[i]}},
                              x.stats[i].*f.member);
        }
    }
}

void render_prometheus_time_unit(const time_unit& unit, sink& out) {
    metric_family(out, "sanperf_time_unit_seconds", "gauge",
                  "Seconds per unit of the server's time counters, as configured; absent when "
                  "the unit is not configured.")
        .sample({}, unit.seconds_per_tick);
}

void render_prometheus(const snapshot& s, sink& out) {
    if (s.disks_read) render_prometheus_disk_queues(s, out);
    if (s.sessions_read) render_prometheus_sessions(s, out);
    if (s.sockets_read) render_prometheus_sockets(s, out);
}

}  // namespace sanperf_tools
