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
    ++generation;
    std::array<slot_totals, slots> present{};
    for (const sock_info& s : sockets) {
        auto [it, is_new] = seen.try_emplace(s.number);
        last_seen& last = it->second;
        for (std::size_t i = 0; i < slots; ++i) {
            if (!is_new) {
                carry(last.slots[i].samples, s.stats[i].samples, departed[i].samples);
                carry(last.slots[i].total_time, s.stats[i].total_time, departed[i].total_time);
            }
            last.slots[i] = s.stats[i];
            present[i].samples += static_cast<double>(s.stats[i].samples);
            present[i].total_time += static_cast<double>(s.stats[i].total_time);
        }
        last.generation = generation;
    }
    for (auto it = seen.begin(); it != seen.end();) {
        if (it->second.generation == generation) {
            ++it;
            continue;
        }
        for (std::size_t i = 0; i < slots; ++i) {
            departed[i].samples += static_cast<double>(it->second.slots[i].samples);
            departed[i].total_time += static_cast<double>(it->second.slots[i].total_time);
        }
        it = seen.erase(it);
    }
    for (std::size_t i = 0; i < slots; ++i) {
        totals[i].samples = departed[i].samples + present[i].samples;
        totals[i].total_time = departed[i].total_time + present[i].total_time;
    }
    return totals;
}

}  // namespace sanperf_exporter
