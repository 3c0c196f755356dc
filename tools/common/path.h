// Splitting file names.
#pragma once

#include <string>

namespace sanperf_tools {

// The directory part of path: "." for a bare name, "/" for a file at the root.
inline std::string dir_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace sanperf_tools
