#include "common/time_unit.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>

namespace sanperf_tools {

namespace {

const time_unit units[] = {{"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1}};

}  // namespace

std::optional<time_unit> parse_time_unit(const std::string& name) {
    for (const auto& u : units)
        if (name == u.name) return u;
    return std::nullopt;
}

bool resolve_time_unit(const std::optional<std::string>& flag, std::optional<time_unit>& unit,
                       std::string& error) {
    std::string from = "--time-unit";
    std::string name;
    if (flag) {
        name = *flag;
    } else {
        const char* env = std::getenv(time_unit_variable);
        if (!env || !*env) {
            unit.reset();
            return true;
        }
        from = time_unit_variable;
        name = env;
    }
    unit = parse_time_unit(name);
    if (!unit) {
        error = from + " must be ns, us, ms or s, not '" + name + "'";
        return false;
    }
    return true;
}

bool parse_duration(const std::string& text, const std::optional<time_unit>& unit, double& ticks,
                    std::string& error) {
    const char* start = text.c_str();
    char* end = nullptr;
    double value = std::strtod(start, &end);
    if (end == start || !std::isfinite(value) || value < 0) {
        error = "'" + text + "' is no duration: give a number and ns, us, ms or s, or ticks";
        return false;
    }
    std::string suffix = end;
    if (suffix.empty()) {
        ticks = value;
        return true;
    }
    std::optional<time_unit> given = parse_time_unit(suffix);
    if (!given) {
        error = "'" + text + "' is no duration: its unit must be ns, us, ms or s";
        return false;
    }
    if (!unit) {
        error = "'" + text + "' needs the tree's time unit: set --time-unit or " +
                time_unit_variable + ", or give ticks";
        return false;
    }
    ticks = value * given->seconds_per_tick / unit->seconds_per_tick;
    return true;
}

std::string human_duration(std::optional<double> ticks, const time_unit& unit) {
    if (!ticks) return "-";
    double seconds = *ticks * unit.seconds_per_tick;
    if (seconds == 0) return "0" + std::string(unit.name);
    // The largest unit in which the value is at least 1; seconds above that.
    const time_unit* shown = &units[0];
    for (const auto& u : units)
        if (std::fabs(seconds) >= u.seconds_per_tick) shown = &u;
    double v = seconds / shown->seconds_per_tick;
    // Three significant digits; rounding up to 1000 moves to the next unit.
    int decimals = std::fabs(v) < 10 ? 2 : std::fabs(v) < 100 ? 1 : 0;
    std::string text = fmt::format("{:.{}f}", v, decimals);
    if (std::fabs(std::stod(text)) >= 1000 && shown != &units[3]) {
        ++shown;
        v = seconds / shown->seconds_per_tick;
        text = fmt::format("{:.2f}", v);
    }
    // Trailing zeros say nothing: "2.1s", "1ms".
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
    }
    return text + shown->name;
}

}  // namespace sanperf_tools
