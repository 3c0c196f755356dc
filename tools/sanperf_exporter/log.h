// The daemon's log: one line per event on standard error. No line per
// request; starting, stopping and failures only.
#pragma once

#include <string_view>

namespace sanperf_exporter {

// Writes "sanperf_exporter: TEXT\n" in one write(2), so lines from several
// threads never interleave.
void log_line(std::string_view text);

}  // namespace sanperf_exporter
