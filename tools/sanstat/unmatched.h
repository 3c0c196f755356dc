// Naming the sessions and sockets asked for by number that a tree does not
// hold, live or archived, so that an empty block is never taken for idle.
#pragma once

#include <string>

#include "common/snapshot.h"
#include "sanstat/options.h"

namespace sanstat {

// Says on standard error which of the sessions and sockets opt asks for by
// number are not in now, in the blocks that were read; where names the
// tree or the archive.
void report_unmatched(const options& opt, const sanperf_tools::snapshot& now,
                      const std::string& where);

}  // namespace sanstat
