// A window of an archive copied into a new archive of its own, to be read
// elsewhere like any other.
#pragma once

#include <cstdint>
#include <string>

#include "common/archive_reader.h"

namespace sanperf_tools {

// Writes the samplings from_seq to to_seq of source, and the runs they
// belong to, into a new archive at out, whole or not at all: it is built
// under a temporary name beside out and renamed at the end. The copy is a
// single file (no write-ahead log) and starts with a keyframe. out must not
// exist: nothing is ever overwritten. Returns the samplings copied; throws
// archive_error.
std::int64_t copy_window(archive_reader& source, std::int64_t from_seq, std::int64_t to_seq,
                         const std::string& out);

}  // namespace sanperf_tools
