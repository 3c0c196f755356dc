// sanperf-sim: publishes a simulated SAN server's statistics tree in a
// directory and keeps it changing, so sanperf and the tools on it can be
// tried without the server.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/help_format.h"
#include "common/stop_signals.h"
#include "sanperf-sim/fault.h"
#include "sanperf-sim/pace.h"
#include "sanperf-sim/server_model.h"
#include "sanperf-sim/tree_publisher.h"
#include "sanperf-sim/tree_writer.h"

namespace {

namespace tools = sanperf_tools;
using clock_type = std::chrono::steady_clock;

const char* const usage =
    "usage: sanperf-sim [--sessions N] [--sockets N] [--interval MS] [--seed S]\n"
    "                   [--once] [--fault FAULT]... DIR\n"
    "Run 'sanperf-sim --help' for more.\n";

struct options {
    std::string dir;
    unsigned sessions = 8;
    unsigned sockets = 8;
    unsigned interval_ms = 1000;
    std::uint64_t seed = 1;
    bool once = false;
    std::vector<sanperf_sim::fault> faults;
};

int run(const options& opt) {
    // Stop requests are checked between objects. The first state is only
    // worth having whole, so any request stops its writing; later, a first
    // request lets the current update finish, so the tree is left at one
    // state, and a second one stops at once.
    tools::catch_stop_signals(tools::second_stop::counted);

    sanperf_sim::server_model model(opt.seed, opt.sessions, opt.sockets);
    for (const auto& f : opt.faults) model.add_fault(f);
    sanperf_sim::tree_writer writer(opt.dir);
    sanperf_sim::tree_publisher publisher(writer);
    try {
        publisher.publish(model, [] { return tools::stop_requests() > 0; });
    } catch (const sanperf_sim::interrupted&) {
        writer.discard();
        tools::end_by_signal(tools::first_stop_signal());
    }
    writer.appear();
    if (opt.once) return 0;

    std::printf("sanperf-sim: tree ready in %s, updated every %u ms until SIGINT or SIGTERM\n",
                opt.dir.c_str(), opt.interval_ms);
    std::fflush(stdout);

    const auto interval = std::chrono::milliseconds(opt.interval_ms);
    sanperf_sim::pace clock(opt.interval_ms, clock_type::now());
    auto next = clock_type::now() + interval;
    while (!tools::wait_for_stop(next)) {
        auto started = clock_type::now();
        model.advance(clock.step(started));
        try {
            publisher.publish(model, [] { return tools::stop_requests() > 1; });
        } catch (const sanperf_sim::interrupted&) {
            tools::end_by_signal(tools::first_stop_signal());
        }
        const auto ended = clock_type::now();
        if (auto warning = clock.took(ended - started, ended)) std::cerr << *warning << "\n";
        // A slow update delays the next one rather than causing a burst.
        next = std::max(next + interval, clock_type::now());
    }
    return 0;
}

// Reads a seed: decimal digits only, and within 64 bits.
std::string seed_error(std::string& value) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return "seed must be a whole number from 0 to 18446744073709551615";
    errno = 0;
    std::strtoull(value.c_str(), nullptr, 10);
    if (errno == ERANGE) return "seed must be at most 18446744073709551615";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    // The unsigned conversion would silently wrap "-1" to a huge number.
    const CLI::Validator not_negative(
        [](std::string& value) {
            return value.find('-') == std::string::npos ? std::string() : "must not be negative";
        },
        "", "not negative");
    CLI::App app{
        "Publishes a simulated SAN server's statistics tree in DIR (as the server does in "
        "/sys/kernel) and keeps it changing until SIGINT or SIGTERM.",
        "sanperf-sim"};
    app.formatter(std::make_shared<sanperf_cli::help_formatter>(" "));
    app.add_option("DIR", opt.dir, "Directory to write the tree into (created if missing)")
        ->required()
        ->check(CLI::Validator(
            [](std::string& value) { return value.empty() ? "must not be empty" : std::string(); },
            "", "not empty"));
    app.add_option("--sessions", opt.sessions, "Number of sessions")
        ->type_name("N")
        ->default_val(opt.sessions)
        ->check(CLI::Range(0u, 1000000u).description(""));
    app.add_option("--sockets", opt.sockets, "Number of sockets")
        ->type_name("N")
        ->default_val(opt.sockets)
        ->check(CLI::Range(0u, 1000000u).description(""));
    app.add_option("--interval", opt.interval_ms,
                   "Milliseconds between updates; on a tree too big to update that often, "
                   "updates follow each other as fast as they can")
        ->type_name("MS")
        ->default_val(opt.interval_ms)
        ->check(CLI::Range(1u, 3600000u).description(""));
    app.add_option("--seed", opt.seed, "Seed of the simulation: a seed always gives the same trees")
        ->type_name("S")
        ->default_val(opt.seed)
        ->check(not_negative)
        ->check(CLI::Validator(seed_error, "", "seed"));
    app.add_flag("--once", opt.once, "Write one state and exit");
    std::vector<std::string> faults;
    app.add_option("--fault", faults,
                   "Make one disk queue, session or socket slow or busy from a time on "
                   "(repeatable): TARGET:slow|busy[=VALUE][:after=DURATION], TARGET being "
                   "disk<d>_<q>, session<n> or sock<n>, optionally with /STREAM (handler, "
                   "processing; read, write; a socket slot such as wait_for_space). slow=TIME "
                   "per operation (default 500ms), busy=RATE operations per second (default "
                   "20000); after counts from the start (default 0). "
                   "Example: disk1_3:slow:after=5s")
        ->allow_extra_args(false)
        ->type_name("FAULT");
    app.set_version_flag("--version", "sanperf-sim " SANPERF_VERSION);

    try {
        app.parse(argc, argv);
        for (const std::string& text : faults) {
            sanperf_sim::fault f;
            std::string why;
            if (!sanperf_sim::parse_fault(text, f, why)) throw CLI::ValidationError("--fault", why);
            // The first sessions and sockets are numbered 1..N.
            const bool is_session = f.object == sanperf_sim::object_kind::session;
            const unsigned count = is_session ? opt.sessions : opt.sockets;
            if (f.object != sanperf_sim::object_kind::disk_queue && f.number > count)
                throw CLI::ValidationError(
                    "--fault", text + ": there " + (count == 1 ? "is " : "are ") +
                                   std::to_string(count) + (is_session ? " session" : " socket") +
                                   (count == 1 ? "" : "s") + ", numbered from 1");
            opt.faults.push_back(f);
        }
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::cerr << "sanperf-sim: " << e.what() << "\n" << usage;
        return 2;
    }

    try {
        return run(opt);
    } catch (const std::system_error& e) {
        std::cerr << "sanperf-sim: cannot write the tree: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "sanperf-sim: " << e.what() << "\n";
        return 1;
    }
}
