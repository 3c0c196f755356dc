// Reading a statistics tree kept somewhere else than /sys/kernel.
#pragma once

#include <string>

namespace sanperf_tools {

// Puts this process in a private mount namespace in which /sys/kernel holds
// only links to dir's disk_queue, session and sock, so the library reads
// dir. The links go by dir's path: a dir removed and made again, renamed
// over or not there yet is followed, the statistics reading as absent while
// there is none. Needs root, or an unprivileged user namespace (the process
// then keeps its uid and gid, mapped to themselves), and a single thread.
// Nothing outside the process sees the mount. Returns false, with the reason
// in why, when it cannot, or when dir exists but is no directory.
bool mount_root(const std::string& dir, std::string& why);

}  // namespace sanperf_tools
