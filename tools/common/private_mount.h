// A /sys/kernel of this process's own: a private mount namespace with an
// empty tmpfs over /sys/kernel, which nothing outside the process sees.
// sanperf-sim and the exporter (--root) read another tree through it; the
// tests and benchmarks write theirs there, on the library's fixed paths,
// without touching the host's.
#pragma once

#include <string>

namespace sanperf_tools {

// Who the process is in the user namespace that a process without the right
// to make a mount namespace enters first: itself (its uid and gid mapped to
// themselves) or root (mapped to its uid and gid).
enum class user_namespace_ids { own, root };

// Enters a private mount namespace (through a user namespace with ids when
// the process may not make one directly), makes "/" recursively private so
// that nothing propagates back to the host, and mounts a tmpfs over
// /sys/kernel (nosuid, nodev, noexec, mode 0755, and tmpfs_options such as
// "size=64k" when not empty). Needs a single thread. Returns false with the
// reason in why when it cannot.
bool private_sys_kernel(user_namespace_ids ids, const std::string& tmpfs_options, std::string& why);

}  // namespace sanperf_tools
