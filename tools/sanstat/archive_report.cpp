#include "sanstat/archive_report.h"

#include <iostream>

#include "common/stop_signals.h"
#include "common/time_text.h"
#include "sanstat/report_output.h"
#include "sanstat/unmatched.h"

namespace sanstat {

namespace tools = sanperf_tools;

namespace {

// opt with the archive's time unit when the command line and the
// environment gave none.
options with_archive_unit(const options& opt, tools::archive_reader& archive,
                          const tools::sampling_meta& m) {
    options out = opt;
    if (!opt.unit_given) {
        if (std::optional<std::string> name = archive.run(m.run).time_unit)
            out.style.unit = tools::parse_time_unit(*name);
    }
    return out;
}

// Every report over the window, from its first to its last sampling of the
// tree.
int window_report(const options& opt, tools::archive_reader& archive, std::int64_t begin_ms,
                  std::int64_t end_ms) {
    std::optional<tools::sampling_meta> a = archive.at_or_after(begin_ms, true);
    std::optional<tools::sampling_meta> b = archive.at_or_before(end_ms, true);
    if (!a || !b || a->seq > b->seq) {
        std::cerr << "sanstat: " << archive.path() << " holds no sampling of the tree from "
                  << tools::local_time_text(begin_ms) << " to " << tools::local_time_text(end_ms)
                  << "\n";
        return 1;
    }
    options o = with_archive_unit(opt, archive, *b);
    report_output output(o);
    for (const archive_gap& g : gaps_between(archive, *a, *b))
        output.gap(1, g.from_ms, g.to_ms, g.why);
    const int mask = tools::kinds_of(opt.blocks);
    tools::sampling_state first = archive.load(*a, mask);
    const tools::sampling_state& last = archive.load(*b, mask);
    tools::snapshot now = archived_snapshot(last, opt.blocks, *b, tools::seconds_between(*a, *b));
    report_unmatched(opt, now, archive.path());
    if (a->seq == b->seq) {
        output.report(now, nullptr, 1);
        return 0;
    }
    tools::keep_same_lifetimes(first, last);
    tools::snapshot before = archived_snapshot(first, opt.blocks, *a, 0);
    output.report(now, &before, 1);
    return 0;
}

// One report per interval of the archive's time from the window's start,
// as live: the first of the totals (unless -y), then each over the
// interval; count of them at most.
int interval_reports(const options& opt, tools::archive_reader& archive, std::int64_t begin_ms,
                     std::int64_t end_ms) {
    const auto step_ms = static_cast<std::int64_t>(*opt.interval * 1000);
    // The reports keep to a grid that starts at the window's first sampling.
    std::optional<tools::sampling_meta> first = archive.at_or_after(begin_ms, true);
    if (!first || first->time_ms > end_ms) {
        std::cerr << "sanstat: " << archive.path() << " holds no sampling of the tree from "
                  << tools::local_time_text(begin_ms) << " to " << tools::local_time_text(end_ms)
                  << "\n";
        return 1;
    }
    const std::int64_t recorded_ms = archive.run(first->run).interval_ms;
    {
        if (step_ms < recorded_ms) {
            std::cerr << "sanstat: " << archive.path() << " holds a sampling every "
                      << static_cast<double>(recorded_ms) / 1000
                      << " s: give an interval of at least that\n";
            return 1;
        }
    }
    options o = with_archive_unit(opt, archive, *first);
    // Samplings keep to the recorder's grid only roughly: each report takes
    // the last one up to half a recorder's interval past its moment.
    const std::int64_t slack = recorded_ms / 2;
    report_output output(o);
    const int mask = tools::kinds_of(opt.blocks);
    const long long last = opt.count ? *opt.count + (opt.omit_first ? 1LL : 0LL) : 0;
    std::optional<tools::sampling_meta> prev;
    tools::sampling_state prev_state;
    bool in_gap = false, unmatched_said = false;
    bool late = false;  // the last moment waits for a late sampling
    int n = 1;
    for (std::int64_t g = first->time_ms; g <= end_ms || late; g += step_ms, ++n) {
        if (tools::stop_requests() > 0) break;
        std::optional<tools::sampling_meta> s = archive.at_or_before(g + slack, true);
        bool fresh = s && s->time_ms > g + slack - step_ms && (!prev || s->seq > prev->seq);
        if (!fresh && prev) {
            // A recorder that falls behind samples as soon as it can, so
            // under load its samplings drift off the grid. A sampling at
            // most two intervals after the last, in the same run and of a
            // tree, is late, not missing: this moment gets no report of
            // its own and the next one spans it.
            std::optional<tools::sampling_meta> next =
                archive.at_or_after(prev->time_ms + 1, false);
            if (next && next->run == prev->run && !next->breaks_series() &&
                next->time_ms - prev->time_ms <= 2 * recorded_ms) {
                if (next->time_ms > end_ms) break;  // the window ends first
                --n;
                late = true;
                continue;
            }
        }
        late = false;
        if (!fresh) {
            if (!in_gap) {
                // One line for the whole period, from the last sampling to
                // the next one (or the window's end).
                std::optional<tools::sampling_meta> next = archive.at_or_after(g, true);
                std::int64_t from = prev ? prev->time_ms : g - step_ms;
                std::int64_t to = next && next->time_ms <= end_ms ? next->time_ms : end_ms;
                const char* why = "none was stored";
                if (prev && next) {
                    std::vector<archive_gap> gaps = gaps_between(archive, *prev, *next);
                    if (!gaps.empty()) why = gaps.front().why;
                } else if (std::optional<tools::sampling_meta> any = archive.at_or_before(g, false);
                           any && any->tree == 0 && any->time_ms > g - step_ms) {
                    why = "the tree was missing";
                } else if (!prev) {
                    why = "the archive holds none";
                }
                output.gap(n, from, to, why);
                in_gap = true;
            }
            prev.reset();
        } else {
            if (prev && !gaps_between(archive, *prev, *s).empty()) {
                for (const archive_gap& gap : gaps_between(archive, *prev, *s))
                    output.gap(n, gap.from_ms, gap.to_ms, gap.why);
                prev.reset();
            }
            in_gap = false;
            const tools::sampling_state& state = archive.load(*s, mask);
            if (!unmatched_said)
                report_unmatched(opt, archived_snapshot(state, opt.blocks, *s, 0), archive.path());
            unmatched_said = true;
            if (prev) {
                tools::sampling_state before_state = prev_state;
                tools::keep_same_lifetimes(before_state, state);
                tools::snapshot before = archived_snapshot(before_state, opt.blocks, *prev, 0);
                tools::snapshot now =
                    archived_snapshot(state, opt.blocks, *s, tools::seconds_between(*prev, *s));
                output.report(now, &before, n);
            } else if (!opt.omit_first) {
                output.report(archived_snapshot(state, opt.blocks, *s, 0), nullptr, n);
            }
            prev = s;
            prev_state = state;
        }
        if (opt.count && n >= last) break;
    }
    return 0;
}

}  // namespace

std::vector<archive_gap> gaps_between(tools::archive_reader& archive, const tools::sampling_meta& a,
                                      const tools::sampling_meta& b) {
    std::vector<archive_gap> out;
    std::optional<archive_gap> missing;  // a tree missing, not yet found again
    for (const tools::sampling_meta& m : archive.breaks(a.seq, b.seq)) {
        std::optional<tools::sampling_meta> before = archive.by_seq(m.seq - 1);
        std::int64_t from = before ? before->time_ms : m.time_ms;
        if (m.tree == 0) {
            if (!missing) missing = archive_gap{from, m.time_ms, "the tree was missing"};
            continue;
        }
        if (missing) {
            missing->to_ms = m.time_ms;
            out.push_back(*missing);
            missing.reset();
            continue;
        }
        out.push_back({from, m.time_ms, "the recorder was not running"});
    }
    if (missing) {
        missing->to_ms = b.time_ms;
        out.push_back(*missing);
    }
    return out;
}

tools::snapshot archived_snapshot(const tools::sampling_state& state, const tools::selection& sel,
                                  const tools::sampling_meta& m, double offset) {
    tools::snapshot snap = tools::snapshot_of(state, sel);
    snap.archived = true;
    snap.wall = static_cast<std::time_t>(m.time_ms / 1000);
    snap.taken = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(offset)));
    return snap;
}

int run_archive_report(const options& opt) {
    tools::catch_stop_signals(tools::second_stop::ends_process);
    tools::archive_reader archive(opt.archive);
    std::optional<tools::sampling_meta> first = archive.first(), last = archive.last();
    if (!first) {
        std::cerr << "sanstat: " << opt.archive << " holds no sampling yet\n";
        return 1;
    }
    std::int64_t begin_ms = opt.begin_ms.value_or(first->time_ms);
    std::int64_t end_ms = opt.end_ms.value_or(last->time_ms);
    if (opt.interval) return interval_reports(opt, archive, begin_ms, end_ms);
    return window_report(opt, archive, begin_ms, end_ms);
}

}  // namespace sanstat
