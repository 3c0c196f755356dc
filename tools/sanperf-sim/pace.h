// Keeps the simulator's updates in step with the clock, and says when they
// cannot keep to the interval.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace sanperf_sim {

class pace {
public:
    using clock_type = std::chrono::steady_clock;

    // Warnings about updates that fall behind come at most this often.
    static constexpr std::chrono::minutes warning_period{1};

    pace(unsigned interval_ms, clock_type::time_point start);

    // Milliseconds to advance the model by at now: the real time since the
    // last step, so rates stay true when an update takes longer than the
    // interval. Whole ones; the rest is carried over to the next step.
    unsigned step(clock_type::time_point now);

    // The line to say when an update that took update, ending at now, left
    // the simulator behind the interval: at most one per warning_period,
    // for as long as updates stay behind. None otherwise.
    std::optional<std::string> took(clock_type::duration update, clock_type::time_point now);

private:
    std::chrono::milliseconds interval_;
    clock_type::time_point simulated_;
    std::optional<clock_type::time_point> warned_;
};

}  // namespace sanperf_sim
