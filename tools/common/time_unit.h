// The unit of the tree's times. The tree does not say what unit its time
// counters count in; the operator says it once, with --time-unit or the
// environment variable SANPERF_TIME_UNIT, and every program reads it here.
#pragma once

#include <optional>
#include <string>

namespace sanperf_tools {

struct time_unit {
    const char* name;         // "ns", "us", "ms" or "s"
    double seconds_per_tick;  // 1e-9, 1e-6, 1e-3 or 1
};

// The environment variable that gives the default unit.
constexpr const char* time_unit_variable = "SANPERF_TIME_UNIT";

// The unit named ns, us, ms or s; none for any other text, the empty one
// included.
std::optional<time_unit> parse_time_unit(const std::string& name);

// The unit in effect: flag when given (it must name a unit), else
// SANPERF_TIME_UNIT when set and not empty, else none (unknown). Returns
// false with a message in error when the flag or the variable names no
// unit: a wrong setting is refused, never taken as unknown.
bool resolve_time_unit(const std::optional<std::string>& flag, std::optional<time_unit>& unit,
                       std::string& error);

// A duration as the operator writes it, in seconds: a number, whole or
// with a decimal point, of at most 12 digits before the point, and its
// unit, ns, us, ms, s or m ("850us", "1.5ms", "10s", "2m"); a bare 0 needs
// none. Returns false with a message in error for anything else (a sign,
// an exponent or a space included).
bool parse_duration(const std::string& text, double& seconds, std::string& error);

// The same in ticks of unit, where a bare number is a number of ticks
// ("1500"). Returns false with a message in error as parse_duration does,
// and for a number with a unit while unit is not known.
bool parse_duration_ticks(const std::string& text, const std::optional<time_unit>& unit,
                          double& ticks, std::string& error);

// A duration of ticks of unit in the largest of ns, us, ms and s that
// keeps it at 1 or more, with three significant digits (more for 1000 s and
// above) and no trailing zeros: "850us", "1.25ms", "2.1s", "0ns". None
// reads as "-".
std::string human_duration(std::optional<double> ticks, const time_unit& unit);

}  // namespace sanperf_tools
