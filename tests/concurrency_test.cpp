// Distinct facades used from several threads at once over one static tree
// give the same lists as a single thread.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <thread>
#include <vector>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

struct snapshot {
    std::list<disk_queue_info> disks;
    std::list<session_info> sessions;
    std::list<sock_info> sockets;
};

snapshot take_snapshot(sanserver_performance_info& facade) {
    snapshot s;
    facade.get_disk_queue_perf_info(s.disks);
    facade.get_session_perf_info(s.sessions);
    facade.get_socket_perf_info(s.sockets);
    return s;
}

bool same_disk(const disk_queue_info& a, const disk_queue_info& b) {
    return a.name == b.name && a.handler_samples == b.handler_samples &&
           a.handler_total_time == b.handler_total_time &&
           a.handler_min_time == b.handler_min_time && a.handler_max_time == b.handler_max_time &&
           a.handler_total_count == b.handler_total_count &&
           a.handler_min_count == b.handler_min_count &&
           a.handler_max_count == b.handler_max_count &&
           a.processing_samples == b.processing_samples &&
           a.processing_total_time == b.processing_total_time &&
           a.processing_min_time == b.processing_min_time &&
           a.processing_max_time == b.processing_max_time &&
           a.processing_total_count == b.processing_total_count &&
           a.processing_min_count == b.processing_min_count &&
           a.processing_max_count == b.processing_max_count && a.max_num_active == b.max_num_active;
}

bool same_session(const session_info& a, const session_info& b) {
    return a.id == b.id && a.lba == b.lba && a.write_samples == b.write_samples &&
           a.write_total_time == b.write_total_time && a.write_min_time == b.write_min_time &&
           a.write_max_time == b.write_max_time && a.read_samples == b.read_samples &&
           a.read_total_time == b.read_total_time && a.read_min_time == b.read_min_time &&
           a.read_max_time == b.read_max_time;
}

bool same_socket(const sock_info& a, const sock_info& b) {
    if (a.number != b.number) return false;
    for (int i = 0; i < 12; ++i) {
        const sock_stats& x = a.stats[i];
        const sock_stats& y = b.stats[i];
        if (x.samples != y.samples || x.total_time != y.total_time || x.min_time != y.min_time ||
            x.max_time != y.max_time)
            return false;
    }
    return true;
}

template <typename Record, typename Equal>
bool same_list(const std::list<Record>& a, const std::list<Record>& b, Equal equal) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (!equal(*i, *j)) return false;
    return true;
}

bool same_snapshot(const snapshot& a, const snapshot& b) {
    return same_list(a.disks, b.disks, same_disk) &&
           same_list(a.sessions, b.sessions, same_session) &&
           same_list(a.sockets, b.sockets, same_socket);
}

void add_tree(kernel_tree& tree) {
    for (int d = 1; d <= 4; ++d) {
        for (int q = 0; q < 8; ++q) {
            counters c;
            c.samples = d * 1000 + q;
            c.min_time = q % 2 == 0 ? 4294967295LL : q;
            tree.add_disk_queue(d, q, c, c, d + q);
        }
    }
    for (int s = 1; s <= 12; ++s) {
        counters c;
        c.samples = s;
        c.max_time = s * 7;
        tree.add_session("session" + std::to_string(s), s, s * 3, c, c);
    }
    for (int n = 1; n <= 12; ++n) {
        counters slots[12];
        for (int i = 0; i < 12; ++i) slots[i].samples = n * 100 + i;
        tree.add_socket(n, slots);
    }
}

TEST(Concurrency, DistinctFacadesGiveIdenticalResults) {
    kernel_tree tree;
    add_tree(tree);
    snapshot reference;
    {
        sanserver_performance_info facade;
        reference = take_snapshot(facade);
    }
    ASSERT_EQ(reference.disks.size(), 32u);
    ASSERT_EQ(reference.sessions.size(), 12u);
    ASSERT_EQ(reference.sockets.size(), 12u);

    constexpr int threads = 4;
    constexpr int rounds = 20;
    std::vector<int> mismatches(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            sanserver_performance_info facade;
            for (int r = 0; r < rounds; ++r)
                if (!same_snapshot(take_snapshot(facade), reference))
                    ++mismatches[static_cast<std::size_t>(t)];
        });
    }
    for (std::thread& w : workers) w.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

TEST(Concurrency, OneFacadeListedFromSeveralThreads) {
    kernel_tree tree;
    add_tree(tree);
    sanserver_performance_info facade;
    snapshot reference = take_snapshot(facade);

    constexpr int threads = 4;
    std::vector<int> mismatches(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int r = 0; r < 20; ++r)
                if (!same_snapshot(take_snapshot(facade), reference))
                    ++mismatches[static_cast<std::size_t>(t)];
        });
    }
    for (std::thread& w : workers) w.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
