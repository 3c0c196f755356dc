#include "sanperf_exporter/collectors/collect_query.h"

#include <algorithm>

namespace sanperf_exporter {

bool collectors_asked(const std::vector<std::string>& asked,
                      const std::vector<std::string>& enabled,
                      const std::vector<std::string>& known, tree_reader::collector_set& which,
                      std::string& why) {
    // One bit per enabled collector; the set holds no more than that.
    const std::size_t count = std::min<std::size_t>(enabled.size(), 32);
    if (asked.empty()) {
        which = count == 32 ? ~collector_set{0} : (collector_set{1} << count) - 1;
        return true;
    }
    which = 0;
    for (const std::string& name : asked) {
        const auto it =
            std::find(enabled.begin(), enabled.begin() + static_cast<long>(count), name);
        if (it != enabled.begin() + static_cast<long>(count)) {
            which |= collector_set{1} << (it - enabled.begin());
            continue;
        }
        const bool is_known = std::find(known.begin(), known.end(), name) != known.end();
        why = (is_known ? "disabled collector: " : "unknown collector: ") + name;
        return false;
    }
    return true;
}

}  // namespace sanperf_exporter
