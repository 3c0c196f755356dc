#include "sanstat/tree_watch.h"

#include <sys/stat.h>

#include <cerrno>
#include <iostream>

namespace sanstat {

void tree_watch::check(const sanperf_tools::snapshot& now, bool waiting) {
    if (now.tree_found == found_) return;
    found_ = now.tree_found;
    if (found_) {
        std::cerr << "sanstat: the statistics are now in " << where_ << "\n";
        return;
    }
    struct stat st {};
    const bool missing = stat(where_.c_str(), &st) != 0 && errno == ENOENT;
    if (missing)
        std::cerr << "sanstat: " << where_ << " does not exist";
    else
        std::cerr << "sanstat: " << where_
                  << " holds no SAN server statistics (none of disk_queue/, session/, sock/)";
    if (where_ == "/sys/kernel") std::cerr << ": is the SAN server running on this machine?";
    if (waiting) std::cerr << (missing ? "; waiting for it" : "; waiting for them");
    std::cerr << "\n";
}

}  // namespace sanstat
