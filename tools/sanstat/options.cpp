#include "sanstat/options.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <tuple>

#include "cli/help_format.h"
#include "common/time_text.h"
#include "sanstat/suggest.h"

namespace sanstat {

namespace {

namespace tools = sanperf_tools;

const char* const usage =
    "usage: sanstat [-d] [-s] [-k] [--session ID]... [--socket N]...\n"
    "               [--sort rate|avg|max|samples|time] [--top N] [--active]\n"
    "               [--min-avg T] [--time-unit ns|us|ms|s]\n"
    "               [--socket-layout slots|busiest] [-y]\n"
    "               [-o table|json|prometheus|csv] [--write FILE] [--root DIR]\n"
    "               [--threads N] [--archive FILE [--begin T] [--end T]]\n"
    "               [interval [count]]\n"
    "       sanstat top [the options above but -y, -o and --write] [interval]\n"
    "       sanstat record --archive FILE [--interval S] [--retain-age D]\n"
    "               [--retain-size SIZE]\n"
    "       sanstat cut --archive FILE [--begin T] [--end T] OUT\n"
    "Run 'sanstat --help' for more.\n";

// Longer than this, an interval would overflow the clock arithmetic.
constexpr double max_interval = 1e7;

// " (did you mean X?)" when there is an X, else nothing.
std::string did_you_mean(const std::string& hint) {
    return hint.empty() ? "" : " (did you mean " + hint + "?)";
}

// The whole of text as a number, or none.
std::optional<double> number(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    double v = std::strtod(start, &end);
    if (end == start || *end != '\0') return std::nullopt;
    return v;
}

// A positional argument: a number that ok takes, else what it must be
// (the parser puts the argument's name first) and what was probably meant.
CLI::Validator positional(std::string what, bool (*ok)(double)) {
    return CLI::Validator(
        [=](std::string& value) {
            std::optional<double> v = number(value);
            if (v && ok(*v)) return std::string();
            return what + did_you_mean(positional_hint(value));
        },
        "", "positional");
}

// An option that takes one value per use and may be repeated.
CLI::Validator one_each(const std::string& option) {
    return CLI::Validator(
        [option](std::string& value) {
            std::string hint = list_hint(option, value);
            return hint.empty() ? std::string()
                                : "one " + option + " per value" + did_you_mean(hint);
        },
        "", "one value");
}

// A session id or socket number: what one is, when value is not.
CLI::Validator object_number(const std::string& what) {
    return CLI::Validator(
        [what](std::string& value) {
            bool digits = !value.empty() && value.size() <= 10 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            if (digits && std::stoull(value) <= 4294967295ULL) return std::string();
            return what + " is a whole number up to 4294967295, not '" + value + "'";
        },
        "", "number");
}

// A value among names, with the closest one suggested for a slip.
CLI::Validator one_of(const std::string& what, std::vector<std::string> names) {
    return CLI::Validator(
        [what, names](std::string& value) {
            if (std::find(names.begin(), names.end(), value) != names.end()) return std::string();
            std::string all;
            for (std::size_t i = 0; i < names.size(); ++i)
                all += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
            return what + " must be " + all + ", not '" + value + "'" +
                   did_you_mean(closest(value, names).value_or(""));
        },
        "", "name");
}

// The option names app knows, as they are typed: "--session", "-s".
std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> out;
    for (const CLI::Option* o : app.get_options()) {
        for (const auto& name : o->get_lnames()) out.push_back("--" + name);
        for (const auto& name : o->get_snames()) out.push_back("-" + name);
    }
    return out;
}

// What each unknown option in a refused command line may have meant.
std::string unknown_options_hint(const CLI::App& app) {
    std::string out;
    for (const auto& arg : app.remaining()) {
        if (arg.size() < 2 || arg[0] != '-') continue;
        std::string name = arg.substr(0, arg.find('='));
        if (std::optional<std::string> near = closest(name, option_names(app)))
            out += did_you_mean(*near);
    }
    return out;
}

}  // namespace

int parse_options(int argc, char** argv, options& opt) {
    // "sanstat top ...": the full-screen view, with the options that choose
    // what is read.
    if (argc > 1 && std::string(argv[1]) == "top") {
        opt.top_view = true;
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    CLI::App app{
        "Shows the SAN server's performance counters: disk queues, sessions and sockets. "
        "Without interval, one report of the totals; with interval (seconds), the first "
        "report shows the totals and each following one what happened during the "
        "interval: samples per second and average time per sample, with the current "
        "minimum and maximum. Each block starts with a summary of all its objects. "
        "'sanstat top [options] [interval]' shows one block on the whole screen, "
        "refreshed in place every interval (default 2 s): keys s sort, b or Tab switch "
        "the block, + and - change the rows, space or p pause, q quits. "
        "'sanstat record --archive FILE' keeps a history of samplings that every view "
        "reads back with --archive FILE, --begin and --end; 'sanstat cut' copies a window "
        "of it into an archive of its own. 'sanstat record --help' and 'sanstat cut --help' "
        "say more.",
        "sanstat"};
    app.formatter(std::make_shared<sanperf_cli::help_formatter>(" "));
    bool disks = false, sessions = false, sockets = false;
    std::vector<long long> session_ids, socket_numbers;
    double interval = 0;
    int count = 0;
    std::string output = "table", sort, min_avg, layout = "busiest";
    std::optional<std::string> unit_name;
    int top = 0;
    const std::map<std::string, format> formats{{"table", format::table},
                                                {"json", format::json},
                                                {"prometheus", format::prometheus},
                                                {"csv", format::csv}};
    std::vector<std::string> keys(std::begin(tools::sort_key_names),
                                  std::end(tools::sort_key_names));

    app.add_flag("-d,--disks", disks, "Show the disk queues");
    app.add_flag("-s,--sessions", sessions, "Show the sessions");
    app.add_flag("-k,--sockets", sockets, "Show the sockets (default: all three blocks)");
    app.add_option("--session", session_ids,
                   "Show only this session (repeatable); implies -s when no block is chosen")
        ->type_name("ID")
        ->check(one_each("--session"))
        ->check(object_number("a session id"))
        ->allow_extra_args(false);
    app.add_option("--socket", socket_numbers,
                   "Show only this socket (repeatable); implies -k when no block is chosen")
        ->type_name("N")
        ->check(one_each("--socket"))
        ->check(object_number("a socket number"))
        ->allow_extra_args(false);
    app.add_option("--sort", sort,
                   "Order each block's objects by KEY, highest first: rate (samples per second), "
                   "avg (time per sample), max (time), samples or time, over all the object's "
                   "counter sets together; without interval, by the totals")
        ->type_name("KEY")
        ->check(one_of("sort key", keys));
    app.add_option("--top", top,
                   "Show the first N objects of each block (sorted by rate "
                   "without --sort)")
        ->type_name("N")
        ->check(CLI::Range(0, 1000000000).description(""));
    app.add_flag("--active", opt.rank.active_only,
                 "Show only objects with samples in the interval (without interval: any)");
    app.add_option("--min-avg", min_avg,
                   "Show only objects whose average time per sample is at least T: a duration "
                   "such as 1.5ms (needs the time unit) or a number of the tree's ticks")
        ->type_name("T");
    app.add_option("--time-unit", unit_name,
                   std::string("The unit the tree counts time in; durations are then shown as "
                               "850us, 1.25ms (default: $") +
                       tools::time_unit_variable + ", else unknown)")
        ->type_name("ns|us|ms|s")
        ->check(one_of("time unit", {"ns", "us", "ms", "s"}));
    app.add_option("--socket-layout", layout,
                   "Sockets in the table: busiest (a row per socket, with its busiest slot, "
                   "the default) or slots (a row per slot)")
        ->type_name("slots|busiest")
        ->check(one_of("socket layout", {"slots", "busiest"}));
    app.add_flag("-y,--omit-first", opt.omit_first,
                 "With interval, leave out the first report (the totals so far)");
    app.add_option("-o,--output", output,
                   "Output format: table, json (JSON Lines), prometheus or csv (one row per "
                   "object and stream, with a header row)")
        ->type_name("table|json|prometheus|csv")
        ->check(one_of("output format", {"table", "json", "prometheus", "csv"}))
        ->default_str("table");
    app.add_option("--write", opt.write_file,
                   "Write each report to FILE, replacing it atomically, instead of standard "
                   "output. A symbolic link is followed; anything but a regular file is refused")
        ->type_name("FILE");
    app.add_option("--root", opt.root, "Read the statistics tree in DIR instead of /sys/kernel")
        ->type_name("DIR");
    opt.threads = sanperf_tools::default_threads();
    app.add_option("--threads", opt.threads, sanperf_tools::threads_help())
        ->type_name("N")
        ->check(CLI::Range(1u, sanperf_tools::max_threads).description(""));
    std::string archive_begin, archive_end;
    app.add_option("--archive", opt.archive,
                   "Report from this archive, which 'sanstat record' writes, rather than from "
                   "the tree: one report over the window, or with interval one per interval of "
                   "the archive's time")
        ->type_name("FILE");
    app.add_option("--begin", archive_begin,
                   "With --archive, the window's start: 2026-12-08T03:12, '2026-12-08 03:12:30', "
                   "03:12 (today), @EPOCH or -DURATION before now such as -2h (default: the "
                   "archive's first sampling)")
        ->type_name("T");
    app.add_option("--end", archive_end,
                   "With --archive, the window's end, written as for --begin (default: the "
                   "archive's last sampling)")
        ->type_name("T");
    app.add_option("interval", interval, "Seconds between reports")
        ->check(positional("must be a number of seconds above 0 and at most 10000000",
                           [](double v) { return v > 0 && v <= max_interval; }));
    app.add_option("count", count, "Number of reports (default: until SIGINT or SIGTERM)")
        ->check(positional("must be a whole number from 1 to 1000000000",
                           [](double v) { return v >= 1 && v <= 1e9 && v == std::floor(v); }));
    app.set_version_flag("--version", "sanstat " SANSTAT_VERSION);

    auto refuse = [](const std::string& why) {
        std::cerr << "sanstat: " << why << "\n" << usage;
        return 2;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError& e) {
        return refuse(e.what() + unknown_options_hint(app));
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        return refuse(e.what());
    }
    std::string error;
    if (!tools::resolve_time_unit(unit_name, opt.style.unit, error)) return refuse(error);
    opt.unit_given = opt.style.unit.has_value();
    const std::int64_t now_ms = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    for (auto [name, text, out] : {std::tuple{"--begin", &archive_begin, &opt.begin_ms},
                                   std::tuple{"--end", &archive_end, &opt.end_ms}}) {
        if (app.count(name) == 0) continue;
        if (opt.archive.empty())
            return refuse(std::string(name) + " chooses a window of --archive");
        std::int64_t ms = 0;
        if (!tools::parse_time_text(*text, now_ms, ms, error))
            return refuse(std::string(name) + ": " + error);
        *out = ms;
    }
    if (opt.begin_ms && opt.end_ms && *opt.begin_ms > *opt.end_ms)
        return refuse("--begin is after --end");
    if (!opt.archive.empty() && !opt.root.empty())
        return refuse("--root reads a tree; --archive reads the archive instead");
    if (!min_avg.empty()) {
        double ticks = 0;
        if (!tools::parse_duration_ticks(min_avg, opt.style.unit, ticks, error))
            return refuse("--min-avg: " + error);
        opt.rank.min_avg = ticks;
    }
    if (!sort.empty()) opt.rank.sort = tools::parse_sort_key(sort);
    if (app.count("--top") > 0) opt.rank.top = static_cast<std::size_t>(top);
    opt.style.sockets =
        layout == "busiest" ? tools::socket_layout::busiest : tools::socket_layout::slots;
    opt.output = formats.at(output);

    bool ranked = opt.rank.sort || opt.rank.top || opt.rank.active_only || opt.rank.min_avg;
    if (opt.output == format::prometheus && ranked)
        return refuse(
            "--sort, --top, --active and --min-avg do not apply to -o prometheus, "
            "which always writes every series");
    if (opt.output != format::table && app.count("--socket-layout") > 0)
        return refuse("--socket-layout applies to the table only");
    if (opt.top_view) {
        if (app.count("--end") > 0)
            return refuse("'sanstat top --archive' replays from --begin on; --end is for reports");
        for (const char* report_only : {"--omit-first", "--output", "--write", "count"}) {
            if (app.count(report_only) > 0)
                return refuse(
                    "'sanstat top' redraws one screen until q; -y, -o, --write and count are "
                    "for reports");
        }
    }
    if (opt.omit_first && app.count("interval") == 0)
        return refuse("-y leaves out the first of several reports: it needs an interval");

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
    if (app.count("interval") > 0) opt.interval = interval;
    if (app.count("count") > 0) opt.count = count;
    return -1;
}

}  // namespace sanstat
