// Tells whether the statistics tree is there: a missing one is said once on
// standard error, and said again only when that changes.
#pragma once

#include <string>

#include "common/snapshot.h"

namespace sanstat {

class tree_watch {
public:
    explicit tree_watch(std::string where) : where_(std::move(where)) {}

    // waiting: the program goes on and waits for the tree to come (back).
    void check(const sanperf_tools::snapshot& now, bool waiting);

private:
    std::string where_;
    bool found_ = true;
};

}  // namespace sanstat
