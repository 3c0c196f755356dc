#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>

#include "render.h"

namespace sanstat {

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

std::optional<double> whole(long long v) {
    return static_cast<double>(v);
}

// samples (or samples/s), average, minimum and maximum time: 4 columns of 7.
std::string counter_columns(const counter_view& c, bool rates) {
    std::optional<double> samples = rates ? c.samples_per_second : whole(c.samples);
    return fmt::format("{:>7}{:>7}{:>7}{:>7}", readable(samples), readable(c.avg_time),
                       readable(whole(c.min_time)), readable(whole(c.max_time)));
}

// A row's name, marked when its numbers are totals inside an interval report.
std::string mark(const std::string& name, bool totals, bool interval) {
    return totals && interval ? name + "*" : name;
}

void disks(std::string& out, const report& r, bool interval) {
    const char* smp = interval ? "smp/s" : "smp";
    out += fmt::format("\n{:<8}{:-^28}  {:-^28}\n", "", " handler ", " processing ");
    out += fmt::format("{:<8}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}{:>7}\n", "queue", smp,
                       "avg", "min", "max", smp, "avg", "min", "max", "active");
    for (const auto& d : r.disks) {
        bool rates = interval && !d.totals;
        out += fmt::format("{:<8}{}  {}{:>7}\n", mark(d.name, d.totals, interval),
                           counter_columns(d.handler, rates), counter_columns(d.processing, rates),
                           readable(whole(d.max_num_active)));
    }
}

void sessions(std::string& out, const report& r, bool interval) {
    const char* smp = interval ? "smp/s" : "smp";
    out += fmt::format("\n{:<21}{:-^28}  {:-^28}\n", "", " write ", " read ");
    out += fmt::format("{:<11}{:>10}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}\n", "session", "lba",
                       smp, "avg", "min", "max", smp, "avg", "min", "max");
    if (r.sessions.empty()) out += "(none)\n";
    for (const auto& s : r.sessions) {
        bool rates = interval && !s.totals;
        out += fmt::format("{:<11}{:>10}{}  {}\n", mark(std::to_string(s.id), s.totals, interval),
                           s.lba, counter_columns(s.write, rates),
                           counter_columns(s.read, rates));
    }
}

void sockets(std::string& out, const report& r, bool interval) {
    out += fmt::format("\n{:<8}{:<27}{:>7}{:>7}{:>7}\n", "socket", "slot",
                       interval ? "smp/s" : "smp", "avg", "max");
    if (r.sockets.empty()) out += "(none)\n";
    for (const auto& s : r.sockets) {
        bool rates = interval && !s.totals;
        std::string name = mark(std::to_string(s.number), s.totals, interval);
        for (int i = 0; i < 12; ++i) {
            const counter_view& c = s.slots[i];
            out += fmt::format("{:<8}{:<27}{:>7}{:>7}{:>7}\n", i == 0 ? name : "",
                               socket_slot_names[i],
                               readable(rates ? c.samples_per_second : whole(c.samples)),
                               readable(c.avg_time), readable(whole(c.max_time)));
        }
    }
}

}  // namespace

std::string render_table(const report& r) {
    bool interval = r.seconds.has_value();
    std::string out = fmt::format("report {} at {:%Y-%m-%d %H:%M:%S}", r.sequence,
                                  fmt::localtime(r.wall));
    if (interval)
        out += fmt::format(", samples per second over the last {:.2f} s\n", *r.seconds);
    else
        out += ", totals so far\n";
    out += "k M G T P E = 10^3 10^6 10^9 10^12 10^15 10^18; times in the server's units\n";
    if (interval) out += "* = new since the last report: totals so far\n";
    if (r.disks_shown) disks(out, r, interval);
    if (r.sessions_shown) sessions(out, r, interval);
    if (r.sockets_shown) sockets(out, r, interval);
    out += "\n";
    return out;
}

}  // namespace sanstat
