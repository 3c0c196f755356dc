// Near misses on sanstat's command line, and what was probably meant: the
// "did you mean" of a usage error.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sanstat {

// The candidate word is a slip for: one it begins, or one at most two
// single-letter edits away (at most one for words of four letters or
// fewer). None when nothing is that close, or two are equally close.
std::optional<std::string> closest(const std::string& word,
                                   const std::vector<std::string>& candidates);

// What an interval or count that is no number may have meant: "--sort avg"
// for a sort key, "1" for "1s", "0.5" for "500ms". Empty when nothing fits.
std::string positional_hint(const std::string& text);

// What a list given to a repeatable option may have meant: "--session 3
// --session 4" for --session "3,4". Empty when text holds no comma.
std::string list_hint(const std::string& option, const std::string& text);

}  // namespace sanstat
