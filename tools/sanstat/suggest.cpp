#include "sanstat/suggest.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "common/ranking.h"
#include "common/time_unit.h"

namespace sanstat {

namespace {

// Single-letter insertions, deletions and replacements that turn a into b.
std::size_t edits(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::optional<std::string> closest(const std::string& word,
                                   const std::vector<std::string>& candidates) {
    std::optional<std::string> best;
    std::size_t best_edits = 0;
    bool tie = false;
    for (const auto& candidate : candidates) {
        std::size_t n = edits(word, candidate);
        // A beginning counts as one edit: "--sess" for "--session".
        if (word.size() >= 2 && candidate.compare(0, word.size(), word) == 0)
            n = std::min<std::size_t>(n, 1);
        std::size_t limit = std::min(word.size(), candidate.size()) <= 4 ? 1 : 2;
        if (n > limit) continue;
        if (!best || n < best_edits) {
            best = candidate;
            best_edits = n;
            tie = false;
        } else if (n == best_edits) {
            tie = true;
        }
    }
    if (tie) return std::nullopt;
    return best;
}

std::string positional_hint(const std::string& text) {
    if (sanperf_tools::parse_sort_key(text)) return "--sort " + text;
    std::vector<std::string> keys(std::begin(sanperf_tools::sort_key_names),
                                  std::end(sanperf_tools::sort_key_names));
    // A number of seconds with a unit: the interval takes plain seconds.
    const char* start = text.c_str();
    char* end = nullptr;
    double value = std::strtod(start, &end);
    if (end != start && std::isfinite(value) && value > 0) {
        std::optional<sanperf_tools::time_unit> unit = sanperf_tools::parse_time_unit(end);
        if (unit) return fmt::format("{}", value * unit->seconds_per_tick);
        return "";
    }
    if (std::optional<std::string> key = closest(text, keys)) return "--sort " + *key;
    return "";
}

std::string list_hint(const std::string& option, const std::string& text) {
    if (text.find(',') == std::string::npos) return "";
    std::istringstream items(text);
    std::string out;
    for (std::string item; std::getline(items, item, ',');) {
        if (item.empty()) continue;
        if (!out.empty()) out += ' ';
        out += option + " " + item;
    }
    return out;
}

}  // namespace sanstat
