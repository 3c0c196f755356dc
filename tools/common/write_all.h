// Writing a whole buffer to a descriptor, however the kernel splits it.
#pragma once

#include <string_view>

namespace sanperf_tools {

// Writes all of data to fd, going on after partial writes and after writes
// interrupted by a signal (EINTR). False, with errno set, when a write
// fails or takes nothing (EIO then).
bool write_all(int fd, std::string_view data);

}  // namespace sanperf_tools
