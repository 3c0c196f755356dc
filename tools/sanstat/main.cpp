// sanstat: the operator's viewer of the SAN server's performance counters,
// in the manner of iostat.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>

#include "common/root_mount.h"
#include "common/snapshot.h"
#include "common/stop_signals.h"
#include "common/thread_pool.h"
#include "sanstat/archive_report.h"
#include "sanstat/cut.h"
#include "sanstat/options.h"
#include "sanstat/record.h"
#include "sanstat/report_output.h"
#include "sanstat/top_view.h"
#include "sanstat/tree_watch.h"
#include "sanstat/unmatched.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace tools = sanperf_tools;

int run(const sanstat::options& opt) {
    std::string why;
    if (!opt.root.empty() && !sanperf_tools::mount_root(opt.root, why)) {
        std::cerr << "sanstat: cannot read " << opt.root << " in place of /sys/kernel: " << why
                  << "\n";
        return 1;
    }
    // Started after the mount above, which needs the process single-threaded.
    std::unique_ptr<tools::thread_pool> pool;
    if (opt.threads > 1) pool = std::make_unique<tools::thread_pool>(opt.threads);
    if (opt.top_view) return sanstat::run_top_view(opt, pool.get());
    if (!opt.archive.empty()) return sanstat::run_archive_report(opt);

    // A first SIGINT or SIGTERM lets the current report finish, so none is
    // cut short; a second one ends sanstat at once.
    tools::catch_stop_signals(tools::second_stop::ends_process);

    const std::string where = opt.root.empty() ? "/sys/kernel" : opt.root;
    sanstat::tree_watch watch(where);
    sanstat::report_output output(opt);
    const auto interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opt.interval.value_or(0)));
    // With -y the first report is read but not written, and not counted.
    const long long last = opt.count ? *opt.count + (opt.omit_first ? 1LL : 0LL) : 0;
    auto next = clock_type::now();
    std::optional<tools::snapshot> before;
    bool absent_said = false, unmatched_said = false;
    for (int n = 1;; ++n) {
        tools::snapshot now = tools::take_snapshot(opt.blocks, pool.get());
        watch.check(now, opt.interval.has_value());
        if (!now.tree_found && !opt.interval) return 1;
        if (!now.tree_found) {
            // The library reads a missing tree as zeros: those rows would
            // show a server that is not there as an idle one. One line says
            // so instead, and the next tree starts afresh.
            if (!absent_said) output.absent(now, where, n);
            absent_said = true;
            before.reset();
        } else {
            absent_said = false;
            if (!unmatched_said) sanstat::report_unmatched(opt, now, where);
            unmatched_said = true;
            const tools::snapshot* earlier = before ? &*before : nullptr;
            // -y leaves out reports of totals: the first, and the first after
            // the tree came back.
            if (earlier || !opt.omit_first) output.report(now, earlier, n);
            before = std::move(now);
        }
        if (!opt.interval || (opt.count && n >= last)) return 0;
        // Reports keep to the interval's grid; a slow one delays the next
        // rather than causing a burst.
        next = std::max(next + interval, clock_type::now());
        if (tools::wait_for_stop(next)) return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "record") return sanstat::run_record(argc - 1, argv + 1);
    if (command == "cut") return sanstat::run_cut(argc - 1, argv + 1);
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
