#include "tree_watch.h"

#include <iostream>

namespace sanstat {

void tree_watch::check(const sanperf_tools::snapshot& now, bool waiting) {
    if (now.tree_found == found_) return;
    found_ = now.tree_found;
    if (found_) {
        std::cerr << "sanstat: the statistics are now in " << where_ << "\n";
        return;
    }
    std::cerr << "sanstat: " << where_
              << " holds no SAN server statistics (none of disk_queue/, session/, sock/)";
    if (where_ == "/sys/kernel") std::cerr << ": is the SAN server running on this machine?";
    if (waiting) std::cerr << "; waiting for them";
    std::cerr << "\n";
}

}  // namespace sanstat
