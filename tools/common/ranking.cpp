#include "common/ranking.h"

#include <algorithm>

namespace sanperf_tools {

const char* const sort_key_names[5] = {"rate", "avg", "max", "samples", "time"};

std::optional<sort_key> parse_sort_key(const std::string& name) {
    for (int i = 0; i < 5; ++i)
        if (name == sort_key_names[i]) return static_cast<sort_key>(i);
    return std::nullopt;
}

const char* sort_key_name(sort_key key) { return sort_key_names[static_cast<int>(key)]; }

std::optional<sort_key> ranking::order_key() const {
    if (sort) return sort;
    if (top) return sort_key::rate;
    return std::nullopt;
}

void tally::add(const counter_view& c, bool counted) {
    if (!max_time || c.max_time > *max_time) max_time = c.max_time;
    if (!counted) return;
    samples += c.samples;
    total_time += c.total_time;
    if (c.samples_per_second)
        samples_per_second = samples_per_second.value_or(0) + *c.samples_per_second;
}

std::optional<double> tally::avg_time() const {
    if (samples <= 0) return std::nullopt;
    return static_cast<double>(total_time / samples);
}

namespace {

// The counter sets of a row, in the order its block shows them.
std::vector<const counter_view*> streams(const disk_row& row) {
    return {&row.handler, &row.processing};
}
std::vector<const counter_view*> streams(const session_row& row) { return {&row.write, &row.read}; }
std::vector<const counter_view*> streams(const socket_row& row) {
    std::vector<const counter_view*> out;
    for (const auto& slot : row.slots) out.push_back(&slot);
    return out;
}

// A new object's numbers in an interval report are totals, not the
// interval's; in a report of totals every row's are.
bool counted(bool totals, bool interval_report) { return !totals || !interval_report; }

template <typename Row>
object_figures figures_of(const Row& row, bool interval_report) {
    object_figures f;
    f.counted = counted(row.totals, interval_report);
    for (const counter_view* c : streams(row)) f.all.add(*c, f.counted);
    return f;
}

// A summary of no object yet, with a tally for each stream of Row.
template <typename Row>
block_summary empty_summary() {
    block_summary s;
    s.streams.resize(streams(Row{}).size());
    return s;
}

// Adds an object's counter sets to s.
template <typename Row>
void add_to(block_summary& s, const Row& row, bool interval_report) {
    bool c = counted(row.totals, interval_report);
    std::vector<const counter_view*> sets = streams(row);
    for (std::size_t i = 0; i < sets.size(); ++i) {
        s.streams[i].add(*sets[i], c);
        s.all.add(*sets[i], c);
    }
    ++s.objects;
}

bool passes(const object_figures& f, const ranking& how) {
    if (how.active_only && f.all.samples <= 0) return false;
    if (how.min_avg) {
        std::optional<double> avg = f.counted ? f.all.avg_time() : std::nullopt;
        if (!avg || *avg < *how.min_avg) return false;
    }
    return true;
}

// Higher values first; a value before none; otherwise equal.
bool ranks_before(const std::optional<double>& a, const std::optional<double>& b) {
    if (!a) return false;
    if (!b) return true;
    return *a > *b;
}

template <typename Row>
ranked_block<Row> rank_rows(std::vector<Row> rows, bool interval_report, const ranking& how) {
    ranked_block<Row> out;
    out.summary = empty_summary<Row>();
    for (Row& row : rows) {
        add_to(out.summary, row, interval_report);
        object_figures f = figures_of(row, interval_report);
        if (passes(f, how)) out.rows.push_back({std::move(row), f});
    }
    if (std::optional<sort_key> key = how.order_key()) {
        std::stable_sort(out.rows.begin(), out.rows.end(),
                         [&](const ranked_row<Row>& a, const ranked_row<Row>& b) {
                             return ranks_before(rank_value(a.figures, *key, interval_report),
                                                 rank_value(b.figures, *key, interval_report));
                         });
    }
    if (how.top && out.rows.size() > *how.top) out.rows.resize(*how.top);
    return out;
}

}  // namespace

std::optional<double> rank_value(const object_figures& f, sort_key key, bool interval_report) {
    if (key == sort_key::max) {
        if (!f.all.max_time) return std::nullopt;
        return static_cast<double>(*f.all.max_time);
    }
    if (!f.counted) return std::nullopt;
    switch (key) {
        case sort_key::rate:
            if (interval_report) return f.all.samples_per_second;
            return static_cast<double>(f.all.samples);
        case sort_key::avg:
            return f.all.avg_time();
        case sort_key::samples:
            return static_cast<double>(f.all.samples);
        case sort_key::time:
            return static_cast<double>(f.all.total_time);
        case sort_key::max:
            break;
    }
    return std::nullopt;
}

ranked_block<disk_row> rank(std::vector<disk_row> rows, bool interval_report, const ranking& how) {
    return rank_rows(std::move(rows), interval_report, how);
}
ranked_block<session_row> rank(std::vector<session_row> rows, bool interval_report,
                               const ranking& how) {
    return rank_rows(std::move(rows), interval_report, how);
}
ranked_block<socket_row> rank(std::vector<socket_row> rows, bool interval_report,
                              const ranking& how) {
    return rank_rows(std::move(rows), interval_report, how);
}

std::vector<disk_row> disk_rows(const interval& iv, const snapshot& now) {
    std::vector<disk_row> rows;
    rows.reserve(now.disks.size());
    for (const auto& d : now.disks) rows.push_back(iv.disk(d));
    return rows;
}
std::vector<session_row> session_rows(const interval& iv, const snapshot& now) {
    std::vector<session_row> rows;
    rows.reserve(now.sessions.size());
    for (const auto& s : now.sessions) rows.push_back(iv.session(s));
    return rows;
}
std::vector<socket_row> socket_rows(const interval& iv, const snapshot& now) {
    std::vector<socket_row> rows;
    rows.reserve(now.sockets.size());
    for (const auto& s : now.sockets) rows.push_back(iv.socket(s));
    return rows;
}

std::vector<disk_summary> per_disk(const std::vector<disk_row>& rows, bool interval_report) {
    std::vector<disk_summary> out;
    for (const disk_row& row : rows) {
        // "disk<d>_<q>": the disk is the name up to the underscore.
        std::string disk = row.name->substr(0, row.name->find('_'));
        auto found = std::find_if(out.begin(), out.end(),
                                  [&](const disk_summary& s) { return s.disk == disk; });
        if (found == out.end())
            found = out.insert(out.end(), disk_summary{disk, empty_summary<disk_row>()});
        add_to(found->summary, row, interval_report);
    }
    return out;
}

int busiest_slot(const socket_row& row, bool interval_report) {
    int best = 0;
    std::optional<double> best_value;
    for (int i = 0; i < socket_slot_count; ++i) {
        object_figures slot;
        slot.counted = counted(row.totals, interval_report);
        slot.all.add(row.slots[i], slot.counted);
        std::optional<double> value = rank_value(slot, sort_key::rate, interval_report);
        if (ranks_before(value, best_value)) {
            best = i;
            best_value = value;
        }
    }
    return best;
}

}  // namespace sanperf_tools
