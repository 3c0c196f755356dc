// The report for programs: one compact JSON document per report, on one
// line (JSON Lines).
#pragma once

#include "sink.h"
#include "snapshot.h"

namespace sanperf_tools {

// Writes report number sequence of now as one JSON document ending in a
// newline, record by record. Without before, the numbers are the totals
// read; with it, each counter set also carries its rate and average over
// the interval. Whole numbers are written exactly; a missing rate or
// average is null.
void render_json(const snapshot& now, const snapshot* before, int sequence, sink& out);

}  // namespace sanperf_tools
