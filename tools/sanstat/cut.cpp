#include "sanstat/cut.h"

#include <ctime>
#include <iostream>

#include "common/archive_copy.h"
#include "common/archive_reader.h"
#include "common/time_text.h"
#include "sanstat/subcommand.h"

namespace sanstat {

namespace tools = sanperf_tools;

namespace {

const subcommand_line command_line("cut",
                                   "usage: sanstat cut --archive FILE [--begin T] [--end T] OUT\n"
                                   "Run 'sanstat cut --help' for more.\n");

}  // namespace

int run_cut(int argc, char** argv) {
    CLI::App app{
        "Writes the samplings of FILE from --begin to --end into OUT, a new archive of its "
        "own that 'sanstat --archive OUT' reads like any other: to send a window to someone "
        "else. OUT must not exist.",
        "sanstat cut"};
    std::string archive, begin, end, out;
    app.add_option("--archive", archive, "The archive to cut from")->type_name("FILE")->required();
    app.add_option("--begin", begin,
                   "The window's start: 2026-12-08T03:12, '2026-12-08 03:12:30', 03:12, @EPOCH "
                   "or -DURATION (default: the archive's first sampling)")
        ->type_name("T");
    app.add_option("--end", end, "The window's end (default: the archive's last sampling)")
        ->type_name("T");
    app.add_option("OUT", out, "The new archive")->required();
    if (int code = command_line.parse(app, argc, argv); code >= 0) return code;
    const std::int64_t now_ms = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    std::string error;
    std::optional<std::int64_t> begin_ms, end_ms;
    for (auto [name, text, ms] :
         {std::tuple{"--begin", &begin, &begin_ms}, std::tuple{"--end", &end, &end_ms}}) {
        if (app.count(name) == 0) continue;
        std::int64_t v = 0;
        if (!tools::parse_time_text(*text, now_ms, v, error))
            return command_line.refuse(std::string(name) + ": " + error);
        *ms = v;
    }
    if (begin_ms && end_ms && *begin_ms > *end_ms)
        return command_line.refuse("--begin is after --end");
    try {
        tools::archive_reader source(archive);
        std::optional<tools::sampling_meta> first = source.first(), last = source.last();
        std::optional<tools::sampling_meta> a, b;
        if (first) {
            a = source.at_or_after(begin_ms.value_or(first->time_ms), false);
            b = source.at_or_before(end_ms.value_or(last->time_ms), false);
        }
        if (!a || !b || a->seq > b->seq) {
            std::cerr << "sanstat cut: " << archive << " holds no sampling in the window\n";
            return 1;
        }
        std::int64_t copied = tools::copy_window(source, a->seq, b->seq, out);
        std::cerr << "sanstat cut: " << copied << " samplings, "
                  << tools::local_time_text(a->time_ms) << " to "
                  << tools::local_time_text(b->time_ms) << ", written to " << out << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "sanstat cut: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace sanstat
