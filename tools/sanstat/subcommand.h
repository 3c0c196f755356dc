// The command line of sanstat's subcommands (record, cut): their help's
// layout, and how they refuse what they cannot take.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace sanstat {

class subcommand_line {
public:
    // name as in "sanstat NAME", usage the lines shown after an error.
    subcommand_line(const char* name, const char* usage) : name_(name), usage_(usage) {}

    // Says "sanstat NAME: why" and the usage on standard error; returns
    // the exit status for a command line refused, 2.
    int refuse(const std::string& why) const;

    // Parses argc and argv with app, in the programs' help layout. Returns
    // -1 to go on, or the exit status: 0 after --help or --version, 2
    // after an error.
    int parse(CLI::App& app, int argc, char** argv) const;

private:
    const char* name_;
    const char* usage_;
};

}  // namespace sanstat
