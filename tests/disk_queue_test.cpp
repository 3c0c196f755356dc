// Disk queue collectors: where a queue is read from and how its numbers reach
// the record.
#include <gtest/gtest.h>

#include <string>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

constexpr long long no_sample = 4294967295LL;

// Every field distinct, so a field copied from the wrong counter shows.
counters handler_counters() {
    counters c;
    c.samples = 11;
    c.total_count = 12;
    c.max_count = 13;
    c.min_count = 14;
    c.total_time = 15;
    c.max_time = 16;
    c.min_time = 17;
    return c;
}

counters processing_counters() {
    counters c;
    c.samples = 21;
    c.total_count = 22;
    c.max_count = 23;
    c.min_count = 24;
    c.total_time = 25;
    c.max_time = 26;
    c.min_time = 27;
    return c;
}

TEST(DiskQueue, ReadsItsOwnDirectoryIntoEveryField) {
    kernel_tree tree;
    tree.add_disk_queue(3, 5, handler_counters(), processing_counters(), 31);
    // Neighbours with other numbers must not be picked up instead.
    counters other;
    other.samples = 999;
    tree.add_disk_queue(5, 3, other, other, 999);
    tree.add_disk_queue(3, 4, other, other, 999);

    disk_queue_perf_stats queue(3, 5);
    disk_queue_info info;
    queue.get_queue_stats(info);
    EXPECT_EQ(info.handler_samples, 11);
    EXPECT_EQ(info.handler_total_count, 12);
    EXPECT_EQ(info.handler_max_count, 13);
    EXPECT_EQ(info.handler_min_count, 14);
    EXPECT_EQ(info.handler_total_time, 15);
    EXPECT_EQ(info.handler_max_time, 16);
    EXPECT_EQ(info.handler_min_time, 17);
    EXPECT_EQ(info.processing_samples, 21);
    EXPECT_EQ(info.processing_total_count, 22);
    EXPECT_EQ(info.processing_max_count, 23);
    EXPECT_EQ(info.processing_min_count, 24);
    EXPECT_EQ(info.processing_total_time, 25);
    EXPECT_EQ(info.processing_max_time, 26);
    EXPECT_EQ(info.processing_min_time, 27);
    EXPECT_EQ(info.max_num_active, 31u);
}

TEST(DiskQueue, ReadOnceWhenBuilt) {
    kernel_tree tree;
    tree.add_disk_queue(1, 0, handler_counters(), processing_counters(), 31);
    disk_queue_perf_stats queue(1, 0);
    tree.clear();
    disk_queue_info info;
    queue.get_queue_stats(info);
    EXPECT_EQ(info.handler_samples, 11);
    EXPECT_EQ(info.max_num_active, 31u);
}

TEST(DiskQueue, MissingDirectoryGivesZeros) {
    kernel_tree tree;
    disk_queue_perf_stats queue(2, 7);
    disk_queue_info info;
    queue.get_queue_stats(info);
    EXPECT_EQ(info.handler_samples, 0);
    EXPECT_EQ(info.handler_min_time, 0);
    EXPECT_EQ(info.processing_max_count, 0);
    EXPECT_EQ(info.max_num_active, 0u);
}

TEST(DiskQueue, SentinelZeroesTheFourMinimaOnly) {
    kernel_tree tree;
    counters all_sentinel;
    all_sentinel.samples = no_sample;
    all_sentinel.total_count = no_sample;
    all_sentinel.max_count = no_sample;
    all_sentinel.min_count = no_sample;
    all_sentinel.total_time = no_sample;
    all_sentinel.max_time = no_sample;
    all_sentinel.min_time = no_sample;
    tree.add_disk_queue(1, 1, all_sentinel, all_sentinel, no_sample);

    disk_queue_info info;
    disk_queue_perf_stats(1, 1).get_queue_stats(info);
    EXPECT_EQ(info.handler_min_time, 0);
    EXPECT_EQ(info.handler_min_count, 0);
    EXPECT_EQ(info.processing_min_time, 0);
    EXPECT_EQ(info.processing_min_count, 0);
    EXPECT_EQ(info.handler_samples, no_sample);
    EXPECT_EQ(info.handler_total_time, no_sample);
    EXPECT_EQ(info.handler_max_time, no_sample);
    EXPECT_EQ(info.handler_total_count, no_sample);
    EXPECT_EQ(info.handler_max_count, no_sample);
    EXPECT_EQ(info.processing_samples, no_sample);
    EXPECT_EQ(info.processing_total_time, no_sample);
    EXPECT_EQ(info.processing_max_time, no_sample);
    EXPECT_EQ(info.processing_total_count, no_sample);
    EXPECT_EQ(info.processing_max_count, no_sample);
    EXPECT_EQ(info.max_num_active, 4294967295u);
}

TEST(DiskQueue, SentinelIsExactlyTwoToTheThirtyTwoMinusOne) {
    kernel_tree tree;
    // One more than the sentinel, and -1 (reachable inside a line, where the
    // reader does not skip the sign), both pass unchanged.
    counters above;
    above.min_time = no_sample + 1;
    above.min_count = no_sample + 1;
    counters minus_one;
    minus_one.min_time = -1;
    minus_one.min_count = -1;
    tree.add_disk_queue(4, 2, above, minus_one, 0);

    disk_queue_info info;
    disk_queue_perf_stats(4, 2).get_queue_stats(info);
    EXPECT_EQ(info.handler_min_time, no_sample + 1);
    EXPECT_EQ(info.handler_min_count, no_sample + 1);
    EXPECT_EQ(info.processing_min_time, -1);
    EXPECT_EQ(info.processing_min_count, -1);
}

TEST(DiskQueue, MaxNumActiveKeepsItsLowThirtyTwoBits) {
    kernel_tree tree;
    tree.add_disk_queue(1, 0, {}, {}, (7LL << 32) + 5);
    disk_queue_info info;
    disk_queue_perf_stats(1, 0).get_queue_stats(info);
    EXPECT_EQ(info.max_num_active, 5u);

    st_property property(kernel_tree::path("disk_queue/disk1_0/max_num_active"));
    EXPECT_EQ(property.get_value(), (7LL << 32) + 5);
}

TEST(DiskQueue, GetQueueStatsLeavesNameAlone) {
    kernel_tree tree;
    tree.add_disk_queue(1, 3, handler_counters(), processing_counters(), 1);
    disk_queue_info info;
    info.name = "caller's name";
    disk_queue_perf_stats(1, 3).get_queue_stats(info);
    EXPECT_EQ(info.name, "caller's name");

    disk_performance_info(1).get_queue_stats(3, info);
    EXPECT_EQ(info.name, "caller's name");
}

TEST(DiskPerformance, IndexIsTheQueueNumber) {
    kernel_tree tree;
    for (int q = 0; q < 8; ++q) {
        counters c;
        c.samples = 200 + q;
        tree.add_disk_queue(2, q, c, {}, q);
    }
    disk_performance_info disk(2);
    for (int q = 0; q < 8; ++q) {
        disk_queue_info info;
        disk.get_queue_stats(q, info);
        EXPECT_EQ(info.handler_samples, 200 + q) << q;
        EXPECT_EQ(info.max_num_active, static_cast<unsigned>(q)) << q;
    }
}

TEST(DiskPerformance, QueueOutsideZeroToSevenLeavesRecordUntouched) {
    kernel_tree tree;
    for (int q = 0; q < 8; ++q)
        tree.add_disk_queue(1, q, handler_counters(), processing_counters(), 9);
    disk_performance_info disk(1);
    for (int queue : {-1, 8, 1000, -2147483647 - 1}) {
        disk_queue_info info;
        info.name = "kept";
        info.handler_samples = -5;
        info.processing_min_count = -6;
        info.max_num_active = 77;
        disk.get_queue_stats(queue, info);
        EXPECT_EQ(info.name, "kept") << queue;
        EXPECT_EQ(info.handler_samples, -5) << queue;
        EXPECT_EQ(info.processing_min_count, -6) << queue;
        EXPECT_EQ(info.max_num_active, 77u) << queue;
    }
}

}  // namespace
