#include "sanperf_exporter/collectors/socket_aggregate.h"

namespace sanperf_exporter {

namespace {

// A counter that went backwards started afresh: what it had counted before
// stays counted.
void carry(long long last, long long now, double& departed) {
    if (now < last) departed += static_cast<double>(last);
}

}  // namespace

const std::array<socket_aggregate::slot_totals, sanperf_tools::socket_slot_count>&
socket_aggregate::update(const std::vector<sock_info>& sockets) {
    constexpr std::size_t slots = sanperf_tools::socket_slot_count;
    ++generation_;
    std::array<slot_totals, slots> present{};
    for (const sock_info& s : sockets) {
        auto [it, is_new] = seen_.try_emplace(s.number);
        last_seen& last = it->second;
        for (std::size_t i = 0; i < slots; ++i) {
            if (!is_new) {
                carry(last.slots[i].samples, s.stats[i].samples, departed_[i].samples);
                carry(last.slots[i].total_time, s.stats[i].total_time, departed_[i].total_time);
            }
            last.slots[i] = s.stats[i];
            present[i].samples += static_cast<double>(s.stats[i].samples);
            present[i].total_time += static_cast<double>(s.stats[i].total_time);
        }
        last.generation = generation_;
    }
    for (auto it = seen_.begin(); it != seen_.end();) {
        if (it->second.generation == generation_) {
            ++it;
            continue;
        }
        for (std::size_t i = 0; i < slots; ++i) {
            departed_[i].samples += static_cast<double>(it->second.slots[i].samples);
            departed_[i].total_time += static_cast<double>(it->second.slots[i].total_time);
        }
        it = seen_.erase(it);
    }
    for (std::size_t i = 0; i < slots; ++i) {
        totals_[i].samples = departed_[i].samples + present[i].samples;
        totals_[i].total_time = departed_[i].total_time + present[i].total_time;
    }
    return totals_;
}

}  // namespace sanperf_exporter
