// The report for spreadsheets and data frames: comma-separated values
// (RFC 4180), one row per object and stream, every row carrying its time.
#pragma once

#include "common/ranking.h"
#include "common/sink.h"
#include "common/snapshot.h"

namespace sanperf_tools {

// The header row: the column names, once at the top of the output.
void render_csv_header(sink& out);

// The rows of report number sequence of now: for every object how keeps,
// in its order, one row per stream (a disk queue's stages, a session's
// directions, a socket's slots). Without before, the numbers are the
// totals read; with it, the increases and rates over the interval. A field
// without a value (a rate of a new object, an average without samples, a
// column another block has) is empty.
void render_csv(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                sink& out);

}  // namespace sanperf_tools
