// sanstat's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/ranking.h"
#include "common/render_table.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanstat {

enum class format { table, json, prometheus, csv };

struct options {
    sanperf_tools::selection blocks;
    format output = format::table;
    std::string write_file;                        // empty: standard output
    std::string root;                              // empty: /sys/kernel itself
    std::optional<double> interval;                // seconds; none: one report
    std::optional<int> count;                      // none: until signalled
    bool omit_first = false;                       // the first report (totals) is not written
    sanperf_tools::ranking rank;                   // which rows, in what order
    sanperf_tools::table_style style;              // the time unit, the socket layout
    bool top_view = false;                         // sanstat top: the full-screen view
    unsigned threads = 1;                          // reading the tree; 1: no threads started
    std::string archive;                           // read this archive rather than the tree
    std::optional<std::int64_t> begin_ms, end_ms;  // the archive's window; none: its ends
    bool unit_given = false;  // the time unit came from the command line or environment
};

// Seconds between refreshes of the full-screen view without interval.
constexpr double default_top_interval = 2;

// Parses the command line into opt. Returns -1 to go on, or the exit code
// to end with: 0 after --help or --version (printed to standard output), 2
// after a usage error (one line, with what was probably meant when a near
// miss was given, and the usage printed to standard error).
int parse_options(int argc, char** argv, options& opt);

}  // namespace sanstat
