// sanstat record: samples the tree every interval into an archive.
#pragma once

namespace sanstat {

// Parses "record"'s command line (argv[0] is "record") and records until
// SIGINT or SIGTERM. Returns the exit code: 0 when stopped, 1 when the
// archive cannot be used, 2 for a usage error.
int run_record(int argc, char** argv);

}  // namespace sanstat
