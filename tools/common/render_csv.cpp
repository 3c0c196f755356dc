#include "common/render_csv.h"

#include <fmt/format.h>

#include <cmath>

#include "common/interval.h"
#include "common/time_text.h"

namespace sanperf_tools {

namespace {

using buffer = fmt::memory_buffer;

// Fields are numbers and names without commas, quotes or line breaks but
// the time, which is quoted as RFC 4180 says whenever it holds any of them.
void put_text(buffer& b, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        b.append(text);
        return;
    }
    b.push_back('"');
    for (char c : text) {
        if (c == '"') b.push_back('"');
        b.push_back(c);
    }
    b.push_back('"');
}

void put_optional(buffer& b, const std::optional<double>& v) {
    b.push_back(',');
    if (v && std::isfinite(*v)) fmt::format_to(std::back_inserter(b), "{}", *v);
}

struct row_start {
    std::string time;
    int sequence;
    std::optional<double> seconds;
};

// One row: where it belongs, the counter set, then the block's own columns
// (empty elsewhere). Lines end in CR LF, as RFC 4180 has them.
void put_row(buffer& b, const row_start& start, std::string_view block, std::string_view object,
             std::string_view stream, bool totals, const counter_view& c, bool counts,
             std::optional<unsigned> active, std::optional<unsigned> lba) {
    put_text(b, start.time);
    fmt::format_to(std::back_inserter(b), ",{}", start.sequence);
    put_optional(b, start.seconds);
    fmt::format_to(std::back_inserter(b), ",{},{},{},{},{},{}", block, object, stream,
                   totals ? 1 : 0, c.samples, c.total_time);
    put_optional(b, c.samples_per_second);
    put_optional(b, c.avg_time);
    fmt::format_to(std::back_inserter(b), ",{},{}", c.min_time, c.max_time);
    if (counts)
        fmt::format_to(std::back_inserter(b), ",{},{},{}", c.total_count, c.min_count, c.max_count);
    else
        b.append(std::string_view(",,,"));
    b.push_back(',');
    if (active) fmt::format_to(std::back_inserter(b), "{}", *active);
    b.push_back(',');
    if (lba) fmt::format_to(std::back_inserter(b), "{}", *lba);
    b.append(std::string_view("\r\n"));
}

void emit(sink& out, buffer& b) {
    out.write(b.data(), b.size());
    b.clear();
}

}  // namespace

void render_csv_header(sink& out) {
    out.write(
        "time,report,interval,block,object,stream,new,samples,total_time,samples_per_second,"
        "avg_time,min_time,max_time,total_count,min_count,max_count,max_num_active,lba\r\n");
}

void render_csv(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                sink& out) {
    interval iv(before, now);
    const bool rates = iv.seconds().has_value();
    std::int64_t ms = std::int64_t{now.wall} * 1000;
    row_start start{iso_local_time(ms), sequence, iv.seconds()};
    buffer b;
    if (now.disks_read) {
        for (const auto& ranked : rank(disk_rows(iv, now), rates, how).rows) {
            const disk_row& r = ranked.row;
            put_row(b, start, "disk_queue", *r.name, "handler", r.totals, r.handler, true,
                    r.max_num_active, std::nullopt);
            put_row(b, start, "disk_queue", *r.name, "processing", r.totals, r.processing, true,
                    r.max_num_active, std::nullopt);
            emit(out, b);
        }
    }
    if (now.sessions_read) {
        for (const auto& ranked : rank(session_rows(iv, now), rates, how).rows) {
            const session_row& r = ranked.row;
            std::string id = std::to_string(r.id);
            put_row(b, start, "session", id, "write", r.totals, r.write, false, std::nullopt,
                    r.lba);
            put_row(b, start, "session", id, "read", r.totals, r.read, false, std::nullopt, r.lba);
            emit(out, b);
        }
    }
    if (now.sockets_read) {
        for (const auto& ranked : rank(socket_rows(iv, now), rates, how).rows) {
            const socket_row& r = ranked.row;
            std::string number = std::to_string(r.number);
            for (int i = 0; i < socket_slot_count; ++i)
                put_row(b, start, "socket", number, socket_slot_names[i], r.totals, r.slots[i],
                        false, std::nullopt, std::nullopt);
            emit(out, b);
        }
    }
}

}  // namespace sanperf_tools
