// Replacing a file so that a reader sees either its old or its new
// contents, whole, whatever happens meanwhile.
#pragma once

#include <functional>
#include <string>

#include "common/sink.h"

namespace sanperf_tools {

enum class durability {
    synced,    // the new contents and the rename reach the disk before returning
    unsynced,  // for files that need not outlive the machine's next start
};

// Replaces the regular file at path with the text fill writes: the text goes
// to a hidden temporary file in the same directory (with a name that never
// ends like path's), which is then renamed over path. A symbolic link at
// path is followed, and the file it names is replaced in its own directory;
// the link stays. A directory, FIFO, socket or device at path is refused
// and left untouched. The new file is readable by all, as the umask allows.
// On any failure, or if fill throws, path is untouched, no temporary file
// is left, and an exception is thrown with a message naming the file:
// std::system_error with the failing call's errno, std::runtime_error for a
// path that is not a regular file, or fill's own. While the temporary file exists it is held by
// removal_on_stop.
void replace_file(const std::string& path, const std::function<void(sink&)>& fill,
                  durability how = durability::synced);

}  // namespace sanperf_tools
