// sanstat top: one block at a time on the whole screen, refreshed in place,
// steered by keys.
#pragma once

#include "sanstat/options.h"

namespace sanstat {

// Runs the view on the terminal of standard input and output until q, a
// stop signal, or the tree vanishing. Returns the exit code. Refuses, with a
// message, when standard input or output is not a terminal. The tree is
// read on pool's threads, or on this one alone without a pool.
int run_top_view(const options& opt, sanperf_tools::thread_pool* pool);

}  // namespace sanstat
