#include "sanperf-sim/pace.h"

#include <algorithm>
#include <cstdio>

namespace sanperf_sim {

pace::pace(unsigned interval_ms, clock_type::time_point start)
    : interval_(interval_ms), simulated_(start) {}

unsigned pace::step(clock_type::time_point now) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - simulated_);
    simulated_ += ms;
    return static_cast<unsigned>(std::min<long long>(ms.count(), 3600 * 1000));
}

std::optional<std::string> pace::took(clock_type::duration update, clock_type::time_point now) {
    if (update <= interval_) return std::nullopt;
    if (warned_ && now - *warned_ < warning_period) return std::nullopt;
    warned_ = now;
    const double seconds = std::chrono::duration<double>(update).count();
    const double behind = std::chrono::duration<double>(update - interval_).count();
    char line[256];
    std::snprintf(line, sizeof line,
                  "sanperf-sim: behind: an update took %.1f s, %.1f s longer than the interval "
                  "of %lld ms; updates follow each other as fast as they can and simulated time "
                  "follows the clock (said at most once a minute while it lasts)",
                  seconds, behind, static_cast<long long>(interval_.count()));
    return std::string(line);
}

}  // namespace sanperf_sim
