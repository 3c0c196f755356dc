// Session collectors: which directory a session is read from, the order of
// the records and how a session's numbers reach its record.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

constexpr long long no_sample = 4294967295LL;

counters timed(long long samples, long long total, long long min, long long max) {
    counters c;
    c.samples = samples;
    c.total_time = total;
    c.min_time = min;
    c.max_time = max;
    c.total_count = 1000 + samples;
    c.min_count = 2000 + samples;
    c.max_count = 3000 + samples;
    return c;
}

// A session published in directory "session<id>" whose numbers derive from id.
void add_plain_session(kernel_tree& tree, long long id) {
    tree.add_session("session" + std::to_string(id), id, 100 + id, timed(id, 10 * id, id, 20 * id),
                     timed(id + 1, 30 * id, id + 2, 40 * id));
}

std::list<session_info> collect() {
    session_performance_info sessions;
    std::list<session_info> out;
    sessions.extract_session_perf_info_list(out);
    return out;
}

std::vector<unsigned> ids_of(const std::list<session_info>& records) {
    std::vector<unsigned> ids;
    for (const session_info& s : records) ids.push_back(s.id);
    return ids;
}

TEST(Session, WriteBlockThenReadBlock) {
    kernel_tree tree;
    tree.add_session("session4", 4, 44, timed(1, 2, 3, 5), timed(6, 7, 8, 9));
    session_info info;
    session_perf_stats(4).get_session_info(info);
    EXPECT_EQ(info.id, 4u);
    EXPECT_EQ(info.lba, 44u);
    EXPECT_EQ(info.write_samples, 6);
    EXPECT_EQ(info.write_total_time, 7);
    EXPECT_EQ(info.write_min_time, 8);
    EXPECT_EQ(info.write_max_time, 9);
    EXPECT_EQ(info.read_samples, 1);
    EXPECT_EQ(info.read_total_time, 2);
    EXPECT_EQ(info.read_min_time, 3);
    EXPECT_EQ(info.read_max_time, 5);
}

TEST(Session, SentinelPerBlockOnMinimumTimeOnly) {
    kernel_tree tree;
    tree.add_session("session1", 1, no_sample, timed(1, 2, no_sample, no_sample),
                     timed(3, 4, 5, 6));
    tree.add_session("session2", 2, 0, timed(1, 2, 3, 4),
                     timed(no_sample, no_sample, no_sample, no_sample));
    session_info one;
    session_perf_stats(1).get_session_info(one);
    EXPECT_EQ(one.read_min_time, 0);
    EXPECT_EQ(one.read_max_time, no_sample);
    EXPECT_EQ(one.write_min_time, 5);
    EXPECT_EQ(one.lba, 4294967295u);

    session_info two;
    session_perf_stats(2).get_session_info(two);
    EXPECT_EQ(two.write_min_time, 0);
    EXPECT_EQ(two.write_samples, no_sample);
    EXPECT_EQ(two.write_total_time, no_sample);
    EXPECT_EQ(two.write_max_time, no_sample);
    EXPECT_EQ(two.read_min_time, 3);
}

TEST(Session, LowThirtyTwoBitsOfIdAndLba) {
    kernel_tree tree;
    tree.add_session("session3", (1LL << 32) + 3, (5LL << 32) + 6, {}, {});
    session_info info;
    session_perf_stats(3).get_session_info(info);
    EXPECT_EQ(info.id, 3u);
    EXPECT_EQ(info.lba, 6u);
}

TEST(SessionList, OrderedByNumberInName) {
    kernel_tree tree;
    for (int id : {10, 2, 1}) add_plain_session(tree, id);
    session_performance_info sessions;
    std::list<unsigned int> ids = {77, 78};
    sessions.get_sessions_list(ids);
    EXPECT_EQ(ids, (std::list<unsigned int>{1, 2, 10}));
    EXPECT_EQ(ids_of(collect()), (std::vector<unsigned>{1, 2, 10}));
}

TEST(SessionList, EntriesNotNamedSessionAreIgnored) {
    kernel_tree tree;
    add_plain_session(tree, 1);
    tree.write_file("session/other5/id", "5\n");
    tree.write_file("session/sess6/id", "6\n");
    EXPECT_EQ(ids_of(collect()), (std::vector<unsigned>{1}));
}

TEST(SessionList, EntryWithoutIdFileListsAsZero) {
    kernel_tree tree;
    tree.make_dir("session/session3");
    session_performance_info sessions;
    std::list<unsigned int> ids;
    sessions.get_sessions_list(ids);
    EXPECT_EQ(ids, (std::list<unsigned int>{0}));
}

TEST(SessionList, MissingDirectoryGivesEmptyLists) {
    kernel_tree tree;
    session_performance_info sessions;
    std::list<unsigned int> ids = {1};
    sessions.get_sessions_list(ids);
    EXPECT_TRUE(ids.empty());
    std::list<session_info> out(2);
    sessions.extract_session_perf_info_list(out);
    EXPECT_TRUE(out.empty());
}

TEST(SessionCollector, ReadsTheDirectoryItsIdNames) {
    kernel_tree tree;
    // session7 names id 9: the record is session9's, id included.
    tree.add_session("session7", 9, 70, timed(7, 7, 7, 7), timed(7, 7, 7, 7));
    tree.add_session("session9", 19, 90, timed(9, 90, 9, 99), timed(8, 80, 8, 88));
    // session8 names id 11, which is not published: all zero.
    tree.add_session("session8", 11, 80, timed(8, 8, 8, 8), timed(8, 8, 8, 8));

    std::list<session_info> out = collect();
    ASSERT_EQ(out.size(), 3u);
    const session_info& first = out.front();  // listed as session7
    EXPECT_EQ(first.id, 19u);
    EXPECT_EQ(first.lba, 90u);
    EXPECT_EQ(first.read_samples, 9);
    EXPECT_EQ(first.write_max_time, 88);

    const session_info& second = *std::next(out.begin());  // listed as session8
    EXPECT_EQ(second.id, 0u);
    EXPECT_EQ(second.lba, 0u);
    EXPECT_EQ(second.read_samples, 0);
    EXPECT_EQ(second.write_samples, 0);
}

TEST(SessionCollector, RecordOrderFollowsListedNamesNotIds) {
    kernel_tree tree;
    tree.add_session("session1", 5, 0, {}, {});
    tree.add_session("session2", 3, 0, {}, {});
    tree.add_session("session5", 5, 55, {}, {});
    tree.add_session("session3", 3, 33, {}, {});
    std::list<session_info> out = collect();
    // Listed 1, 2, 3, 5 -> read from 5, 3, 3, 5.
    ASSERT_EQ(out.size(), 4u);
    std::vector<unsigned> lbas;
    for (const session_info& s : out) lbas.push_back(s.lba);
    EXPECT_EQ(lbas, (std::vector<unsigned>{55, 33, 33, 55}));
}

TEST(SessionCollector, DuplicateIdsGiveDuplicateRecords) {
    kernel_tree tree;
    tree.add_session("session1", 4, 0, {}, {});
    tree.add_session("session2", 4, 0, {}, {});
    tree.add_session("session4", 4, 44, timed(1, 2, 3, 4), {});
    std::list<session_info> out = collect();
    ASSERT_EQ(out.size(), 3u);
    for (const session_info& s : out) {
        EXPECT_EQ(s.id, 4u);
        EXPECT_EQ(s.lba, 44u);
        EXPECT_EQ(s.read_total_time, 2);
    }
}

TEST(SessionCollector, IdWithHighBitSetReadsNegativeDirectory) {
    kernel_tree tree;
    // 4294967295 is formatted as -1. session-1 is itself listed (as number
    // 1), so its id file names itself.
    tree.add_session("session2", 4294967295LL, 0, {}, {});
    tree.add_session("session-1", 4294967295LL, 34, timed(5, 6, 7, 8), {});
    std::list<session_info> out = collect();
    ASSERT_EQ(out.size(), 2u);
    for (const session_info& s : out) {
        EXPECT_EQ(s.id, 4294967295u);
        EXPECT_EQ(s.lba, 34u);
        EXPECT_EQ(s.read_samples, 5);
    }
}

TEST(SessionCollector, IdAboveThirtyTwoBitsReadsDirectoryOfLowBits) {
    kernel_tree tree;
    tree.add_session("session1", (1LL << 32) + 6, 0, {}, {});
    tree.add_session("session6", 66, 60, timed(6, 6, 6, 6), {});
    std::list<session_info> out = collect();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.front().id, 66u);
    EXPECT_EQ(out.front().lba, 60u);
}

TEST(SessionCollector, ReadOnceWhenBuilt) {
    kernel_tree tree;
    add_plain_session(tree, 1);
    session_performance_info sessions;
    tree.clear();
    std::list<session_info> first;
    sessions.extract_session_perf_info_list(first);
    std::list<session_info> second;
    sessions.extract_session_perf_info_list(second);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first.front().lba, 101u);
    EXPECT_EQ(second.front().lba, 101u);
}

}  // namespace
