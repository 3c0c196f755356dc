// The facade: disk queues frozen when it is built, sessions and sockets read
// afresh at every call, and the caller's lists replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <string>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

counters with_samples(long long samples) {
    counters c;
    c.samples = samples;
    return c;
}

TEST(FacadeDisks, ThirtyTwoNamedZeroRecordsWithoutTree) {
    kernel_tree tree;
    sanserver_performance_info facade;
    std::list<disk_queue_info> out;
    facade.get_disk_queue_perf_info(out);
    ASSERT_EQ(out.size(), 32u);
    auto it = out.begin();
    for (int d = 1; d <= 4; ++d) {
        for (int q = 0; q < 8; ++q, ++it) {
            EXPECT_EQ(it->name, "disk" + std::to_string(d) + "_" + std::to_string(q));
            EXPECT_EQ(it->handler_samples, 0);
            EXPECT_EQ(it->processing_max_count, 0);
            EXPECT_EQ(it->max_num_active, 0u);
        }
    }
}

TEST(FacadeDisks, EachRecordFromItsQueue) {
    kernel_tree tree;
    for (int d = 1; d <= 4; ++d)
        for (int q = 0; q < 8; ++q)
            tree.add_disk_queue(d, q, with_samples(d * 10 + q), {}, d * 100 + q);
    // Disk 0 and 5 lie outside the grid and are never read.
    tree.add_disk_queue(0, 0, with_samples(-1), {}, 0);
    tree.add_disk_queue(5, 0, with_samples(-1), {}, 0);

    sanserver_performance_info facade;
    std::list<disk_queue_info> out;
    facade.get_disk_queue_perf_info(out);
    ASSERT_EQ(out.size(), 32u);
    auto it = out.begin();
    for (int d = 1; d <= 4; ++d) {
        for (int q = 0; q < 8; ++q, ++it) {
            EXPECT_EQ(it->handler_samples, d * 10 + q) << it->name;
            EXPECT_EQ(it->max_num_active, static_cast<unsigned>(d * 100 + q)) << it->name;
        }
    }
}

TEST(FacadeDisks, FrozenAtConstructionWhileSessionsAndSocketsAreFresh) {
    kernel_tree tree;
    tree.add_disk_queue(2, 3, with_samples(1), {}, 1);
    tree.add_session("session1", 1, 10, {}, {});
    tree.add_socket(1, {});
    sanserver_performance_info facade;

    tree.add_disk_queue(2, 3, with_samples(2), {}, 2);
    tree.add_session("session1", 1, 20, {}, {});
    tree.add_session("session2", 2, 30, {}, {});
    tree.add_socket(2, {});

    std::list<disk_queue_info> disks;
    facade.get_disk_queue_perf_info(disks);
    auto queue = std::next(disks.begin(), 8 + 3);
    ASSERT_EQ(queue->name, "disk2_3");
    EXPECT_EQ(queue->handler_samples, 1);
    EXPECT_EQ(queue->max_num_active, 1u);

    std::list<session_info> sessions;
    facade.get_session_perf_info(sessions);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions.front().lba, 20u);
    EXPECT_EQ(sessions.back().lba, 30u);

    std::list<sock_info> sockets;
    facade.get_socket_perf_info(sockets);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_EQ(sockets.back().number, 2u);

    // A new facade sees the new disk numbers.
    sanserver_performance_info fresh;
    fresh.get_disk_queue_perf_info(disks);
    EXPECT_EQ(std::next(disks.begin(), 8 + 3)->handler_samples, 2);
}

TEST(FacadeLists, ListingsReplaceWhatTheListHeld) {
    kernel_tree tree;
    tree.add_session("session1", 1, 11, {}, {});
    tree.add_socket(4, {});
    sanserver_performance_info facade;

    std::list<disk_queue_info> disks(5);
    disks.front().name = "stale";
    facade.get_disk_queue_perf_info(disks);
    EXPECT_EQ(disks.size(), 32u);
    EXPECT_EQ(disks.front().name, "disk1_0");
    facade.get_disk_queue_perf_info(disks);
    EXPECT_EQ(disks.size(), 32u);

    std::list<session_info> sessions(3, session_info{99, 99, 0, 0, 0, 0, 0, 0, 0, 0});
    facade.get_session_perf_info(sessions);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions.front().lba, 11u);

    std::list<sock_info> sockets(2);
    facade.get_socket_perf_info(sockets);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(sockets.front().number, 4u);
}

TEST(FacadeLists, VanishedEntriesAreGoneAtTheNextCall) {
    kernel_tree tree;
    tree.add_session("session1", 1, 0, {}, {});
    tree.add_session("session2", 2, 0, {}, {});
    tree.add_socket(1, {});
    sanserver_performance_info facade;

    std::list<session_info> sessions;
    facade.get_session_perf_info(sessions);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions.front().id, 1u);
    EXPECT_EQ(sessions.back().id, 2u);
    tree.remove("session/session2");
    facade.get_session_perf_info(sessions);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions.front().id, 1u);

    std::list<sock_info> sockets;
    facade.get_socket_perf_info(sockets);
    ASSERT_EQ(sockets.size(), 1u);
    tree.remove("sock");
    facade.get_socket_perf_info(sockets);
    EXPECT_TRUE(sockets.empty());
}

// Replaces a file of the tree with a FIFO that no process writes to.
void make_fifo(kernel_tree& tree, const std::string& relative) {
    tree.remove(relative);
    ASSERT_EQ(mkfifo(kernel_tree::path(relative).c_str(), 0644), 0) << relative;
}

TEST(FacadeLists, FifosReadAsFilesWithoutText) {
    kernel_tree tree;
    counters c = with_samples(5);
    tree.add_disk_queue(1, 0, c, c, 9);
    tree.add_session("session1", 1, 3, c, c);
    counters slots[12] = {c, c, c, c, c, c, c, c, c, c, c, c};
    tree.add_socket(3, slots);
    make_fifo(tree, "disk_queue/disk1_0/async_processing_perf_stats");
    make_fifo(tree, "session/session1/read_perf_stats");
    make_fifo(tree, "sock/sock3/aio_read_stats");

    // A reader that waits for a writer never returns: let the alarm end the
    // test binary instead.
    alarm(30);
    sanserver_performance_info facade;
    std::list<disk_queue_info> disks;
    facade.get_disk_queue_perf_info(disks);
    std::list<session_info> sessions;
    facade.get_session_perf_info(sessions);
    std::list<sock_info> sockets;
    facade.get_socket_perf_info(sockets);
    alarm(0);

    EXPECT_EQ(disks.front().handler_samples, 5);
    EXPECT_EQ(disks.front().processing_samples, 0);
    EXPECT_EQ(disks.front().max_num_active, 9u);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions.front().read_samples, 0);
    EXPECT_EQ(sessions.front().write_samples, 5);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(sockets.front().stats[0].samples, 0);
    EXPECT_EQ(sockets.front().stats[1].samples, 5);
}

}  // namespace
