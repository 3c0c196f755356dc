#include "common/render_json.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>

#include "common/interval.h"
#include "common/time_text.h"

namespace sanperf_tools {

namespace {

using buffer = fmt::memory_buffer;

// A JSON number that reads back as the same double; a whole one keeps a
// ".0" so it stays a floating-point number to the reader. JSON has no
// infinity or NaN: those are null.
void put_number(buffer& b, const std::optional<double>& v) {
    if (!v || !std::isfinite(*v)) {
        b.append(std::string_view("null"));
        return;
    }
    std::size_t start = b.size();
    fmt::format_to(std::back_inserter(b), "{}", *v);
    std::string_view text(b.data() + start, b.size() - start);
    if (text.find_first_of(".e") == std::string_view::npos) b.append(std::string_view(".0"));
}

// The counter set's fields, named with prefix ("write_"...), each followed
// by a comma but the last.
void put_counters(buffer& b, std::string_view prefix, const counter_view& c, bool counts) {
    auto out = std::back_inserter(b);
    fmt::format_to(out,
                   "\"{0}samples\":{1},\"{0}total_time\":{2},\"{0}min_time\":{3},"
                   "\"{0}max_time\":{4},",
                   prefix, c.samples, c.total_time, c.min_time, c.max_time);
    if (counts) {
        fmt::format_to(out, "\"{0}total_count\":{1},\"{0}min_count\":{2},\"{0}max_count\":{3},",
                       prefix, c.total_count, c.min_count, c.max_count);
    }
    fmt::format_to(out, "\"{}samples_per_second\":", prefix);
    put_number(b, c.samples_per_second);
    fmt::format_to(out, ",\"{}avg_time\":", prefix);
    put_number(b, c.avg_time);
}

void emit(sink& out, buffer& b) {
    out.write(b.data(), b.size());
    b.clear();
}

// The member key of the report: an array of one object per record, whose
// members put writes. Each object is handed to out as soon as it is whole.
template <typename Records, typename Put>
void array(sink& out, std::string_view key, const Records& records, Put put) {
    buffer b;
    fmt::format_to(std::back_inserter(b), ",\"{}\":[", key);
    bool first = true;
    for (const auto& record : records) {
        if (!first) b.push_back(',');
        first = false;
        b.push_back('{');
        put(b, record);
        b.push_back('}');
        emit(out, b);
    }
    b.push_back(']');
    emit(out, b);
}

// The members of counter sets added together, each followed by a comma
// but the last.
void put_tally(buffer& b, const tally& t) {
    fmt::format_to(std::back_inserter(b),
                   "\"samples\":{:.0f},\"total_time\":{:.0f},"
                   "\"samples_per_second\":",
                   t.samples, t.total_time);
    put_number(b, t.samples_per_second);
    b.append(std::string_view(",\"avg_time\":"));
    put_number(b, t.avg_time());
    b.append(std::string_view(",\"max_time\":"));
    if (t.max_time)
        fmt::format_to(std::back_inserter(b), "{}", *t.max_time);
    else
        b.append(std::string_view("null"));
}

// A block's summary: its objects and every stream of them together, then
// each stream, named by names.
void put_summary(buffer& b, const block_summary& s, const char* const* names) {
    fmt::format_to(std::back_inserter(b), "\"objects\":{},", s.objects);
    put_tally(b, s.all);
    for (std::size_t i = 0; i < s.streams.size(); ++i) {
        fmt::format_to(std::back_inserter(b), ",\"{}\":{{", names[i]);
        put_tally(b, s.streams[i]);
        b.push_back('}');
    }
}

const char* const disk_streams[] = {"handler", "processing"};
const char* const session_streams[] = {"write", "read"};

// The blocks' summaries, written after their records.
struct summaries {
    buffer text;
    void add(std::string_view block, const block_summary& s, const char* const* names) {
        text.push_back(text.size() == 0 ? '{' : ',');
        fmt::format_to(std::back_inserter(text), "\"{}\":{{", block);
        put_summary(text, s, names);
    }
};

void disks(sink& out, const interval& iv, const snapshot& now, const ranking& how,
           summaries& sums) {
    bool rates = iv.seconds().has_value();
    std::vector<disk_row> rows = disk_rows(iv, now);
    std::vector<disk_summary> parts = per_disk(rows, rates);
    ranked_block<disk_row> block = rank(std::move(rows), rates, how);
    array(out, "disk_queues", block.rows, [](buffer& b, const ranked_row<disk_row>& ranked) {
        const disk_row& row = ranked.row;
        // Queue names are the library's "disk<d>_<q>": nothing to escape.
        fmt::format_to(std::back_inserter(b), "\"name\":\"{}\",\"totals\":{},", *row.name,
                       row.totals);
        put_counters(b, "handler_", row.handler, true);
        b.push_back(',');
        put_counters(b, "processing_", row.processing, true);
        fmt::format_to(std::back_inserter(b), ",\"max_num_active\":{}", row.max_num_active);
    });
    sums.add("disk_queues", block.summary, disk_streams);
    sums.text.append(std::string_view(",\"disks\":["));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        fmt::format_to(std::back_inserter(sums.text), "{}{{\"disk\":\"{}\",", i ? "," : "",
                       parts[i].disk);
        put_summary(sums.text, parts[i].summary, disk_streams);
        sums.text.push_back('}');
    }
    sums.text.append(std::string_view("]}"));
}

void sessions(sink& out, const interval& iv, const snapshot& now, const ranking& how,
              summaries& sums) {
    ranked_block<session_row> block = rank(session_rows(iv, now), iv.seconds().has_value(), how);
    array(out, "sessions", block.rows, [](buffer& b, const ranked_row<session_row>& ranked) {
        const session_row& row = ranked.row;
        fmt::format_to(std::back_inserter(b), "\"id\":{},\"lba\":{},\"totals\":{},", row.id,
                       row.lba, row.totals);
        put_counters(b, "write_", row.write, false);
        b.push_back(',');
        put_counters(b, "read_", row.read, false);
    });
    sums.add("sessions", block.summary, session_streams);
    sums.text.push_back('}');
}

void sockets(sink& out, const interval& iv, const snapshot& now, const ranking& how,
             summaries& sums) {
    ranked_block<socket_row> block = rank(socket_rows(iv, now), iv.seconds().has_value(), how);
    array(out, "sockets", block.rows, [](buffer& b, const ranked_row<socket_row>& ranked) {
        const socket_row& row = ranked.row;
        fmt::format_to(std::back_inserter(b), "\"number\":{},\"totals\":{}", row.number,
                       row.totals);
        for (int i = 0; i < socket_slot_count; ++i) {
            fmt::format_to(std::back_inserter(b), ",\"{}\":{{", socket_slot_names[i]);
            put_counters(b, "", row.slots[i], false);
            b.push_back('}');
        }
    });
    sums.add("sockets", block.summary, socket_slot_names);
    sums.text.push_back('}');
}

void header(buffer& b, int sequence, std::time_t wall) {
    fmt::format_to(std::back_inserter(b),
                   "{{\"report\":{},\"time\":\"{:%Y-%m-%dT%H:%M:%SZ}\","
                   "\"interval\":",
                   sequence, fmt::gmtime(wall));
}

}  // namespace

void render_json(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                 const std::optional<time_unit>& unit, sink& out) {
    interval iv(before, now);
    buffer b;
    header(b, sequence, now.wall);
    put_number(b, iv.seconds());
    // From an archive: the moments the report spans, in local time.
    if (now.archived && before != nullptr)
        fmt::format_to(std::back_inserter(b), ",\"begin\":\"{}\"",
                       iso_local_time(std::int64_t{before->wall} * 1000));
    if (now.archived)
        fmt::format_to(std::back_inserter(b), ",\"end\":\"{}\"",
                       iso_local_time(std::int64_t{now.wall} * 1000));
    if (unit)
        fmt::format_to(std::back_inserter(b), ",\"time_unit\":\"{}\"", unit->name);
    else
        b.append(std::string_view(",\"time_unit\":null"));
    emit(out, b);
    summaries sums;
    if (now.disks_read) disks(out, iv, now, how, sums);
    if (now.sessions_read) sessions(out, iv, now, how, sums);
    if (now.sockets_read) sockets(out, iv, now, how, sums);
    if (sums.text.size() == 0) sums.text.push_back('{');
    sums.text.push_back('}');
    out.write(",\"summary\":");
    emit(out, sums.text);
    out.write("}\n");
}

void render_json_absent(int sequence, std::time_t wall, sink& out) {
    buffer b;
    header(b, sequence, wall);
    b.append(std::string_view("null,\"tree_found\":false}\n"));
    emit(out, b);
}

}  // namespace sanperf_tools
