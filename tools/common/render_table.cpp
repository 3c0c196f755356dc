#include "render_table.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>

#include "interval.h"

namespace sanperf_tools {

std::string readable(std::optional<double> value) {
    if (!value) return "-";
    double v = *value;
    if (std::fabs(v) < 100000) {
        if (v == std::floor(v) || std::fabs(v) >= 100) return fmt::format("{:.0f}", v);
        return fmt::format("{:.1f}", v);
    }
    static const char suffixes[] = "kMGTPE";
    int i = -1;
    while (std::fabs(v) >= 1000 && i < 5) {
        v /= 1000;
        ++i;
    }
    if (std::fabs(v) < 100) return fmt::format("{:.1f}{}", v, suffixes[i]);
    return fmt::format("{:.0f}{}", v, suffixes[i]);
}

namespace {

using buffer = fmt::memory_buffer;

std::optional<double> whole(long long v) {
    return static_cast<double>(v);
}

// Value columns are 7 wide and readable() gives at most 6 characters, so
// they always start with a blank.

// The widest a row's name or id gets: ten digits and the mark "*".
constexpr int id_width = 11;

// samples (or samples/s), average, minimum and maximum time: 4 columns.
void counter_columns(buffer& b, const counter_view& c, bool rates) {
    std::optional<double> samples = rates ? c.samples_per_second : whole(c.samples);
    fmt::format_to(std::back_inserter(b), "{:>7}{:>7}{:>7}{:>7}", readable(samples),
                   readable(c.avg_time), readable(whole(c.min_time)), readable(whole(c.max_time)));
}

// A row's name, marked when its numbers are totals inside an interval report.
std::string mark(std::string name, bool totals, bool interval) {
    if (totals && interval) name += '*';
    return name;
}

void emit(sink& out, buffer& b) {
    out.write(b.data(), b.size());
    b.clear();
}

void disks(sink& out, const interval& iv, const snapshot& now) {
    bool rates_shown = iv.seconds().has_value();
    const char* smp = rates_shown ? "smp/s" : "smp";
    buffer b;
    // Disk queue names are at most "disk4_7*", 8 characters, and each value
    // column starts with a blank.
    fmt::format_to(std::back_inserter(b), "\n{:<8}{:-^28}  {:-^28}\n", "", " handler ",
                   " processing ");
    fmt::format_to(std::back_inserter(b), "{:<8}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}{:>7}\n",
                   "queue", smp, "avg", "min", "max", smp, "avg", "min", "max", "active");
    emit(out, b);
    for (const auto& d : now.disks) {
        disk_row row = iv.disk(d);
        bool rates = rates_shown && !row.totals;
        fmt::format_to(std::back_inserter(b), "{:<8}", mark(*row.name, row.totals, rates_shown));
        counter_columns(b, row.handler, rates);
        b.append(std::string_view("  "));
        counter_columns(b, row.processing, rates);
        fmt::format_to(std::back_inserter(b), "{:>7}\n", readable(whole(row.max_num_active)));
        emit(out, b);
    }
}

void sessions(sink& out, const interval& iv, const snapshot& now) {
    bool rates_shown = iv.seconds().has_value();
    const char* smp = rates_shown ? "smp/s" : "smp";
    buffer b;
    // id (up to 11 characters, then a blank) and lba (up to 10 digits).
    fmt::format_to(std::back_inserter(b), "\n{:<22}{:-^28}  {:-^28}\n", "", " write ", " read ");
    fmt::format_to(std::back_inserter(b), "{:<{}}{:>10}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}\n",
                   "session", id_width + 1, "lba", smp, "avg", "min", "max", smp, "avg", "min",
                   "max");
    if (now.sessions.empty()) b.append(std::string_view("(none)\n"));
    emit(out, b);
    for (const auto& s : now.sessions) {
        session_row row = iv.session(s);
        bool rates = rates_shown && !row.totals;
        fmt::format_to(std::back_inserter(b), "{:<{}}{:>10}",
                       mark(std::to_string(row.id), row.totals, rates_shown), id_width + 1, row.lba);
        counter_columns(b, row.write, rates);
        b.append(std::string_view("  "));
        counter_columns(b, row.read, rates);
        b.push_back('\n');
        emit(out, b);
    }
}

void sockets(sink& out, const interval& iv, const snapshot& now) {
    bool rates_shown = iv.seconds().has_value();
    buffer b;
    fmt::format_to(std::back_inserter(b), "\n{:<{}}{:<27}{:>7}{:>7}{:>7}\n", "socket", id_width + 1,
                   "slot", rates_shown ? "smp/s" : "smp", "avg", "max");
    if (now.sockets.empty()) b.append(std::string_view("(none)\n"));
    emit(out, b);
    for (const auto& s : now.sockets) {
        socket_row row = iv.socket(s);
        bool rates = rates_shown && !row.totals;
        std::string name = mark(std::to_string(row.number), row.totals, rates_shown);
        for (int i = 0; i < socket_slot_count; ++i) {
            const counter_view& c = row.slots[i];
            fmt::format_to(std::back_inserter(b), "{:<{}}{:<27}{:>7}{:>7}{:>7}\n",
                           i == 0 ? name : "", id_width + 1, socket_slot_names[i],
                           readable(rates ? c.samples_per_second : whole(c.samples)),
                           readable(c.avg_time), readable(whole(c.max_time)));
        }
        emit(out, b);
    }
}

}  // namespace

void render_table(const snapshot& now, const snapshot* before, int sequence, sink& out) {
    interval iv(before, now);
    buffer b;
    fmt::format_to(std::back_inserter(b), "report {} at {:%Y-%m-%d %H:%M:%S}", sequence,
                   fmt::localtime(now.wall));
    if (iv.seconds())
        fmt::format_to(std::back_inserter(b), ", samples per second over the last {:.2f} s\n",
                       *iv.seconds());
    else
        b.append(std::string_view(", totals so far\n"));
    b.append(std::string_view(
        "k M G T P E = 10^3 10^6 10^9 10^12 10^15 10^18; times in the server's units\n"));
    if (iv.seconds()) b.append(std::string_view("* = new since the last report: totals so far\n"));
    emit(out, b);
    if (now.disks_read) disks(out, iv, now);
    if (now.sessions_read) sessions(out, iv, now);
    if (now.sockets_read) sockets(out, iv, now);
    out.write("\n");
}

}  // namespace sanperf_tools
