// Reading a statistics tree kept somewhere else than /sys/kernel.
#pragma once

#include <string>

namespace sanperf_tools {

// Puts this process in a private mount namespace with dir bind-mounted over
// /sys/kernel, so the library reads dir. Needs root, or an unprivileged user
// namespace (the process then keeps its uid and gid, mapped to themselves).
// Nothing outside the process sees the mount. Returns false, with the reason
// in why, when it cannot.
bool mount_root(const std::string& dir, std::string& why);

}  // namespace sanperf_tools
