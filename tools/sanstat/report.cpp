#include "report.h"

#include <map>

namespace sanstat {

const char* const socket_slot_names[12] = {
    "aio_read",       "aio_write",        "perform_io_read",        "perform_io_write",
    "post_read",      "post_write",       "queue_modify_tx_offset", "queue_modify_rx_offset",
    "socket_read",    "socket_write",     "wait_for_space",         "wait_until_data_available",
};

namespace {

// The cumulative part of a counter set, the part an interval subtracts.
struct totals {
    long long samples;
    long long total_time;
    long long total_count;
};

// Fills the view from the current totals and, when known, the earlier ones.
void fill(counter_view& view, const totals& now, const totals* before,
          const std::optional<double>& seconds) {
    totals shown = now;
    if (before != nullptr && seconds) {
        bool went_back = now.samples < before->samples || now.total_time < before->total_time ||
                         now.total_count < before->total_count;
        // A counter that went back belongs to a replaced object, which
        // started again from zero during the interval.
        if (!went_back) {
            shown.samples -= before->samples;
            shown.total_time -= before->total_time;
            shown.total_count -= before->total_count;
        }
        if (*seconds > 0) view.samples_per_second = static_cast<double>(shown.samples) / *seconds;
    }
    view.samples = shown.samples;
    view.total_time = shown.total_time;
    view.total_count = shown.total_count;
    if (shown.samples > 0)
        view.avg_time = static_cast<double>(shown.total_time) / static_cast<double>(shown.samples);
}

counter_view handler_view(const disk_queue_info& now, const disk_queue_info* before,
                          const std::optional<double>& seconds) {
    counter_view view;
    view.min_time = now.handler_min_time;
    view.max_time = now.handler_max_time;
    view.min_count = now.handler_min_count;
    view.max_count = now.handler_max_count;
    totals t{now.handler_samples, now.handler_total_time, now.handler_total_count};
    totals b{};
    if (before != nullptr)
        b = {before->handler_samples, before->handler_total_time, before->handler_total_count};
    fill(view, t, before != nullptr ? &b : nullptr, seconds);
    return view;
}

counter_view processing_view(const disk_queue_info& now, const disk_queue_info* before,
                             const std::optional<double>& seconds) {
    counter_view view;
    view.min_time = now.processing_min_time;
    view.max_time = now.processing_max_time;
    view.min_count = now.processing_min_count;
    view.max_count = now.processing_max_count;
    totals t{now.processing_samples, now.processing_total_time, now.processing_total_count};
    totals b{};
    if (before != nullptr)
        b = {before->processing_samples, before->processing_total_time,
             before->processing_total_count};
    fill(view, t, before != nullptr ? &b : nullptr, seconds);
    return view;
}

// A counter set without counts (sessions, sockets).
counter_view timed_view(long long samples, long long total_time, long long min_time,
                        long long max_time, const long long* before_samples,
                        const long long* before_total_time, const std::optional<double>& seconds) {
    counter_view view;
    view.min_time = min_time;
    view.max_time = max_time;
    totals t{samples, total_time, 0};
    totals b{};
    if (before_samples != nullptr) b = {*before_samples, *before_total_time, 0};
    fill(view, t, before_samples != nullptr ? &b : nullptr, seconds);
    return view;
}

}  // namespace

report make_report(const snapshot* before, const snapshot& now, int sequence) {
    report r;
    r.sequence = sequence;
    r.wall = now.wall;
    r.now = now;
    if (before != nullptr)
        r.seconds = std::chrono::duration<double>(now.taken - before->taken).count();
    r.disks_shown = now.disks_read;
    r.sessions_shown = now.sessions_read;
    r.sockets_shown = now.sockets_read;

    std::map<std::string, const disk_queue_info*> old_disks;
    std::map<unsigned, const session_info*> old_sessions;
    std::map<unsigned, const sock_info*> old_sockets;
    if (before != nullptr) {
        for (const auto& d : before->disks) old_disks.emplace(d.name, &d);
        for (const auto& s : before->sessions) old_sessions.emplace(s.id, &s);
        for (const auto& s : before->sockets) old_sockets.emplace(s.number, &s);
    }

    for (const auto& d : now.disks) {
        auto found = old_disks.find(d.name);
        const disk_queue_info* old = found == old_disks.end() ? nullptr : found->second;
        disk_row row;
        row.name = d.name;
        row.totals = old == nullptr;
        row.handler = handler_view(d, old, r.seconds);
        row.processing = processing_view(d, old, r.seconds);
        row.max_num_active = d.max_num_active;
        r.disks.push_back(row);
    }
    for (const auto& s : now.sessions) {
        auto found = old_sessions.find(s.id);
        const session_info* old = found == old_sessions.end() ? nullptr : found->second;
        session_row row;
        row.id = s.id;
        row.lba = s.lba;
        row.totals = old == nullptr;
        row.write = timed_view(s.write_samples, s.write_total_time, s.write_min_time,
                               s.write_max_time, old ? &old->write_samples : nullptr,
                               old ? &old->write_total_time : nullptr, r.seconds);
        row.read = timed_view(s.read_samples, s.read_total_time, s.read_min_time, s.read_max_time,
                              old ? &old->read_samples : nullptr,
                              old ? &old->read_total_time : nullptr, r.seconds);
        r.sessions.push_back(row);
    }
    for (const auto& s : now.sockets) {
        auto found = old_sockets.find(s.number);
        const sock_info* old = found == old_sockets.end() ? nullptr : found->second;
        socket_row row;
        row.number = s.number;
        row.totals = old == nullptr;
        for (int i = 0; i < 12; ++i) {
            const sock_stats& st = s.stats[i];
            row.slots[i] = timed_view(st.samples, st.total_time, st.min_time, st.max_time,
                                      old ? &old->stats[i].samples : nullptr,
                                      old ? &old->stats[i].total_time : nullptr, r.seconds);
        }
        r.sockets.push_back(row);
    }
    return r;
}

}  // namespace sanstat
