// The three ways a report is written out. Each returns the complete text of
// one report.
#pragma once

#include <optional>
#include <string>

#include "report.h"

namespace sanstat {

enum class format { table, json, prometheus };

// For people: a header per block, numbers right-aligned, large numbers
// shortened with k, M, G, T, P, E suffixes (powers of 1000).
std::string render_table(const report& r);

// One compact JSON document on one line, ending in a newline.
std::string render_json(const report& r);

// The Prometheus text exposition format, from the totals as read: rates and
// averages are left to the query side, as counters are meant to be.
std::string render_prometheus(const report& r);

std::string render(format f, const report& r);

// A number in at most 5 characters: whole below 100000 (one decimal below
// 100 when not whole), else shortened with a suffix ("12.3k", "456M").
// None reads as "-".
std::string readable(std::optional<double> value);

}  // namespace sanstat
