#include "common/archive_sampling.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "common/tree_layout.h"

namespace sanperf_tools {

namespace {

constexpr object_kind kinds[] = {object_kind::disk, object_kind::session, object_kind::socket};

std::uint32_t disk_key(const std::string& name) {
    int disk = 0, queue = 0;
    if (std::sscanf(name.c_str(), "disk%d_%d", &disk, &queue) != 2) return 0;
    return static_cast<std::uint32_t>((disk - 1) * queues_per_disk + queue);
}

void put_disk(kind_state& k, const disk_queue_info& d) {
    k.keys.push_back(disk_key(d.name));
    for (long long v :
         {d.handler_samples, d.handler_total_time, d.handler_min_time, d.handler_max_time,
          d.handler_total_count, d.handler_min_count, d.handler_max_count, d.processing_samples,
          d.processing_total_time, d.processing_min_time, d.processing_max_time,
          d.processing_total_count, d.processing_min_count, d.processing_max_count})
        k.values.push_back(v);
    k.values.push_back(d.max_num_active);
}

void put_session(kind_state& k, const session_info& s) {
    k.keys.push_back(s.id);
    for (long long v :
         {static_cast<long long>(s.lba), s.write_samples, s.write_total_time, s.write_min_time,
          s.write_max_time, s.read_samples, s.read_total_time, s.read_min_time, s.read_max_time})
        k.values.push_back(v);
}

void put_socket(kind_state& k, const sock_info& s) {
    k.keys.push_back(s.number);
    for (const sock_stats& st : s.stats)
        for (long long v : {st.samples, st.total_time, st.min_time, st.max_time})
            k.values.push_back(v);
}

// Reorders a kind's objects by key, as the frames store them.
void sort_by_key(kind_state& k, int width) {
    std::vector<std::size_t> order(k.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return k.keys[a] < k.keys[b]; });
    kind_state sorted;
    const auto w = static_cast<std::size_t>(width);
    for (std::size_t i : order) {
        sorted.keys.push_back(k.keys[i]);
        sorted.values.insert(sorted.values.end(), k.values.begin() + static_cast<long>(i * w),
                             k.values.begin() + static_cast<long>((i + 1) * w));
    }
    k = std::move(sorted);
}

void assign_births(object_kind kind, const kind_state* before, kind_state& now, std::int64_t seq) {
    const auto w = static_cast<std::size_t>(object_width(kind));
    now.births.assign(now.size(), seq);
    if (before == nullptr) return;
    std::size_t j = 0;
    for (std::size_t i = 0; i < now.size(); ++i) {
        while (j < before->size() && before->keys[j] < now.keys[i]) ++j;
        if (j == before->size() || before->keys[j] != now.keys[i]) continue;
        bool went_back = false;
        for (std::size_t f = 0; f < w; ++f)
            if (cumulative_field(kind, static_cast<int>(f)) &&
                now.values[i * w + f] < before->values[j * w + f])
                went_back = true;
        if (!went_back) now.births[i] = before->births[j];
    }
}

long long at(const kind_state& k, std::size_t object, std::size_t width, std::size_t field) {
    return k.values[object * width + field];
}

}  // namespace

kind_state& sampling_state::of(object_kind kind) {
    return kind == object_kind::disk ? disks : kind == object_kind::session ? sessions : sockets;
}

const kind_state& sampling_state::of(object_kind kind) const {
    return kind == object_kind::disk ? disks : kind == object_kind::session ? sessions : sockets;
}

sampling_state state_of(const snapshot& snap, const sampling_state* before, std::int64_t seq) {
    sampling_state s;
    s.tree = (snap.disks_found ? found_disks : 0) | (snap.sessions_found ? found_sessions : 0) |
             (snap.sockets_found ? found_sockets : 0);
    if (snap.disks_found)
        for (const auto& d : snap.disks) put_disk(s.disks, d);
    if (snap.sessions_found)
        for (const auto& x : snap.sessions) put_session(s.sessions, x);
    if (snap.sockets_found)
        for (const auto& x : snap.sockets) put_socket(s.sockets, x);
    for (object_kind kind : kinds) {
        sort_by_key(s.of(kind), object_width(kind));
        assign_births(kind, before ? &before->of(kind) : nullptr, s.of(kind), seq);
    }
    return s;
}

snapshot snapshot_of(const sampling_state& state, const selection& sel) {
    snapshot snap;
    snap.disks_found = (state.tree & found_disks) != 0;
    snap.sessions_found = (state.tree & found_sessions) != 0;
    snap.sockets_found = (state.tree & found_sockets) != 0;
    snap.tree_found = state.tree != 0;
    auto wanted = [](const std::vector<unsigned>& ids, unsigned id) {
        return ids.empty() || std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    if (sel.disks) {
        snap.disks_read = true;
        const auto w = static_cast<std::size_t>(object_width(object_kind::disk));
        for (std::size_t i = 0; i < state.disks.size(); ++i) {
            disk_queue_info d{};
            auto key = static_cast<int>(state.disks.keys[i]);
            d.name = disk_queue_name(key / queues_per_disk + 1, key % queues_per_disk);
            long long* fields[] = {
                &d.handler_samples,      &d.handler_total_time,  &d.handler_min_time,
                &d.handler_max_time,     &d.handler_total_count, &d.handler_min_count,
                &d.handler_max_count,    &d.processing_samples,  &d.processing_total_time,
                &d.processing_min_time,  &d.processing_max_time, &d.processing_total_count,
                &d.processing_min_count, &d.processing_max_count};
            for (std::size_t f = 0; f < 14; ++f) *fields[f] = at(state.disks, i, w, f);
            d.max_num_active = static_cast<unsigned>(at(state.disks, i, w, 14));
            snap.disks.push_back(std::move(d));
        }
    }
    if (sel.sessions) {
        snap.sessions_read = true;
        const auto w = static_cast<std::size_t>(object_width(object_kind::session));
        for (std::size_t i = 0; i < state.sessions.size(); ++i) {
            if (!wanted(sel.session_ids, state.sessions.keys[i])) continue;
            session_info s{};
            s.id = state.sessions.keys[i];
            s.lba = static_cast<unsigned>(at(state.sessions, i, w, 0));
            long long* fields[] = {&s.write_samples,  &s.write_total_time, &s.write_min_time,
                                   &s.write_max_time, &s.read_samples,     &s.read_total_time,
                                   &s.read_min_time,  &s.read_max_time};
            for (std::size_t f = 0; f < 8; ++f) *fields[f] = at(state.sessions, i, w, f + 1);
            snap.sessions.push_back(s);
        }
    }
    if (sel.sockets) {
        snap.sockets_read = true;
        const auto w = static_cast<std::size_t>(object_width(object_kind::socket));
        for (std::size_t i = 0; i < state.sockets.size(); ++i) {
            if (!wanted(sel.socket_numbers, state.sockets.keys[i])) continue;
            sock_info s{};
            s.number = state.sockets.keys[i];
            for (std::size_t slot = 0; slot < socket_slot_count; ++slot) {
                s.stats[slot].samples = at(state.sockets, i, w, slot * 4);
                s.stats[slot].total_time = at(state.sockets, i, w, slot * 4 + 1);
                s.stats[slot].min_time = at(state.sockets, i, w, slot * 4 + 2);
                s.stats[slot].max_time = at(state.sockets, i, w, slot * 4 + 3);
            }
            snap.sockets.push_back(s);
        }
    }
    return snap;
}

void keep_same_lifetimes(sampling_state& before, const sampling_state& now) {
    for (object_kind kind : kinds) {
        kind_state& b = before.of(kind);
        const kind_state& n = now.of(kind);
        const auto w = static_cast<std::size_t>(object_width(kind));
        kind_state kept;
        std::size_t j = 0;
        for (std::size_t i = 0; i < b.size(); ++i) {
            while (j < n.size() && n.keys[j] < b.keys[i]) ++j;
            if (j == n.size() || n.keys[j] != b.keys[i] || n.births[j] != b.births[i]) continue;
            kept.keys.push_back(b.keys[i]);
            kept.births.push_back(b.births[i]);
            kept.values.insert(kept.values.end(), b.values.begin() + static_cast<long>(i * w),
                               b.values.begin() + static_cast<long>((i + 1) * w));
        }
        b = std::move(kept);
    }
}

}  // namespace sanperf_tools
