// The report for people: a header per block, numbers right-aligned, large
// numbers shortened with k, M, G, T, P, E suffixes (powers of 1000).
#pragma once

#include <optional>
#include <string>

#include "sink.h"
#include "snapshot.h"

namespace sanperf_tools {

// Writes report number sequence of now, row by row. Without before, the
// numbers are the totals read; with it, rates over the interval since.
// Columns are wide enough for the longest ids and numbers: neighbours never
// touch.
void render_table(const snapshot& now, const snapshot* before, int sequence, sink& out);

// A number in at most 5 characters (6 with a minus sign): whole below 100000
// (one decimal below 100 when not whole), else shortened with a suffix
// ("12.3k", "456M"). None reads as "-".
std::string readable(std::optional<double> value);

}  // namespace sanperf_tools
