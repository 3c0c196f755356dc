#include "options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <map>

namespace sanstat {

namespace {

const char* const usage =
    "usage: sanstat [-d] [-s] [-k] [--session ID]... [--socket N]...\n"
    "               [-o table|json|prometheus] [--write FILE] [--root DIR] [interval [count]]\n"
    "Run 'sanstat --help' for more.\n";

// Longer than this, an interval would overflow the clock arithmetic.
constexpr double max_interval = 1e7;

}  // namespace

int parse_options(int argc, char** argv, options& opt) {
    CLI::App app{"Shows the SAN server's performance counters: disk queues, sessions and sockets. "
                 "Without interval, one report of the totals; with interval (seconds), the first "
                 "report shows the totals and each following one what happened during the "
                 "interval: samples per second and average time per sample, with the current "
                 "minimum and maximum.",
                 "sanstat"};
    bool disks = false, sessions = false, sockets = false;
    std::vector<long long> session_ids, socket_numbers;
    double interval = 0;
    int count = 0;
    std::string output = "table";
    const std::map<std::string, format> formats{
        {"table", format::table}, {"json", format::json}, {"prometheus", format::prometheus}};
    // Only the names: the help shows them as the option's value.
    const CLI::Validator format_name(
        [&formats](std::string& value) {
            return formats.count(value) ? std::string()
                                        : "output format must be table, json or prometheus, not '" +
                                              value + "'";
        },
        "", "format name");
    // Also refuses NaN, which a plain range check lets through.
    const CLI::Validator positive_interval(
        [](std::string& value) {
            double v = std::strtod(value.c_str(), nullptr);
            return v > 0 && v <= max_interval ? std::string()
                                              : "interval must be a number of seconds above 0 "
                                                "and at most 10000000";
        },
        "", "positive interval");

    app.add_flag("-d,--disks", disks, "Show the disk queues");
    app.add_flag("-s,--sessions", sessions, "Show the sessions");
    app.add_flag("-k,--sockets", sockets, "Show the sockets (default: all three blocks)");
    app.add_option("--session", session_ids,
                   "Show only this session (repeatable); implies -s when no block is chosen")
        ->type_name("ID")
        ->check(CLI::Range(0LL, 4294967295LL))
        ->allow_extra_args(false);
    app.add_option("--socket", socket_numbers,
                   "Show only this socket (repeatable); implies -k when no block is chosen")
        ->type_name("N")
        ->check(CLI::Range(0LL, 4294967295LL))
        ->allow_extra_args(false);
    app.add_option("-o,--output", output, "Output format: table, json (JSON Lines) or prometheus")
        ->type_name("table|json|prometheus")
        ->check(format_name)
        ->default_str("table");
    app.add_option("--write", opt.write_file,
                   "Write each report to FILE, replacing it atomically, instead of standard "
                   "output. A symbolic link is followed; anything but a regular file is refused")
        ->type_name("FILE");
    app.add_option("--root", opt.root, "Read the statistics tree in DIR instead of /sys/kernel")
        ->type_name("DIR");
    app.add_option("interval", interval, "Seconds between reports")->check(positive_interval);
    app.add_option("count", count, "Number of reports (default: until SIGINT or SIGTERM)")
        ->check(CLI::Range(1, 1000000000));
    app.set_version_flag("--version", "sanstat " SANSTAT_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::cerr << "sanstat: " << e.what() << "\n" << usage;
        return 2;
    }

    bool filtered = !session_ids.empty() || !socket_numbers.empty();
    if (!disks && !sessions && !sockets) {
        disks = !filtered;
        sessions = !filtered || !session_ids.empty();
        sockets = !filtered || !socket_numbers.empty();
    }
    opt.blocks.disks = disks;
    opt.blocks.sessions = sessions;
    opt.blocks.sockets = sockets;
    opt.blocks.session_ids.assign(session_ids.begin(), session_ids.end());
    opt.blocks.socket_numbers.assign(socket_numbers.begin(), socket_numbers.end());
    opt.output = formats.at(output);
    if (app.count("interval") > 0) opt.interval = interval;
    if (app.count("count") > 0) opt.count = count;
    return -1;
}

}  // namespace sanstat
