// sanstat's command line.
#pragma once

#include <optional>
#include <string>

#include "snapshot.h"

namespace sanstat {

enum class format { table, json, prometheus };

struct options {
    sanperf_tools::selection blocks;
    format output = format::table;
    std::string write_file;          // empty: standard output
    std::string root;                // empty: /sys/kernel itself
    std::optional<double> interval;  // seconds; none: one report
    std::optional<int> count;        // none: until signalled
};

// Parses the command line into opt. Returns -1 to go on, or the exit code
// to end with: 0 after --help or --version (printed to standard output), 2
// after a usage error (one line and the usage printed to standard error).
int parse_options(int argc, char** argv, options& opt);

}  // namespace sanstat
