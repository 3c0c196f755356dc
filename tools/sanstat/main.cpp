// sanstat: the operator's viewer of the SAN server's performance counters,
// in the manner of iostat.

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>

#include "options.h"
#include "output.h"
#include "render.h"
#include "report.h"
#include "root_mount.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Waits until deadline or until one of the signals in stop arrives (they are
// blocked, so one that comes during a report waits as pending until taken
// here). Returns true for a signal.
bool wait_for_stop(const sigset_t& stop, clock_type::time_point deadline) {
    for (;;) {
        auto left = deadline - clock_type::now();
        if (left < clock_type::duration::zero()) left = {};
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (sigtimedwait(&stop, nullptr, &timeout) > 0) return true;
        if (errno == EAGAIN) return false;
        // EINTR: another signal interrupted the wait; wait again.
    }
}

int run(const sanstat::options& opt) {
    std::string why;
    if (!opt.root.empty() && !sanstat::mount_root(opt.root, why)) {
        std::cerr << "sanstat: cannot read " << opt.root << " in place of /sys/kernel: " << why
                  << "\n";
        return 1;
    }

    // In interval mode a stop request ends the run after the current report,
    // so no report is cut short.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (opt.interval) sigprocmask(SIG_BLOCK, &stop, nullptr);

    const auto interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opt.interval.value_or(0)));
    auto next = clock_type::now();
    std::optional<sanstat::snapshot> before;
    for (int n = 1;; ++n) {
        sanstat::snapshot now = sanstat::take_snapshot(opt.blocks);
        sanstat::report r = sanstat::make_report(before ? &*before : nullptr, now, n);
        std::string text = sanstat::render(opt.output, r);
        bool written = opt.write_file.empty() ? sanstat::write_stdout(text, why)
                                              : sanstat::replace_file(opt.write_file, text, why);
        if (!written) {
            std::cerr << "sanstat: " << why << "\n";
            return 1;
        }
        if (!opt.interval || (opt.count && n >= *opt.count)) return 0;
        before = std::move(now);
        // Reports keep to the interval's grid; a slow one delays the next
        // rather than causing a burst.
        next = std::max(next + interval, clock_type::now());
        if (wait_for_stop(stop, next)) return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    sanstat::options opt;
    int code = sanstat::parse_options(argc, argv, opt);
    if (code >= 0) return code;
    try {
        return run(opt);
    } catch (const std::exception& e) {
        std::cerr << "sanstat: " << e.what() << "\n";
        return 1;
    }
}
