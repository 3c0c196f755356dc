// sanstat's reports read back from an archive rather than from the tree.
#pragma once

#include <vector>

#include "common/archive_reader.h"
#include "sanstat/options.h"

namespace sanstat {

// A period of the archive without a sampling of the tree, and why.
struct archive_gap {
    std::int64_t from_ms = 0, to_ms = 0;
    const char* why = "";
};

// The gaps between two samplings of the tree, a before b.
std::vector<archive_gap> gaps_between(sanperf_tools::archive_reader& archive,
                                      const sanperf_tools::sampling_meta& a,
                                      const sanperf_tools::sampling_meta& b);

// The snapshot of sampling m, for the renderers: taken offset seconds after
// a common origin, so that two of them give the interval between them.
sanperf_tools::snapshot archived_snapshot(const sanperf_tools::sampling_state& state,
                                          const sanperf_tools::selection& sel,
                                          const sanperf_tools::sampling_meta& m, double offset);

// The reports opt asks for, from opt.archive: one over the window, or one
// per interval of the archive's time. Returns the exit code.
int run_archive_report(const options& opt);

}  // namespace sanstat
