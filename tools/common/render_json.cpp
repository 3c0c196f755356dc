#include "render_json.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>

#include "interval.h"

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
    fmt::format_to(out, "\"{0}samples\":{1},\"{0}total_time\":{2},\"{0}min_time\":{3},"
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

void disks(sink& out, const interval& iv, const snapshot& now) {
    array(out, "disk_queues", now.disks, [&iv](buffer& b, const disk_queue_info& d) {
        disk_row row = iv.disk(d);
        // Queue names are the library's "disk<d>_<q>": nothing to escape.
        fmt::format_to(std::back_inserter(b), "\"name\":\"{}\",\"totals\":{},", *row.name,
                       row.totals);
        put_counters(b, "handler_", row.handler, true);
        b.push_back(',');
        put_counters(b, "processing_", row.processing, true);
        fmt::format_to(std::back_inserter(b), ",\"max_num_active\":{}", row.max_num_active);
    });
}

void sessions(sink& out, const interval& iv, const snapshot& now) {
    array(out, "sessions", now.sessions, [&iv](buffer& b, const session_info& s) {
        session_row row = iv.session(s);
        fmt::format_to(std::back_inserter(b), "\"id\":{},\"lba\":{},\"totals\":{},", row.id,
                       row.lba, row.totals);
        put_counters(b, "write_", row.write, false);
        b.push_back(',');
        put_counters(b, "read_", row.read, false);
    });
}

void sockets(sink& out, const interval& iv, const snapshot& now) {
    array(out, "sockets", now.sockets, [&iv](buffer& b, const sock_info& s) {
        socket_row row = iv.socket(s);
        fmt::format_to(std::back_inserter(b), "\"number\":{},\"totals\":{}", row.number,
                       row.totals);
        for (int i = 0; i < socket_slot_count; ++i) {
            fmt::format_to(std::back_inserter(b), ",\"{}\":{{", socket_slot_names[i]);
            put_counters(b, "", row.slots[i], false);
            b.push_back('}');
        }
    });
}

}  // namespace

void render_json(const snapshot& now, const snapshot* before, int sequence, sink& out) {
    interval iv(before, now);
    buffer b;
    fmt::format_to(std::back_inserter(b), "{{\"report\":{},\"time\":\"{:%Y-%m-%dT%H:%M:%SZ}\","
                                          "\"interval\":",
                   sequence, fmt::gmtime(now.wall));
    put_number(b, iv.seconds());
    emit(out, b);
    if (now.disks_read) disks(out, iv, now);
    if (now.sessions_read) sessions(out, iv, now);
    if (now.sockets_read) sockets(out, iv, now);
    out.write("}\n");
}

}  // namespace sanperf_tools
