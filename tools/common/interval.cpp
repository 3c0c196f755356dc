#include "common/interval.h"

#include <algorithm>
#include <climits>

namespace sanperf_tools {

namespace {

// The cumulative part of a counter set, the part an interval subtracts.
struct totals {
    long long samples = 0;
    long long total_time = 0;
    long long total_count = 0;
};

void fill(counter_view& view, const totals& now, const totals* before,
          const std::optional<double>& seconds) {
    totals shown = now;
    if (before != nullptr && seconds) {
        totals increase;
        if (counter_increase(now.samples, before->samples, increase.samples) &&
            counter_increase(now.total_time, before->total_time, increase.total_time) &&
            counter_increase(now.total_count, before->total_count, increase.total_count)) {
            shown = increase;
        }
        if (*seconds > 0) view.samples_per_second = static_cast<double>(shown.samples) / *seconds;
    }
    view.samples = shown.samples;
    view.total_time = shown.total_time;
    view.total_count = shown.total_count;
    if (shown.samples > 0)
        view.avg_time = static_cast<double>(shown.total_time) / static_cast<double>(shown.samples);
}

counter_view stage_view(long long samples, long long total_time, long long total_count,
                        long long min_time, long long max_time, long long min_count,
                        long long max_count, const totals* before,
                        const std::optional<double>& seconds) {
    counter_view view;
    view.min_time = min_time;
    view.max_time = max_time;
    view.min_count = min_count;
    view.max_count = max_count;
    fill(view, totals{samples, total_time, total_count}, before, seconds);
    return view;
}

counter_view timed_view(long long samples, long long total_time, long long min_time,
                        long long max_time, const totals* before,
                        const std::optional<double>& seconds) {
    return stage_view(samples, total_time, 0, min_time, max_time, 0, 0, before, seconds);
}

template <typename Map, typename Key>
auto find_in(const Map& map, const Key& key) -> typename Map::mapped_type {
    auto found = map.find(key);
    return found == map.end() ? nullptr : found->second;
}

}  // namespace

bool counter_increase(long long now, long long before, long long& increase) {
    if (now < before) return false;
    // Unsigned arithmetic cannot overflow; the difference of two long longs
    // with now >= before always fits in an unsigned long long.
    unsigned long long difference =
        static_cast<unsigned long long>(now) - static_cast<unsigned long long>(before);
    if (difference > static_cast<unsigned long long>(LLONG_MAX)) return false;
    increase = static_cast<long long>(difference);
    return true;
}

interval::interval(const snapshot* before, const snapshot& now) {
    if (before == nullptr) return;
    seconds_ = std::chrono::duration<double>(now.taken - before->taken).count();
    // A disk queue that could not be read before has no counters to
    // subtract: it is new now, as a session that appears is.
    for (const auto& d : before->disks) {
        const auto& unreadable = before->unreadable_disks;
        if (std::find(unreadable.begin(), unreadable.end(), d.name) == unreadable.end())
            disks_.emplace(d.name, &d);
    }
    for (const auto& s : before->sessions) sessions_.emplace(s.id, &s);
    for (const auto& s : before->sockets) sockets_.emplace(s.number, &s);
}

disk_row interval::disk(const disk_queue_info& d) const {
    const disk_queue_info* old = find_in(disks_, d.name);
    disk_row row;
    row.name = &d.name;
    row.totals = old == nullptr;
    totals handler_before, processing_before;
    if (old != nullptr) {
        handler_before = {old->handler_samples, old->handler_total_time, old->handler_total_count};
        processing_before = {old->processing_samples, old->processing_total_time,
                             old->processing_total_count};
    }
    row.handler = stage_view(d.handler_samples, d.handler_total_time, d.handler_total_count,
                             d.handler_min_time, d.handler_max_time, d.handler_min_count,
                             d.handler_max_count, old ? &handler_before : nullptr, seconds_);
    row.processing =
        stage_view(d.processing_samples, d.processing_total_time, d.processing_total_count,
                   d.processing_min_time, d.processing_max_time, d.processing_min_count,
                   d.processing_max_count, old ? &processing_before : nullptr, seconds_);
    row.max_num_active = d.max_num_active;
    return row;
}

session_row interval::session(const session_info& s) const {
    const session_info* old = find_in(sessions_, s.id);
    session_row row;
    row.id = s.id;
    row.lba = s.lba;
    row.totals = old == nullptr;
    totals write_before, read_before;
    if (old != nullptr) {
        write_before = {old->write_samples, old->write_total_time, 0};
        read_before = {old->read_samples, old->read_total_time, 0};
    }
    row.write = timed_view(s.write_samples, s.write_total_time, s.write_min_time, s.write_max_time,
                           old ? &write_before : nullptr, seconds_);
    row.read = timed_view(s.read_samples, s.read_total_time, s.read_min_time, s.read_max_time,
                          old ? &read_before : nullptr, seconds_);
    return row;
}

socket_row interval::socket(const sock_info& s) const {
    const sock_info* old = find_in(sockets_, s.number);
    socket_row row;
    row.number = s.number;
    row.totals = old == nullptr;
    for (int i = 0; i < socket_slot_count; ++i) {
        const sock_stats& st = s.stats[i];
        totals before;
        if (old != nullptr) before = {old->stats[i].samples, old->stats[i].total_time, 0};
        row.slots[i] = timed_view(st.samples, st.total_time, st.min_time, st.max_time,
                                  old ? &before : nullptr, seconds_);
    }
    return row;
}

}  // namespace sanperf_tools
