// sanperf-sim: publishes a simulated SAN server's statistics tree in a
// directory and keeps it changing, so sanperf and the tools on it can be
// tried without the server.

#include <CLI/CLI.hpp>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>

#include "server_model.h"
#include "tree_publisher.h"
#include "tree_writer.h"

namespace {

struct options {
    std::string dir;
    unsigned sessions = 8;
    unsigned sockets = 8;
    unsigned interval_ms = 1000;
    std::uint64_t seed = 1;
    bool once = false;
};

// Waits until deadline or until one of the signals in stop arrives (they are
// blocked, so they wait as pending until taken here). Returns true for a
// signal.
bool wait_for_stop(const sigset_t& stop, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = deadline - std::chrono::steady_clock::now();
        if (left < std::chrono::steady_clock::duration::zero()) left = {};
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (sigtimedwait(&stop, nullptr, &timeout) > 0) return true;
        if (errno == EAGAIN) return false;
        // EINTR: some other signal interrupted the wait; wait again.
    }
}

int run(const options& opt) {
    // Stop requests wait until a whole state is written, so the tree is
    // never left half updated.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    sanperf_sim::server_model model(opt.seed, opt.sessions, opt.sockets);
    sanperf_sim::tree_writer writer(opt.dir);
    sanperf_sim::tree_publisher publisher(writer);
    publisher.publish(model);
    if (opt.once) return 0;

    std::printf("sanperf-sim: tree ready in %s, updated every %u ms until SIGINT or SIGTERM\n",
                opt.dir.c_str(), opt.interval_ms);
    std::fflush(stdout);

    const auto interval = std::chrono::milliseconds(opt.interval_ms);
    auto next = std::chrono::steady_clock::now() + interval;
    while (!wait_for_stop(stop, next)) {
        model.advance(opt.interval_ms);
        publisher.publish(model);
        // A slow write delays the next step rather than causing a burst.
        next = std::max(next + interval, std::chrono::steady_clock::now());
    }
    return 0;
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
    CLI::App app{"Publishes a simulated SAN server's statistics tree in DIR (as the server does in "
                 "/sys/kernel) and keeps it changing until SIGINT or SIGTERM.",
                 "sanperf-sim"};
    app.add_option("DIR", opt.dir, "Directory to write the tree into (created if missing)")
        ->required();
    app.add_option("--sessions", opt.sessions, "Number of sessions")
        ->default_val(opt.sessions)
        ->check(CLI::Range(0u, 1000000u));
    app.add_option("--sockets", opt.sockets, "Number of sockets")
        ->default_val(opt.sockets)
        ->check(CLI::Range(0u, 1000000u));
    app.add_option("--interval", opt.interval_ms, "Milliseconds between updates")
        ->default_val(opt.interval_ms)
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--seed", opt.seed, "Seed of the simulation: a seed always gives the same trees")
        ->default_val(opt.seed)
        ->check(not_negative);
    app.add_flag("--once", opt.once, "Write one state and exit");
    app.set_version_flag("--version", "sanperf-sim " SANPERF_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::cerr << "sanperf-sim: " << e.what() << "\n" << app.help();
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
