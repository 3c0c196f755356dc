#include "sanstat/top_replay.h"

#include <algorithm>

#include "common/archive_schema.h"
#include "common/time_text.h"
#include "sanstat/archive_report.h"

namespace sanstat {

namespace tools = sanperf_tools;

archive_replay::archive_replay(const options& opt)
    : opt_(opt), archive_(opt.archive), mask_(tools::kinds_of(opt.blocks)) {
    std::optional<tools::sampling_meta> first = archive_.first();
    if (!first) throw tools::archive_error(opt.archive + ": holds no sampling yet");
    tools::run_info run = archive_.run(first->run);
    if (run.time_unit) unit_ = tools::parse_time_unit(*run.time_unit);
    std::int64_t recorded = run.interval_ms;
    step_ms_ = opt.interval ? static_cast<std::int64_t>(*opt.interval * 1000)
                            : std::max<std::int64_t>(
                                  recorded, static_cast<std::int64_t>(default_top_interval * 1000));
    show(std::max(opt.begin_ms.value_or(first->time_ms), first->time_ms));
}

void archive_replay::show(std::int64_t at_ms) {
    std::optional<tools::sampling_meta> last = archive_.last();
    at_ms_ = std::min(at_ms, last->time_ms);
    following_ = at_ms_ >= last->time_ms;
    now_.reset();
    before_.reset();
    std::optional<tools::sampling_meta> s = archive_.at_or_before(at_ms_, true);
    std::int64_t recorded = s ? archive_.run(s->run).interval_ms : step_ms_;
    // A sampling older than twice the recorder's interval is not this moment.
    if (!s || s->time_ms <= at_ms_ - std::max(step_ms_, 2 * recorded)) {
        std::optional<tools::sampling_meta> any = archive_.at_or_before(at_ms_, false);
        gap_ =
            "no sampling at " + tools::local_time_text(at_ms_) +
            (any && any->tree == 0 ? ": the tree was missing" : ": the recorder was not running");
        return;
    }
    const tools::sampling_state& state = archive_.load(*s, mask_);
    std::optional<tools::sampling_meta> p = archive_.at_or_before(at_ms_ - step_ms_, true);
    if (p && p->seq < s->seq && p->time_ms > at_ms_ - 2 * step_ms_ &&
        gaps_between(archive_, *p, *s).empty()) {
        tools::sampling_state now_state = state;
        tools::sampling_state before_state = archive_.load(*p, mask_);
        tools::keep_same_lifetimes(before_state, now_state);
        before_ = archived_snapshot(before_state, opt_.blocks, *p, 0);
        now_ = archived_snapshot(now_state, opt_.blocks, *s, tools::seconds_between(*p, *s));
    } else {
        now_ = archived_snapshot(state, opt_.blocks, *s, 0);
    }
}

void archive_replay::refresh() {
    if (!following_) return;
    std::optional<tools::sampling_meta> last = archive_.last();
    if (last && last->time_ms > at_ms_) {
        ++sequence_;
        show(last->time_ms);
    }
}

bool archive_replay::step(int direction) {
    std::optional<tools::sampling_meta> first = archive_.first();
    std::int64_t to = at_ms_ + direction * step_ms_;
    if (first) to = std::max(to, first->time_ms);
    sequence_ += direction;
    show(to);
    return true;
}

}  // namespace sanstat
