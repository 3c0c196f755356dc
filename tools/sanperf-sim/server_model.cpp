#include "sanperf-sim/server_model.h"

#include <algorithm>

namespace sanperf_sim {
namespace {

// Adds n operations to one running total with its maximum and minimum. The
// batch averages about mean per operation; its extremes lie around that
// average, so minimum * samples <= total <= maximum * samples always holds.
void add_batch(random_source& random, long long n, long long mean, long long& total, long long& max,
               long long& min) {
    long long average =
        mean / 2 + static_cast<long long>(random.below(static_cast<std::uint64_t>(mean))) + 1;
    long long low = average;
    long long high = average;
    if (n > 1) {
        low -= static_cast<long long>(random.below(static_cast<std::uint64_t>(average / 2 + 1)));
        high += static_cast<long long>(random.below(static_cast<std::uint64_t>(3 * average + 1)));
    }
    total += n * average;
    max = std::max(max, high);
    min = std::min(min, low);
}

// Draws how busy a stream is once it starts.
void wake(random_source& random, activity& a) {
    a.rate = (1u << random.below(11)) + static_cast<unsigned>(random.below(16));
    a.mean_time = 20 + static_cast<unsigned>(random.below(2000));
    a.mean_count = 1 + static_cast<unsigned>(random.below(64));
}

constexpr std::uint64_t max_uptime_ms = 3600 * 1000;
constexpr long long max_active_ceiling = 256;

// Makes a stream slow or busy as f says. One that was idle starts at an
// ordinary pace first.
void afflict(activity& a, const fault& f) {
    if (a.rate == 0) {
        a.rate = slow_min_rate;
        a.mean_time = 500;
        a.mean_count = 8;
    }
    if (f.kind == fault_kind::slow) {
        a.mean_time = static_cast<unsigned>(f.value);
        a.rate = std::max(a.rate, slow_min_rate);
    } else {
        a.rate = static_cast<unsigned>(f.value);
    }
}

// The streams of an object that f names: all of them, or one.
template <std::size_t n>
void afflict_streams(const std::array<activity*, n>& streams, const fault& f) {
    for (std::size_t i = 0; i < n; ++i)
        if (f.stream == all_streams || f.stream == static_cast<int>(i)) afflict(*streams[i], f);
}

}  // namespace

server_model::server_model(std::uint64_t seed, unsigned session_count, unsigned socket_count)
    : random(seed), next_session_id(session_count + 1), next_socket_number(socket_count + 1) {
    std::uint64_t uptime_ms = max_uptime_ms / 6 + random.below(max_uptime_ms * 5 / 6);

    disk_queues.resize(disk_count * queues_per_disk);
    for (disk_queue& queue : disk_queues) {
        start(queue.handler);
        start(queue.processing);
        run(queue.handler, uptime_ms);
        run(queue.processing, uptime_ms);
        if (queue.handler.totals.samples > 0) {
            queue.max_num_active = 1 + static_cast<long long>(random.below(16));
        }
    }

    sessions.reserve(session_count);
    for (unsigned id = 1; id <= session_count; ++id) {
        sessions.push_back(new_session(id));
        std::uint64_t age_ms = 1 + random.below(uptime_ms);
        session& s = sessions.back();
        run(s.read, age_ms);
        run(s.write, age_ms);
        if (s.read.totals.samples + s.write.totals.samples > 0) {
            s.lba = static_cast<long long>(random.below(1ull << 32));
        }
    }

    sockets.reserve(socket_count);
    for (unsigned number = 1; number <= socket_count; ++number) {
        sockets.push_back(new_socket(number));
        std::uint64_t age_ms = 1 + random.below(uptime_ms);
        for (activity& slot : sockets.back().slots) run(slot, age_ms);
    }
}

void server_model::start(activity& a) {
    // A quarter of the streams have nothing to do yet.
    if (!random.one_in(4)) wake(random, a);
}

void server_model::run(activity& a, std::uint64_t ms) {
    if (a.rate == 0) {
        if (random.one_in(32)) wake(random, a);
        return;
    }
    // rate * ms counts thousandths of an operation; jitter it by +-50%, then
    // round at random so slow streams still move.
    std::uint64_t expected = a.rate * ms * (50 + random.below(101)) / 100;
    long long n = static_cast<long long>((expected + random.below(1000)) / 1000);
    if (n == 0) return;
    counter_set& t = a.totals;
    t.samples += n;
    add_batch(random, n, a.mean_count, t.total_count, t.max_count, t.min_count);
    add_batch(random, n, a.mean_time, t.total_time, t.max_time, t.min_time);
    a.changed = true;
}

session server_model::new_session(unsigned id) {
    session s;
    s.id = id;
    start(s.read);
    start(s.write);
    return s;
}

socket server_model::new_socket(unsigned number) {
    socket k;
    k.number = number;
    for (activity& slot : k.slots) start(slot);
    return k;
}

void server_model::add_fault(const fault& f) { faults.push_back({f, false}); }

bool server_model::under_fault(object_kind object, unsigned number) const {
    for (const pending_fault& p : faults)
        if (p.what.object == object && p.what.number == number) return true;
    return false;
}

void server_model::start_fault(const fault& f) {
    switch (f.object) {
        case object_kind::disk_queue: {
            disk_queue& q =
                disk_queues[static_cast<std::size_t>((f.disk - 1) * queues_per_disk + f.queue)];
            afflict_streams(std::array<activity*, 2>{&q.handler, &q.processing}, f);
            // A busy queue soon has as many requests active as it can take.
            if (f.kind == fault_kind::busy) {
                q.max_num_active = max_active_ceiling;
                q.max_num_active_changed = true;
            }
            break;
        }
        case object_kind::session:
            for (session& s : sessions)
                if (s.id == f.number)
                    afflict_streams(std::array<activity*, 2>{&s.read, &s.write}, f);
            break;
        case object_kind::socket:
            for (socket& k : sockets) {
                if (k.number != f.number) continue;
                std::array<activity*, socket_slot_count> slots;
                for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = &k.slots[i];
                afflict_streams(slots, f);
            }
            break;
    }
}

void server_model::start_faults() {
    for (pending_fault& p : faults) {
        if (p.started || p.what.after_ms > run_time_ms) continue;
        start_fault(p.what);
        p.started = true;
    }
}

void server_model::advance(unsigned ms) {
    start_faults();
    run_time_ms += ms;
    for (disk_queue& queue : disk_queues) {
        run(queue.handler, ms);
        run(queue.processing, ms);
        if (queue.handler.rate > 0 && queue.max_num_active < max_active_ceiling &&
            random.one_in(16)) {
            ++queue.max_num_active;
            queue.max_num_active_changed = true;
        }
    }

    for (session& s : sessions) {
        // A session under a fault stays.
        if (random.one_in(64) && !under_fault(object_kind::session, s.id)) {
            // The session ends; a new one starts, now and then reusing its id.
            ended_sessions.push_back(s.id);
            s = new_session(random.one_in(4) ? s.id : next_session_id++);
            continue;
        }
        long long before = s.read.totals.samples + s.write.totals.samples;
        run(s.read, ms);
        run(s.write, ms);
        if (s.read.totals.samples + s.write.totals.samples != before) {
            s.lba = static_cast<long long>(random.below(1ull << 32));
            s.lba_changed = true;
        }
    }

    for (socket& k : sockets) {
        if (random.one_in(64) && !under_fault(object_kind::socket, k.number)) {
            ended_sockets.push_back(k.number);
            k = new_socket(random.one_in(4) ? k.number : next_socket_number++);
            continue;
        }
        for (activity& slot : k.slots) run(slot, ms);
    }
}

}  // namespace sanperf_sim
