#include "sanstat/report_output.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <unistd.h>

#include "common/atomic_file.h"
#include "common/render_csv.h"
#include "common/render_json.h"
#include "common/render_prometheus.h"
#include "common/render_table.h"
#include "common/time_text.h"

namespace sanstat {

namespace tools = sanperf_tools;

template <typename Render>
void report_output::write(Render render) {
    if (!opt_.write_file.empty()) {
        // Each file stands alone: a CSV one starts with its header.
        tools::replace_file(opt_.write_file, [&](tools::sink& out) {
            if (opt_.output == format::csv) tools::render_csv_header(out);
            render(out);
        });
        return;
    }
    tools::fd_sink out(STDOUT_FILENO, "to standard output");
    if (opt_.output == format::csv && !csv_header_written_) {
        tools::render_csv_header(out);
        csv_header_written_ = true;
    }
    render(out);
    out.flush();
}

void report_output::report(const tools::snapshot& now, const tools::snapshot* before,
                           int sequence) {
    write([&](tools::sink& out) {
        switch (opt_.output) {
            case format::json:
                return tools::render_json(now, before, sequence, opt_.rank, opt_.style.unit, out);
            case format::prometheus:
                // With the unit, a textfile collector's scrape gets latency too.
                tools::render_prometheus(now, out);
                if (opt_.style.unit) tools::render_prometheus_time_unit(*opt_.style.unit, out);
                return;
            case format::csv:
                return tools::render_csv(now, before, sequence, opt_.rank, out);
            case format::table:
                break;
        }
        tools::render_table(now, before, sequence, opt_.rank, opt_.style, out);
    });
}

void report_output::absent(const tools::snapshot& now, const std::string& where, int sequence) {
    // CSV and Prometheus have no rows for it; their readers see no sample.
    if (opt_.output == format::prometheus || opt_.output == format::csv) return;
    write([&](tools::sink& out) {
        if (opt_.output == format::json) return tools::render_json_absent(sequence, now.wall, out);
        tools::render_table_absent(sequence, now.wall, where, out);
    });
}

void report_output::gap(int sequence, std::int64_t from_ms, std::int64_t to_ms,
                        const std::string& why) {
    if (opt_.output == format::prometheus || opt_.output == format::csv) return;
    write([&](tools::sink& out) {
        if (opt_.output == format::json) {
            // The reason is one of a few fixed phrases: nothing to escape.
            out.write(
                fmt::format("{{\"report\":{},\"time\":\"{:%Y-%m-%dT%H:%M:%SZ}\",\"interval\":null,"
                            "\"gap\":{{\"begin\":\"{}\",\"end\":\"{}\",\"reason\":\"{}\"}}}}\n",
                            sequence, fmt::gmtime(static_cast<std::time_t>(to_ms / 1000)),
                            tools::iso_local_time(from_ms), tools::iso_local_time(to_ms), why));
            return;
        }
        out.write(fmt::format("report {}: no sampling from {} to {}: {}\n", sequence,
                              tools::local_time_text(from_ms), tools::local_time_text(to_ms), why));
    });
}

}  // namespace sanstat
