// The times, durations and sizes an operator types to choose a window of an
// archive and its retention, and the local times reports print.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace sanperf_tools {

// A moment as milliseconds since the epoch, from one of: a local date and
// time, "2026-12-08T03:12", "2026-12-08 03:12:30"; a time of today,
// "03:12", "03:12:30"; "@EPOCH" seconds (decimals allowed); "-DURATION"
// before now_ms, "-2h", "-90s". False with a message in error otherwise.
bool parse_time_text(const std::string& text, std::int64_t now_ms, std::int64_t& ms,
                     std::string& error);

// A duration: numbers each followed by s, m, h, d or w ("90s", "1h30m",
// "30d"); a bare number is seconds. Above 0.
bool parse_duration_ms(const std::string& text, std::int64_t& ms, std::string& error);

// A size in bytes: a number followed by nothing, K, M, G or T (powers of
// 1024; "64M", "1.5G").
bool parse_size(const std::string& text, std::uint64_t& bytes, std::string& error);

// ms as a local time with its offset from UTC: "2026-12-08 03:12:30 +0100".
std::string local_time_text(std::int64_t ms);
// ms as ISO 8601 local time with its offset: "2026-12-08T03:12:30+01:00".
std::string iso_local_time(std::int64_t ms);
// A length of time for people: "45 s", "12 min", "3.5 h", "2.0 days".
std::string human_length(double seconds);

}  // namespace sanperf_tools
