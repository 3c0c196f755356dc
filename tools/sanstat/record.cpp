#include "sanstat/record.h"

#include <sqlite3.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>
#include <memory>

#include "common/archive_schema.h"
#include "common/archive_writer.h"
#include "common/root_mount.h"
#include "common/snapshot.h"
#include "common/stop_signals.h"
#include "common/thread_pool.h"
#include "common/time_text.h"
#include "common/time_unit.h"
#include "sanstat/subcommand.h"
#include "sanstat/tree_watch.h"

namespace sanstat {

namespace {

namespace tools = sanperf_tools;
using clock_type = std::chrono::steady_clock;

const subcommand_line command_line(
    "record",
    "usage: sanstat record --archive FILE [--interval SECONDS]\n"
    "                      [--retain-age DURATION] [--retain-size SIZE]\n"
    "                      [--time-unit ns|us|ms|s] [--root DIR] [--threads N]\n"
    "Run 'sanstat record --help' for more.\n");

// The defaults keep a month of samplings every 10 s, or less where the
// size comes first: docs/archive.md sizes them.
constexpr double default_interval = 10;
constexpr const char* default_retain_age = "30d";
constexpr const char* default_retain_size = "2G";
// Below this an archive could not hold two keyframes of a big tree.
constexpr std::uint64_t min_retain_size = 1024 * 1024;

// A failure to store is said at most this often, with the count since.
constexpr auto complaint_period = std::chrono::minutes(1);

struct record_options {
    std::string archive, root;
    double interval = default_interval;
    std::string retain_age = default_retain_age, retain_size = default_retain_size;
    std::optional<std::string> unit_name;
    unsigned threads = 1;
};

int parse(int argc, char** argv, record_options& opt, tools::recording_settings& settings) {
    CLI::App app{
        "Samples the tree every interval into FILE, an SQLite archive that every sanstat "
        "view reads back with --archive FILE. The oldest samplings go first when the "
        "archive is older than --retain-age or bigger than --retain-size. One recorder "
        "per archive; readers may read it while it records. Stops at SIGINT or SIGTERM "
        "once the sampling under way is stored.",
        "sanstat record"};
    app.add_option("--archive", opt.archive, "The archive to append to, created if missing")
        ->type_name("FILE")
        ->required();
    app.add_option("--interval", opt.interval, "Seconds between samplings (default 10)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 86400.0).description(""));
    app.add_option("--retain-age", opt.retain_age,
                   "Drop samplings older than this: 90s, 12h, 30d, 2w (default 30d)")
        ->type_name("DURATION");
    app.add_option("--retain-size", opt.retain_size,
                   "Keep the archive within this size, free pages and log included: 64M, 1G "
                   "(powers of 1024; default 2G, at least 1M)")
        ->type_name("SIZE");
    app.add_option("--time-unit", opt.unit_name,
                   std::string("The unit the tree counts time in, kept in the archive for its "
                               "readers (default: $") +
                       tools::time_unit_variable + ")")
        ->type_name("ns|us|ms|s");
    app.add_option("--root", opt.root, "Read the statistics tree in DIR instead of /sys/kernel")
        ->type_name("DIR");
    opt.threads = tools::default_threads();
    app.add_option("--threads", opt.threads, tools::threads_help())
        ->type_name("N")
        ->check(CLI::Range(1u, tools::max_threads).description(""));
    app.set_version_flag("--version", "sanstat " SANSTAT_VERSION);
    if (int code = command_line.parse(app, argc, argv); code >= 0) return code;
    std::string error;
    std::optional<tools::time_unit> unit;
    if (!tools::resolve_time_unit(opt.unit_name, unit, error)) return command_line.refuse(error);
    if (unit) settings.time_unit = unit->name;
    settings.interval_ms = static_cast<std::int64_t>(opt.interval * 1000);
    if (!tools::parse_duration_ms(opt.retain_age, settings.retain_age_ms, error))
        return command_line.refuse("--retain-age: " + error);
    if (!tools::parse_size(opt.retain_size, settings.retain_size, error))
        return command_line.refuse("--retain-size: " + error);
    if (settings.retain_size < min_retain_size)
        return command_line.refuse("--retain-size: at least 1M");
    settings.version = SANSTAT_VERSION;
    return -1;
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Says why samplings are not being stored, at most once a period, with how
// many were lost since it last spoke; and once more when storing works again.
class store_failures {
public:
    explicit store_failures(std::string archive) : archive_(std::move(archive)) {}
    void failed(const std::string& why) {
        ++lost_;
        auto now = clock_type::now();
        if (said_ && now - last_said_ < complaint_period) return;
        std::cerr << "sanstat record: " << why << ": the sampling is not stored (" << lost_
                  << " lost so far); trying again at every sampling\n";
        said_ = true;
        last_said_ = now;
    }
    void stored() {
        if (lost_ == 0) return;
        std::cerr << "sanstat record: " << archive_ << ": recording again after " << lost_
                  << " lost samplings\n";
        lost_ = 0;
        said_ = false;
    }

private:
    std::string archive_;
    long long lost_ = 0;
    bool said_ = false;
    clock_type::time_point last_said_;
};

}  // namespace

int run_record(int argc, char** argv) {
    record_options opt;
    tools::recording_settings settings;
    if (int code = parse(argc, argv, opt, settings); code >= 0) return code;
    std::string why;
    if (!opt.root.empty() && !tools::mount_root(opt.root, why)) {
        std::cerr << "sanstat record: cannot read " << opt.root
                  << " in place of /sys/kernel: " << why << "\n";
        return 1;
    }
    std::unique_ptr<tools::thread_pool> pool;
    if (opt.threads > 1) pool = std::make_unique<tools::thread_pool>(opt.threads);
    tools::catch_stop_signals(tools::second_stop::ends_process);
    std::unique_ptr<tools::archive_writer> writer;
    try {
        writer = std::make_unique<tools::archive_writer>(opt.archive, settings);
    } catch (const std::exception& e) {
        std::cerr << "sanstat record: " << e.what() << "\n";
        return 1;
    }
    tree_watch watch(opt.root.empty() ? "/sys/kernel" : opt.root);
    store_failures failures(opt.archive);
    const auto interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opt.interval));
    auto next = clock_type::now();
    tools::selection everything;
    while (tools::stop_requests() == 0) {
        tools::snapshot snap = tools::take_snapshot(everything, pool.get());
        watch.check(snap, true);
        try {
            writer->append(
                snap, wall_ms(),
                std::chrono::duration_cast<std::chrono::nanoseconds>(snap.taken.time_since_epoch())
                    .count());
            failures.stored();
        } catch (const tools::sqlite_error& e) {
            // A full disk, or one that fails for a while: the archive is as
            // it was, and the next sampling tries again.
            if (e.code() != SQLITE_FULL && e.code() != SQLITE_IOERR && e.code() != SQLITE_BUSY)
                throw;
            failures.failed(e.what());
        }
        next = std::max(next + interval, clock_type::now());
        if (tools::wait_for_stop(next)) break;
    }
    return 0;
}

}  // namespace sanstat
