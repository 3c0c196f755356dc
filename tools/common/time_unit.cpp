#include "common/time_unit.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace sanperf_tools {

namespace {

// The units of a duration: the four a tree may count in, then minutes,
// which an operator may write too.
const time_unit units[] = {{"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1}, {"m", 60}};
const time_unit* const tree_units_end = units + 4;

}  // namespace

std::optional<time_unit> parse_time_unit(const std::string& name) {
    for (const time_unit* u = units; u != tree_units_end; ++u)
        if (name == u->name) return *u;
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

namespace {

// A duration's number and its unit, none when it has none. False with a
// message in error when text is no number and unit; ticks says whether a
// bare number is a duration too.
bool split_duration(const std::string& text, bool ticks, double& number,
                    std::optional<time_unit>& unit, std::string& error) {
    std::size_t whole = 0;
    while (whole < text.size() && text[whole] >= '0' && text[whole] <= '9') ++whole;
    std::size_t end = whole;
    if (end < text.size() && text[end] == '.') {
        while (++end < text.size() && text[end] >= '0' && text[end] <= '9') {}
        if (end == whole + 1) end = 0;  // a point without digits after it
    }
    if (whole == 0 || whole > 12 || end == 0) {
        error = "'" + text + "' is no duration: give a number and ns, us, ms, s or m" +
                (ticks ? ", or ticks" : ", as 10s or 1.5ms");
        return false;
    }
    // The digits alone, so the locale's decimal point plays no part.
    std::from_chars(text.data(), text.data() + end, number);
    const std::string suffix = text.substr(end);
    unit.reset();
    if (suffix.empty()) return true;
    for (const time_unit& u : units)
        if (suffix == u.name) unit = u;
    if (!unit) {
        error = "'" + text + "' is no duration: its unit must be ns, us, ms, s or m";
        return false;
    }
    return true;
}

}  // namespace

bool parse_duration(const std::string& text, double& seconds, std::string& error) {
    double number = 0;
    std::optional<time_unit> unit;
    if (!split_duration(text, false, number, unit, error)) return false;
    if (!unit && number != 0) {
        error = "'" + text + "' is no duration: give its unit, ns, us, ms, s or m, as 10s";
        return false;
    }
    seconds = unit ? number * unit->seconds_per_tick : 0;
    return true;
}

bool parse_duration_ticks(const std::string& text, const std::optional<time_unit>& unit,
                          double& ticks, std::string& error) {
    double number = 0;
    std::optional<time_unit> given;
    if (!split_duration(text, true, number, given, error)) return false;
    if (!given) {
        ticks = number;
        return true;
    }
    if (!unit) {
        error = "'" + text + "' needs the tree's time unit: set --time-unit or " +
                time_unit_variable + ", or give ticks";
        return false;
    }
    ticks = number * given->seconds_per_tick / unit->seconds_per_tick;
    return true;
}

std::string human_duration(std::optional<double> ticks, const time_unit& unit) {
    if (!ticks) return "-";
    double seconds = *ticks * unit.seconds_per_tick;
    if (seconds == 0) return "0" + std::string(unit.name);
    // The largest unit in which the value is at least 1; seconds above that.
    const time_unit* shown = &units[0];
    for (const time_unit* u = units; u != tree_units_end; ++u)
        if (std::fabs(seconds) >= u->seconds_per_tick) shown = u;
    double v = seconds / shown->seconds_per_tick;
    // Three significant digits; rounding up to 1000 moves to the next unit.
    int decimals = std::fabs(v) < 10 ? 2 : std::fabs(v) < 100 ? 1 : 0;
    std::string text = fmt::format("{:.{}f}", v, decimals);
    if (std::fabs(std::stod(text)) >= 1000 && shown != tree_units_end - 1) {
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
