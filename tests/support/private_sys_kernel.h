// Gives the test process its own /sys/kernel: a private mount namespace with
// an empty tmpfs mounted over it, so tests write trees on the library's real
// fixed paths without touching the host's.
#pragma once

#include <string>

namespace sanperf_test {

// Enters a private mount namespace (as root directly, otherwise through a
// user namespace), makes "/" recursively private and mounts a tmpfs over
// /sys/kernel. Must run before any thread starts. Returns true on success;
// otherwise returns false with the reason in why.
bool enter_private_sys_kernel(std::string& why);

}  // namespace sanperf_test
