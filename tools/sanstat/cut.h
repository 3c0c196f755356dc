// sanstat cut: a window of an archive written into a new archive, to be
// sent to someone else.
#pragma once

namespace sanstat {

// Parses "cut"'s command line (argv[0] is "cut") and writes the window.
// Returns the exit code: 0 written, 1 when it cannot be, 2 usage error.
int run_cut(int argc, char** argv);

}  // namespace sanstat
