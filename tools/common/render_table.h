// The report for people: a header per block, numbers right-aligned, large
// numbers shortened with k, M, G, T, P, E suffixes (powers of 1000), times
// in human units when the tree's unit is known.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "common/ranking.h"
#include "common/sink.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanperf_tools {

// How the socket block is laid out: twelve rows per socket, one per slot,
// or one row per socket with its totals and its busiest slot.
enum class socket_layout { slots, busiest };

struct table_style {
    std::optional<time_unit> unit;  // none: raw ticks, and the header says so
    socket_layout sockets = socket_layout::slots;
};

// Writes report number sequence of now, row by row. Without before, the
// numbers are the totals read; with it, rates over the interval since.
// Each block starts with its summary (and the disk block with one row per
// disk), then the rows how keeps, in its order. Columns are wide enough for
// the longest ids and numbers: neighbours never touch.
void render_table(const snapshot& now, const snapshot* before, int sequence, const ranking& how,
                  const table_style& style, sink& out);

// The one line that stands for a report when the tree is not there: no
// rows, never zeros for a server that is not running.
void render_table_absent(int sequence, std::time_t wall, const std::string& where, sink& out);

// A number in at most 5 characters (6 with a minus sign): whole below 100000
// (one decimal below 100 when not whole), else shortened with a suffix
// ("12.3k", "456M"). None reads as "-".
std::string readable(std::optional<double> value);

}  // namespace sanperf_tools
