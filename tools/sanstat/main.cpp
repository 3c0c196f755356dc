// sanstat: the operator's viewer of the SAN server's performance counters,
// in the manner of iostat.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>

#include "atomic_file.h"
#include "options.h"
#include "render_json.h"
#include "render_prometheus.h"
#include "render_table.h"
#include "root_mount.h"
#include "snapshot.h"
#include "stop_signals.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace tools = sanperf_tools;

void render(const sanstat::options& opt, const tools::snapshot& now,
            const tools::snapshot* before, int sequence, tools::sink& out) {
    switch (opt.output) {
    case sanstat::format::json: return tools::render_json(now, before, sequence, out);
    case sanstat::format::prometheus: return tools::render_prometheus(now, out);
    case sanstat::format::table: break;
    }
    tools::render_table(now, before, sequence, out);
}

void write_report(const sanstat::options& opt, const tools::snapshot& now,
                  const tools::snapshot* before, int sequence) {
    if (!opt.write_file.empty()) {
        tools::replace_file(opt.write_file,
                            [&](tools::sink& out) { render(opt, now, before, sequence, out); });
        return;
    }
    tools::fd_sink out(STDOUT_FILENO, "to standard output");
    render(opt, now, before, sequence, out);
    out.flush();
}

// Tells whether the statistics tree is there: a missing one is said once,
// and said again only when that changes.
class tree_watch {
public:
    explicit tree_watch(std::string where) : where_(std::move(where)) {}

    void check(const tools::snapshot& now, bool waiting) {
        if (now.tree_found == found_) return;
        found_ = now.tree_found;
        if (found_) {
            std::cerr << "sanstat: the statistics are now in " << where_ << "\n";
            return;
        }
        std::cerr << "sanstat: " << where_
                  << " holds no SAN server statistics (none of disk_queue/, session/, sock/)";
        if (where_ == "/sys/kernel") std::cerr << ": is the SAN server running on this machine?";
        if (waiting) std::cerr << "; waiting for them";
        std::cerr << "\n";
    }

private:
    std::string where_;
    bool found_ = true;
};

int run(const sanstat::options& opt) {
    std::string why;
    if (!opt.root.empty() && !sanstat::mount_root(opt.root, why)) {
        std::cerr << "sanstat: cannot read " << opt.root << " in place of /sys/kernel: " << why
                  << "\n";
        return 1;
    }

    // A first SIGINT or SIGTERM lets the current report finish, so none is
    // cut short; a second one ends sanstat at once.
    tools::catch_stop_signals(tools::second_stop::ends_process);

    tree_watch watch(opt.root.empty() ? "/sys/kernel" : opt.root);
    const auto interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opt.interval.value_or(0)));
    auto next = clock_type::now();
    std::optional<tools::snapshot> before;
    for (int n = 1;; ++n) {
        tools::snapshot now = tools::take_snapshot(opt.blocks);
        watch.check(now, opt.interval.has_value());
        if (!now.tree_found && !opt.interval) return 1;
        write_report(opt, now, before ? &*before : nullptr, n);
        if (!opt.interval || (opt.count && n >= *opt.count)) return 0;
        before = std::move(now);
        // Reports keep to the interval's grid; a slow one delays the next
        // rather than causing a burst.
        next = std::max(next + interval, clock_type::now());
        if (tools::wait_for_stop(next)) return 0;
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
