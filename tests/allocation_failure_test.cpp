// Running out of memory at every allocation of the collectors and the
// facade: std::bad_alloc reaches the caller, nothing leaks, and the session
// and socket listings leave the caller's list as it was.
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <new>
#include <string>

#include "sanperf.h"
#include "support/failing_new.h"
#include "support/kernel_tree.h"

using sanperf_test::allocation_failure_fired;
using sanperf_test::counters;
using sanperf_test::fail_nth_allocation;
using sanperf_test::kernel_tree;
using sanperf_test::live_allocations;

namespace {

// Runs op with the n-th allocation failing, for n = 1, 2, ... until op
// completes without the failure firing. check(n) runs after each fired
// failure. held() counts the blocks the caller legitimately holds (one per
// node of its list: the records own no memory of their own), which a failed
// listing may leave more or fewer of. Returns how many failures were
// injected.
long fail_each_allocation(
    const std::function<void()>& op, const std::function<void(long)>& check,
    const std::function<long()>& held = [] { return 0L; }) {
    long n = 1;
    for (;; ++n) {
        long before = live_allocations() - held();
        bool threw = false;
        fail_nth_allocation(n);
        try {
            op();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        bool fired = allocation_failure_fired();
        fail_nth_allocation(0);
        if (!fired) {
            EXPECT_FALSE(threw) << "allocation " << n;
            break;
        }
        EXPECT_TRUE(threw) << "allocation " << n << " failed but the caller was not told";
        EXPECT_EQ(live_allocations() - held(), before)
            << "leak after allocation " << n << " failed";
        check(n);
    }
    return n - 1;
}

void add_tree(kernel_tree& tree) {
    counters c;
    c.samples = 3;
    for (int d = 1; d <= 4; ++d)
        for (int q = 0; q < 8; ++q) tree.add_disk_queue(d, q, c, c, q);
    for (int s = 1; s <= 4; ++s) tree.add_session("session" + std::to_string(s), s, s, c, c);
    counters slots[12];
    for (int n : {2, 5, 9}) tree.add_socket(n, slots);
}

TEST(CollectorOutOfMemory, FacadeConstruction) {
    kernel_tree tree;
    add_tree(tree);
    long injected = fail_each_allocation([] { sanserver_performance_info facade; }, [](long) {});
    // 32 queue collectors at least: every one of them was hit.
    EXPECT_GT(injected, 32);
}

TEST(CollectorOutOfMemory, SessionCollectorConstruction) {
    kernel_tree tree;
    add_tree(tree);
    long injected = fail_each_allocation(
        [] {
            session_performance_info sessions;
            std::list<session_info> out;
            sessions.extract_session_perf_info_list(out);
        },
        [](long) {});
    EXPECT_GT(injected, 4);
}

TEST(CollectorOutOfMemory, SocketCollectorConstruction) {
    kernel_tree tree;
    add_tree(tree);
    long injected = fail_each_allocation(
        [] {
            socket_performance_info sockets;
            std::list<sock_info> out;
            sockets.extract_socket_perf_info_list(out);
        },
        [](long) {});
    EXPECT_GT(injected, 3);
}

// A failed listing, wherever the failure strikes (listing the tree,
// reading it, copying the records), leaves the caller's list as it was.
TEST(CollectorOutOfMemory, SessionListingIsAllOrNothing) {
    kernel_tree tree;
    add_tree(tree);
    sanserver_performance_info facade;
    const std::list<session_info> previous(2, session_info{7, 8, 1, 2, 3, 4, 5, 6, 7, 8});
    std::list<session_info> out = previous;
    long injected = fail_each_allocation([&] { facade.get_session_perf_info(out); },
                                         [&](long n) {
                                             ASSERT_EQ(out.size(), previous.size())
                                                 << "allocation " << n;
                                             EXPECT_EQ(out.front().id, 7u);
                                             EXPECT_EQ(out.back().read_max_time, 8);
                                         },
                                         [&] { return static_cast<long>(out.size()); });
    // The four records' nodes were among the failures.
    EXPECT_GT(injected, 4);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out.back().id, 4u);
}

TEST(CollectorOutOfMemory, SocketListingIsAllOrNothing) {
    kernel_tree tree;
    add_tree(tree);
    sanserver_performance_info facade;
    sock_info old{};
    old.number = 77;
    old.stats[11].max_time = 78;
    const std::list<sock_info> previous(2, old);
    std::list<sock_info> out = previous;
    long injected = fail_each_allocation([&] { facade.get_socket_perf_info(out); },
                                         [&](long n) {
                                             ASSERT_EQ(out.size(), previous.size())
                                                 << "allocation " << n;
                                             EXPECT_EQ(out.front().number, 77u);
                                             EXPECT_EQ(out.back().stats[11].max_time, 78);
                                         },
                                         [&] { return static_cast<long>(out.size()); });
    EXPECT_GT(injected, 3);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out.back().number, 9u);
}

TEST(CollectorOutOfMemory, DiskListingReportsTheFailure) {
    kernel_tree tree;
    add_tree(tree);
    sanserver_performance_info facade;
    std::list<disk_queue_info> out;
    fail_each_allocation([&] { facade.get_disk_queue_perf_info(out); }, [](long) {},
                         [&] { return static_cast<long>(out.size()); });
    EXPECT_EQ(out.size(), 32u);
}

}  // namespace
