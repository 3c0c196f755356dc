#include "common/render_table.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>
#include <tuple>

#include "common/interval.h"
#include "common/time_text.h"

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

std::optional<double> whole(long long v) { return static_cast<double>(v); }

// Value columns are 7 wide and every cell is at most 6 characters, so they
// always start with a blank.

// The widest a row's name or id gets: ten digits and the mark "*".
constexpr int id_width = 11;

// What every row of one report shares: whether it shows rates, how its
// times read, and which rows it keeps.
class report {
public:
    report(const snapshot* before, const snapshot& now, const ranking& order,
           const table_style& look)
        : iv(before, now), rates(iv.seconds().has_value()), how(order), style(look) {}

    // A duration: in human units when the unit is known, else raw ticks.
    std::string time(std::optional<double> ticks) const {
        if (!style.unit || !ticks) return readable(ticks);
        std::string text = human_duration(ticks, *style.unit);
        if (text.size() <= 6) return text;
        // Past 99999 s: the seconds shortened as other numbers are. A
        // negative time is no duration a server means: its raw number.
        double seconds = *ticks * style.unit->seconds_per_tick;
        return seconds > 0 ? readable(seconds) + "s" : readable(ticks);
    }

    // samples (or samples/s), average, minimum and maximum time of one
    // counter set. A new object in an interval report has neither a rate
    // nor an average for the interval.
    void counters(buffer& b, const counter_view& c, bool totals) const {
        bool known = !(rates && totals);
        std::optional<double> samples = rates ? c.samples_per_second : whole(c.samples);
        fmt::format_to(std::back_inserter(b), "{:>7}{:>7}{:>7}{:>7}",
                       known ? readable(samples) : "-", known ? time(c.avg_time) : "-",
                       time(whole(c.min_time)), time(whole(c.max_time)));
    }

    // The rate (or samples) and average of counter sets added together;
    // none for a new object in an interval report (known false).
    std::pair<std::string, std::string> rate_and_avg(const tally& t, bool known = true) const {
        if (!known) return {"-", "-"};
        std::optional<double> samples =
            rates ? t.samples_per_second : std::optional<double>(static_cast<double>(t.samples));
        return {readable(samples), time(t.avg_time())};
    }

    // The four columns of counters for counter sets added together; they
    // have no minimum.
    void counters(buffer& b, const tally& t) const {
        auto [rate, avg] = rate_and_avg(t);
        fmt::format_to(std::back_inserter(b), "{:>7}{:>7}{:>7}{:>7}", rate, avg, "-", max_of(t));
    }

    std::string max_of(const tally& t) const { return t.max_time ? time(whole(*t.max_time)) : "-"; }

    // A row's name, marked when its numbers are totals inside an interval
    // report.
    std::string mark(std::string name, bool totals) const {
        if (totals && rates) name += '*';
        return name;
    }

    const interval iv;
    const bool rates;
    const ranking& how;
    const table_style& style;
};

// The name of a summary row: all the objects and how many they are.
std::string all_of(const block_summary& s) { return fmt::format("all({})", s.objects); }

void emit(sink& out, buffer& b) {
    out.write(b.data(), b.size());
    b.clear();
}

void disks(sink& out, const report& r, const snapshot& now) {
    std::vector<disk_row> rows = disk_rows(r.iv, now);
    std::vector<disk_summary> parts = per_disk(rows, r.rates);
    ranked_block<disk_row> block = rank(std::move(rows), r.rates, r.how);
    const char* smp = r.rates ? "smp/s" : "smp";
    buffer b;
    // Disk queue names are at most "disk4_7*", 8 characters, and each value
    // column starts with a blank.
    fmt::format_to(std::back_inserter(b), "\n{:<8}{:-^28}  {:-^28}\n", "", " handler ",
                   " processing ");
    fmt::format_to(std::back_inserter(b), "{:<8}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}{:>7}\n",
                   "queue", smp, "avg", "min", "max", smp, "avg", "min", "max", "active");
    auto summary_row = [&](const std::string& name, const block_summary& s) {
        fmt::format_to(std::back_inserter(b), "{:<8}", name);
        r.counters(b, s.streams[0]);
        b.append(std::string_view("  "));
        r.counters(b, s.streams[1]);
        fmt::format_to(std::back_inserter(b), "{:>7}\n", "-");
    };
    summary_row(all_of(block.summary), block.summary);
    for (const auto& part : parts) summary_row(part.disk, part.summary);
    emit(out, b);
    for (const auto& ranked : block.rows) {
        const disk_row& row = ranked.row;
        fmt::format_to(std::back_inserter(b), "{:<8}", r.mark(*row.name, row.totals));
        r.counters(b, row.handler, row.totals);
        b.append(std::string_view("  "));
        r.counters(b, row.processing, row.totals);
        fmt::format_to(std::back_inserter(b), "{:>7}\n", readable(whole(row.max_num_active)));
        emit(out, b);
    }
}

void sessions(sink& out, const report& r, const snapshot& now) {
    ranked_block<session_row> block = rank(session_rows(r.iv, now), r.rates, r.how);
    const char* smp = r.rates ? "smp/s" : "smp";
    buffer b;
    // id (up to 11 characters, then a blank) and lba (up to 10 digits).
    fmt::format_to(std::back_inserter(b), "\n{:<22}{:-^28}  {:-^28}\n", "", " write ", " read ");
    fmt::format_to(std::back_inserter(b),
                   "{:<{}}{:>10}{:>7}{:>7}{:>7}{:>7}  {:>7}{:>7}{:>7}{:>7}\n", "session",
                   id_width + 1, "lba", smp, "avg", "min", "max", smp, "avg", "min", "max");
    fmt::format_to(std::back_inserter(b), "{:<{}}{:>10}", all_of(block.summary), id_width + 1, "-");
    r.counters(b, block.summary.streams[0]);
    b.append(std::string_view("  "));
    r.counters(b, block.summary.streams[1]);
    b.push_back('\n');
    emit(out, b);
    for (const auto& ranked : block.rows) {
        const session_row& row = ranked.row;
        fmt::format_to(std::back_inserter(b), "{:<{}}{:>10}",
                       r.mark(std::to_string(row.id), row.totals), id_width + 1, row.lba);
        r.counters(b, row.write, row.totals);
        b.append(std::string_view("  "));
        r.counters(b, row.read, row.totals);
        b.push_back('\n');
        emit(out, b);
    }
}

// Twelve rows per socket, each carrying the socket's number.
void socket_slots(sink& out, const report& r, const ranked_block<socket_row>& block) {
    buffer b;
    fmt::format_to(std::back_inserter(b), "\n{:<{}}{:<27}{:>7}{:>7}{:>7}\n", "socket", id_width + 1,
                   "slot", r.rates ? "smp/s" : "smp", "avg", "max");
    auto [rate, avg] = r.rate_and_avg(block.summary.all);
    fmt::format_to(std::back_inserter(b), "{:<{}}{:<27}{:>7}{:>7}{:>7}\n", all_of(block.summary),
                   id_width + 1, "all", rate, avg, r.max_of(block.summary.all));
    emit(out, b);
    for (const auto& ranked : block.rows) {
        const socket_row& row = ranked.row;
        std::string name = r.mark(std::to_string(row.number), row.totals);
        bool known = !(r.rates && row.totals);
        for (int i = 0; i < socket_slot_count; ++i) {
            const counter_view& c = row.slots[i];
            std::optional<double> samples = r.rates ? c.samples_per_second : whole(c.samples);
            fmt::format_to(std::back_inserter(b), "{:<{}}{:<27}{:>7}{:>7}{:>7}\n", name,
                           id_width + 1, socket_slot_names[i], known ? readable(samples) : "-",
                           known ? r.time(c.avg_time) : "-", r.time(whole(c.max_time)));
        }
        emit(out, b);
    }
}

// One row per socket: its slots together, then its busiest slot.
void socket_busiest(sink& out, const report& r, const ranked_block<socket_row>& block) {
    const char* smp = r.rates ? "smp/s" : "smp";
    buffer b;
    fmt::format_to(std::back_inserter(b), "\n{:<{}}{:>7}{:>7}  {:<27}{:>7}{:>7}{:>7}\n", "socket",
                   id_width + 1, smp, "avg", "busiest slot", smp, "avg", "max");
    auto [rate, avg] = r.rate_and_avg(block.summary.all);
    fmt::format_to(std::back_inserter(b), "{:<{}}{:>7}{:>7}  {:<27}{:>7}{:>7}{:>7}\n",
                   all_of(block.summary), id_width + 1, rate, avg, "-", "-", "-",
                   r.max_of(block.summary.all));
    emit(out, b);
    for (const auto& ranked : block.rows) {
        const socket_row& row = ranked.row;
        bool known = ranked.figures.counted;
        auto [socket_rate, socket_avg] = r.rate_and_avg(ranked.figures.all, known);
        std::string slot_name = "-", slot_rate = "-", slot_avg = "-", slot_max = "-";
        // Without samples (or none known, for a new socket) no slot is the
        // busiest.
        if (known && ranked.figures.all.samples > 0) {
            int slot = busiest_slot(row, r.rates);
            tally busiest;
            busiest.add(row.slots[slot], known);
            std::tie(slot_rate, slot_avg) = r.rate_and_avg(busiest, known);
            slot_name = socket_slot_names[slot];
            slot_max = r.time(whole(row.slots[slot].max_time));
        }
        fmt::format_to(std::back_inserter(b), "{:<{}}{:>7}{:>7}  {:<27}{:>7}{:>7}{:>7}\n",
                       r.mark(std::to_string(row.number), row.totals), id_width + 1, socket_rate,
                       socket_avg, slot_name, slot_rate, slot_avg, slot_max);
        emit(out, b);
    }
}

void sockets(sink& out, const report& r, const snapshot& now) {
    ranked_block<socket_row> block = rank(socket_rows(r.iv, now), r.rates, r.how);
    if (r.style.sockets == socket_layout::busiest)
        socket_busiest(out, r, block);
    else
        socket_slots(out, r, block);
}

// The lines that say which rows are kept and how they are ordered, within
// 80 columns, broken between its parts; empty when all are, in listing
// order.
std::string ranking_line(const report& r) {
    std::string text, line;
    auto add = [&](const std::string& part) {
        if (!line.empty() && line.size() + 2 + part.size() > 80) {
            text += line + ";\n";
            line.clear();
        }
        line += (line.empty() ? "" : "; ") + part;
    };
    if (std::optional<sort_key> key = r.how.order_key())
        add(fmt::format("sorted by {}, highest first", sort_key_name(*key)));
    if (r.how.top) add(fmt::format("the first {} of each block", *r.how.top));
    if (r.how.active_only) add("only objects with samples");
    if (r.how.min_avg) add("only objects averaging at least " + r.time(*r.how.min_avg));
    return line.empty() ? line : text + line + "\n";
}

}  // namespace

void render_table(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                  const table_style& style, sink& out) {
    report r(before, now, how, style);
    buffer b;
    if (now.archived && r.rates)
        fmt::format_to(std::back_inserter(b),
                       "report {} from the archive, {} to {}, samples per second over {:.2f} s\n",
                       sequence, local_time_text(std::int64_t{before->wall} * 1000),
                       local_time_text(std::int64_t{now.wall} * 1000), *r.iv.seconds());
    else if (now.archived)
        fmt::format_to(std::back_inserter(b), "report {} from the archive at {}, totals so far\n",
                       sequence, local_time_text(std::int64_t{now.wall} * 1000));
    else if (r.rates)
        fmt::format_to(std::back_inserter(b),
                       "report {} at {:%Y-%m-%d %H:%M:%S}, samples per second over the last "
                       "{:.2f} s\n",
                       sequence, fmt::localtime(now.wall), *r.iv.seconds());
    else
        fmt::format_to(std::back_inserter(b), "report {} at {:%Y-%m-%d %H:%M:%S}, totals so far\n",
                       sequence, fmt::localtime(now.wall));
    b.append(std::string_view("k M G T P E = 10^3 10^6 10^9 10^12 10^15 10^18\n"));
    if (style.unit)
        fmt::format_to(std::back_inserter(b),
                       "times: the tree counts in {}, shown as ns, us, ms, s\n", style.unit->name);
    else
        fmt::format_to(std::back_inserter(b),
                       "times in the server's unknown unit: set --time-unit or {}\n",
                       time_unit_variable);
    if (r.rates) b.append(std::string_view("* = new since the last report: no rate yet\n"));
    b.append(ranking_line(r));
    emit(out, b);
    if (now.disks_read) disks(out, r, now);
    if (now.sessions_read) sessions(out, r, now);
    if (now.sockets_read) sockets(out, r, now);
    out.write("\n");
}

void render_table_absent(int sequence, std::time_t wall, const std::string& where, sink& out) {
    out.write(
        fmt::format("report {} at {:%Y-%m-%d %H:%M:%S}: no statistics: {} holds none of "
                    "disk_queue/, session/, sock/\n",
                    sequence, fmt::localtime(wall), where));
}

}  // namespace sanperf_tools
