// The report for programs: one compact JSON document per report, on one
// line (JSON Lines).
#pragma once

#include <ctime>
#include <optional>

#include "common/ranking.h"
#include "common/sink.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanperf_tools {

// Writes report number sequence of now as one JSON document ending in a
// newline, record by record. Without before, the numbers are the totals
// read; with it, each counter set also carries its rate and average over
// the interval. Whole numbers are written exactly; a missing rate or
// average is null. Each block keeps the records how keeps, in its order;
// "summary" holds what each block adds up to over all its records, and
// "time_unit" the unit of every time (null when not known).
void render_json(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                 const std::optional<time_unit>& unit, sink& out);

// The document that stands for a report when the tree is not there:
// "tree_found" false and no records.
void render_json_absent(int sequence, std::time_t wall, sink& out);

}  // namespace sanperf_tools
