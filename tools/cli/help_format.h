// --help as an operator reads it in a terminal of 80 columns: option names
// as they are typed, "--name VALUE" or "--name=VALUE" as the program writes
// them, the default once at the end of the description, and none of the
// parser's type and range notes.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <string>

namespace sanperf_cli {

// The width every line of help and usage keeps within.
constexpr std::size_t help_width = 80;

// text broken at blanks into lines of at most width characters (a longer
// word stands alone), every line after the first starting with indent blanks.
// Line breaks already in text are kept.
std::string wrap(const std::string& text, std::size_t width, std::size_t indent = 0);

class help_formatter : public CLI::Formatter {
public:
    // value_separator goes between an option's name and its value: " " or "=".
    explicit help_formatter(std::string value_separator);

    std::string make_description(const CLI::App* app) const override;
    std::string make_footer(const CLI::App* app) const override;
    std::string make_option_name(const CLI::Option* opt, bool positional) const override;
    std::string make_option_opts(const CLI::Option* opt) const override;
    std::string make_option_desc(const CLI::Option* opt) const override;

private:
    std::string separator_;
};

}  // namespace sanperf_cli
