// The shared layer's interval arithmetic, its ranking and summaries, and
// its three renderers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <sstream>

#include "common/atomic_file.h"
#include "common/interval.h"
#include "common/ranking.h"
#include "common/render_json.h"
#include "common/render_prometheus.h"
#include "common/render_table.h"
#include "common/snapshot.h"
#include "common/time_unit.h"
#include "support/kernel_tree.h"

using namespace sanperf_tools;
using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

session_info session(unsigned id, long long samples, long long total_time) {
    session_info s{};
    s.id = id;
    s.read_samples = samples;
    s.read_total_time = total_time;
    s.read_max_time = 77;
    return s;
}

snapshot sessions_at(double seconds, std::vector<session_info> list) {
    snapshot s;
    s.taken = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds)));
    s.sessions_read = true;
    s.sessions = std::move(list);
    return s;
}

// The rows of now against before, as the renderers see them.
struct report {
    std::optional<double> seconds;
    std::vector<session_row> sessions;
    std::vector<disk_row> disks;
    std::vector<socket_row> sockets;
};

report make_report(const snapshot* before, const snapshot& now) {
    interval iv(before, now);
    report r;
    r.seconds = iv.seconds();
    for (const auto& s : now.sessions) r.sessions.push_back(iv.session(s));
    for (const auto& d : now.disks) r.disks.push_back(iv.disk(d));
    for (const auto& s : now.sockets) r.sockets.push_back(iv.socket(s));
    return r;
}

template <typename Render>
std::string rendered(Render render) {
    std::string text;
    string_sink out(text);
    render(out);
    return text;
}

}  // namespace

TEST(SanstatReport, FirstReportShowsTotalsWithoutRates) {
    snapshot now = sessions_at(10, {session(1, 4, 100), session(2, 0, 0)});
    report r = make_report(nullptr, now);
    EXPECT_FALSE(r.seconds);
    ASSERT_EQ(r.sessions.size(), 2u);
    EXPECT_TRUE(r.sessions[0].totals);
    EXPECT_EQ(r.sessions[0].read.samples, 4);
    EXPECT_FALSE(r.sessions[0].read.samples_per_second);
    EXPECT_DOUBLE_EQ(*r.sessions[0].read.avg_time, 25.0);
    // No samples: no average at all, neither 0 nor NaN.
    EXPECT_FALSE(r.sessions[1].read.avg_time);
}

TEST(SanstatReport, IntervalShowsRatesAndAverageOfTheIncrease) {
    snapshot before = sessions_at(10, {session(1, 100, 5000), session(2, 10, 10)});
    snapshot now = sessions_at(12, {session(1, 140, 5400), session(2, 10, 10)});
    report r = make_report(&before, now);
    ASSERT_TRUE(r.seconds);
    EXPECT_DOUBLE_EQ(*r.seconds, 2.0);
    const counter_view& busy = r.sessions[0].read;
    EXPECT_FALSE(r.sessions[0].totals);
    EXPECT_EQ(busy.samples, 40);
    EXPECT_EQ(busy.total_time, 400);
    EXPECT_DOUBLE_EQ(*busy.samples_per_second, 20.0);
    EXPECT_DOUBLE_EQ(*busy.avg_time, 10.0);
    EXPECT_EQ(busy.max_time, 77);  // current, not subtracted
    const counter_view& idle = r.sessions[1].read;
    EXPECT_DOUBLE_EQ(*idle.samples_per_second, 0.0);
    EXPECT_FALSE(idle.avg_time);
}

TEST(SanstatReport, ObjectsAppearingVanishingOrRestarting) {
    snapshot before = sessions_at(0, {session(1, 100, 1000), session(2, 50, 500)});
    // 2 vanished, 3 appeared, 1 was replaced: its counters went back.
    snapshot now = sessions_at(1, {session(1, 30, 600), session(3, 8, 80)});
    report r = make_report(&before, now);
    ASSERT_EQ(r.sessions.size(), 2u);
    EXPECT_EQ(r.sessions[0].id, 1u);
    EXPECT_FALSE(r.sessions[0].totals);
    EXPECT_EQ(r.sessions[0].read.samples, 30);
    EXPECT_DOUBLE_EQ(*r.sessions[0].read.samples_per_second, 30.0);
    EXPECT_DOUBLE_EQ(*r.sessions[0].read.avg_time, 20.0);
    EXPECT_EQ(r.sessions[1].id, 3u);
    EXPECT_TRUE(r.sessions[1].totals);
    EXPECT_EQ(r.sessions[1].read.samples, 8);
    EXPECT_FALSE(r.sessions[1].read.samples_per_second);
}

TEST(SanstatReport, TotalTimeGoingBackAloneRestartsTheSet) {
    snapshot before = sessions_at(0, {session(1, 100, 1000)});
    snapshot now = sessions_at(1, {session(1, 120, 900)});
    report r = make_report(&before, now);
    EXPECT_EQ(r.sessions[0].read.samples, 120);
    EXPECT_EQ(r.sessions[0].read.total_time, 900);
}

TEST(SanstatReport, DiskCountsAndSocketSlotsFollowTheirOwnFields) {
    snapshot before, now;
    now.taken = before.taken + std::chrono::seconds(4);
    disk_queue_info d{};
    d.name = "disk1_0";
    d.processing_samples = 10;
    d.processing_total_count = 30;
    before.disks.push_back(d);
    d.processing_samples = 30;
    d.processing_total_count = 70;
    d.processing_max_count = 9;
    now.disks.push_back(d);
    sock_info s{};
    s.number = 3;
    before.sockets.push_back(s);
    s.stats[11].samples = 8;
    s.stats[11].total_time = 16;
    now.sockets.push_back(s);
    report r = make_report(&before, now);
    EXPECT_EQ(r.disks[0].processing.samples, 20);
    EXPECT_EQ(r.disks[0].processing.total_count, 40);
    EXPECT_EQ(r.disks[0].processing.max_count, 9);
    EXPECT_DOUBLE_EQ(*r.disks[0].processing.samples_per_second, 5.0);
    EXPECT_EQ(r.sockets[0].slots[11].samples, 8);
    EXPECT_DOUBLE_EQ(*r.sockets[0].slots[11].avg_time, 2.0);
    EXPECT_EQ(r.sockets[0].slots[0].samples, 0);
}

TEST(SanstatReadable, ShortensLargeNumbersWithinFiveCharacters) {
    EXPECT_EQ(readable(std::nullopt), "-");
    EXPECT_EQ(readable(0.0), "0");
    EXPECT_EQ(readable(12.34), "12.3");
    EXPECT_EQ(readable(99999.0), "99999");
    EXPECT_EQ(readable(123456.0), "123k");
    EXPECT_EQ(readable(12345678.0), "12.3M");
    EXPECT_EQ(readable(9223372036854775807.0), "9.2E");
    for (double v : {999999.0, 1e9 - 1, 1e15 - 1, 123456789012.0})
        EXPECT_LE(readable(v).size(), 5u) << v;
}

TEST(SanstatTimeUnit, HumanDurationsKeepThreeDigitsAndMoveUnitAtThousand) {
    time_unit ns = *parse_time_unit("ns"), us = *parse_time_unit("us");
    EXPECT_EQ(human_duration(std::nullopt, ns), "-");
    EXPECT_EQ(human_duration(0.0, us), "0us");
    EXPECT_EQ(human_duration(850000.0, ns), "850us");
    EXPECT_EQ(human_duration(1250.0, us), "1.25ms");
    EXPECT_EQ(human_duration(2100000.0, us), "2.1s");
    EXPECT_EQ(human_duration(999999.0, ns), "1ms");  // 999.999us rounds up a unit
    EXPECT_EQ(human_duration(5e12, us), "5000000s");
    EXPECT_FALSE(parse_time_unit("µs"));
    EXPECT_FALSE(parse_time_unit(""));
}

TEST(SanstatTimeUnit, FlagOverridesEnvironmentAndBadNamesAreRefused) {
    std::optional<time_unit> unit;
    std::string error;
    ::unsetenv(time_unit_variable);
    EXPECT_TRUE(resolve_time_unit(std::nullopt, unit, error));
    EXPECT_FALSE(unit);
    ::setenv(time_unit_variable, "ms", 1);
    EXPECT_TRUE(resolve_time_unit(std::nullopt, unit, error));
    EXPECT_STREQ(unit->name, "ms");
    EXPECT_TRUE(resolve_time_unit(std::string("ns"), unit, error));
    EXPECT_STREQ(unit->name, "ns");
    ::setenv(time_unit_variable, "msec", 1);
    EXPECT_FALSE(resolve_time_unit(std::nullopt, unit, error));
    EXPECT_NE(error.find("SANPERF_TIME_UNIT"), std::string::npos);
    EXPECT_FALSE(resolve_time_unit(std::string("h"), unit, error));
    EXPECT_NE(error.find("--time-unit"), std::string::npos);
    ::unsetenv(time_unit_variable);
}

// The same fixture tree for every renderer: the library's real reading path.
class SanstatRender : public testing::Test {
protected:
    void SetUp() override {
        counters big;
        big.samples = 9007199254740993LL;  // not exact as a double
        big.total_time = 9223372036854775807LL;
        big.max_time = 4000000000LL;
        big.min_time = 4294967295LL;  // no sample yet: reads as 0
        counters some{3, 6, 2, 1, 300, 150, 50};
        for (int disk = 1; disk <= 4; ++disk)
            for (int queue = 0; queue < 8; ++queue)
                tree.add_disk_queue(disk, queue, big, some, 4294967296LL + 5);
        tree.add_session("session7", 7, 4294967295LL, some, counters{});
        tree.add_session("session12", 12, 1, big, big);
        // Two entries that both name socket 3 are one socket.
        counters slots[12] = {};
        slots[0] = some;
        tree.add_socket(3, slots);
        tree.make_dir("sock/sock03");
        now = take_snapshot(selection{});
    }
    kernel_tree tree;
    snapshot now;
};

TEST_F(SanstatRender, JsonKeepsFieldsAndWholeNumbers) {
    std::string line =
        rendered([&](sink& out) { render_json(now, nullptr, 1, {}, std::nullopt, out); });
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line per report
    auto doc = nlohmann::json::parse(line);
    EXPECT_EQ(doc["report"], 1);
    EXPECT_TRUE(doc["interval"].is_null());
    ASSERT_EQ(doc["disk_queues"].size(), 32u);
    const auto& d = doc["disk_queues"][31];
    EXPECT_EQ(d["name"], "disk4_7");
    EXPECT_EQ(d["handler_samples"].get<long long>(), 9007199254740993LL);
    EXPECT_EQ(d["handler_total_time"].get<long long>(), 9223372036854775807LL);
    EXPECT_EQ(d["handler_min_time"], 0);
    EXPECT_EQ(d["processing_total_count"], 6);
    EXPECT_EQ(d["processing_avg_time"], 100.0);
    EXPECT_TRUE(d["handler_samples_per_second"].is_null());
    EXPECT_EQ(d["max_num_active"], 5);
    ASSERT_EQ(doc["sessions"].size(), 2u);
    EXPECT_EQ(doc["sessions"][0]["id"], 7);
    EXPECT_EQ(doc["sessions"][0]["lba"], 4294967295LL);
    EXPECT_TRUE(doc["sessions"][0]["write_avg_time"].is_null());
    EXPECT_EQ(doc["sessions"][1]["read_samples"].get<long long>(), 9007199254740993LL);
    ASSERT_EQ(doc["sockets"].size(), 1u);
    const auto& s = doc["sockets"][0];
    EXPECT_EQ(s["number"], 3);
    EXPECT_EQ(s["aio_read"]["samples"], 3);
    EXPECT_EQ(s["aio_read"]["min_time"], 50);
    EXPECT_TRUE(s.contains("wait_until_data_available"));
    EXPECT_FALSE(s.contains("aio_read_stats"));
}

TEST_F(SanstatRender, TableFitsEightyColumnsForDisksAndSessions) {
    std::string text = rendered([&](sink& out) { render_table(now, nullptr, 1, {}, {}, out); });
    std::istringstream lines(text);
    bool in_sockets = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("socket", 0) == 0) in_sockets = true;
        if (!in_sockets) {
            EXPECT_LE(line.size(), 80u) << line;
        }
    }
    EXPECT_NE(text.find("10^3"), std::string::npos);  // the suffixes are explained
    EXPECT_NE(text.find("4294967295"), std::string::npos);
    EXPECT_NE(text.find("wait_until_data_available"), std::string::npos);
}

TEST_F(SanstatRender, PrometheusHasOneSeriesPerLabelSet) {
    std::string text = rendered([&](sink& out) { render_prometheus(now, out); });
    std::istringstream lines(text);
    std::set<std::string> series;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::string key = line.substr(0, line.rfind(' '));
        EXPECT_TRUE(series.insert(key).second) << "duplicate " << key;
    }
    EXPECT_TRUE(series.count("sanperf_socket_samples_total{socket=\"3\",slot=\"aio_read\"}"));
    EXPECT_NE(text.find("sanperf_disk_queue_samples_total{queue=\"disk4_7\",stage=\"handler\"} "
                        "9007199254740993\n"),
              std::string::npos);
}

// Objects that vanish between the listing and the read come back from the
// library as zeros; a snapshot must never show them.
TEST(Snapshot, LeavesOutObjectsThatVanishedWhileRead) {
    kernel_tree tree;
    counters some{3, 6, 2, 1, 300, 150, 50};
    tree.add_session("session7", 7, 70, some, some);
    // Listed as session 9 (its id file says so), but session9/ is gone by
    // the time it is read: the library reads it as id 0 and zeros.
    tree.add_session("session8", 9, 80, some, some);
    // Read back under another id than it was listed with.
    tree.add_session("session10", 11, 1, some, some);
    tree.write_file("session/session11/id", "12\n");
    counters slots[socket_slot_count] = {};
    slots[0] = some;
    tree.add_socket(3, slots);
    // Listed as socket 0, whose directory does not exist.
    tree.make_dir("sock/sockets");

    snapshot s = take_snapshot(selection{});
    EXPECT_TRUE(s.tree_found);
    ASSERT_EQ(s.sessions.size(), 1u);
    EXPECT_EQ(s.sessions[0].id, 7u);
    ASSERT_EQ(s.sockets.size(), 1u);
    EXPECT_EQ(s.sockets[0].number, 3u);

    tree.clear();
    tree.make_dir("elsewhere");
    EXPECT_FALSE(take_snapshot(selection{}).tree_found);
}

// A disk queue whose directory exists is listed, read as zeros while its
// files are missing; once they appear, its history is no rate of the
// interval but a new queue.
TEST(Snapshot, DiskQueueThatBecomesReadableIsNewNotARate) {
    kernel_tree tree;
    counters history{5000000, 0, 0, 0, 900000000, 400, 10};
    tree.add_disk_queue(1, 0, history, history, 3);
    tree.make_dir("disk_queue/disk1_1");
    tree.write_file("disk_queue/disk1_2/" + std::string(handler_stats_file), counter_line(history));
    snapshot before = take_snapshot(selection{});
    EXPECT_EQ(before.unreadable_disks.size(), 31u);

    tree.add_disk_queue(1, 1, history, history, 3);
    tree.add_disk_queue(1, 2, history, history, 3);
    snapshot now = take_snapshot(selection{});
    EXPECT_EQ(now.unreadable_disks.size(), 29u);
    report r = make_report(&before, now);
    ASSERT_EQ(r.disks.size(), 3u);
    EXPECT_FALSE(r.disks[0].totals);
    EXPECT_EQ(r.disks[0].handler.samples, 0);
    for (int queue : {1, 2}) {
        EXPECT_TRUE(r.disks[static_cast<std::size_t>(queue)].totals) << queue;
        EXPECT_EQ(r.disks[static_cast<std::size_t>(queue)].handler.samples, 5000000) << queue;
    }
    std::string table = rendered([&](sink& out) { render_table(now, &before, 2, {}, {}, out); });
    EXPECT_NE(table.find("\ndisk1_1*"), std::string::npos) << table;
    EXPECT_EQ(table.find("5.0M"), std::string::npos) << table;
}

TEST(IntervalArithmetic, ImpossibleDifferencesCountFromZeroWithoutOverflow) {
    constexpr long long max = 9223372036854775807LL;
    long long increase = -1;
    EXPECT_TRUE(counter_increase(max, 0, increase));
    EXPECT_EQ(increase, max);
    EXPECT_TRUE(counter_increase(-1, -max - 1, increase));
    EXPECT_EQ(increase, max);
    EXPECT_FALSE(counter_increase(max, -1, increase));
    EXPECT_FALSE(counter_increase(0, -max - 1, increase));
    EXPECT_FALSE(counter_increase(3, 5, increase));

    // A total that cannot have grown by that much in one interval is shown
    // as the totals of a restarted object, not as a wrapped difference.
    snapshot before = sessions_at(0, {session(1, 1, -max)});
    snapshot now = sessions_at(1, {session(1, 2, max)});
    report r = make_report(&before, now);
    EXPECT_EQ(r.sessions[0].read.samples, 2);
    EXPECT_EQ(r.sessions[0].read.total_time, max);
    EXPECT_DOUBLE_EQ(*r.sessions[0].read.avg_time, static_cast<double>(max) / 2);
}

namespace {

// Splits a line at blanks.
std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

}  // namespace

TEST(TableRender, WidestIdsAndNumbersNeverTouchTheirNeighbours) {
    snapshot before = sessions_at(0, {});
    before.sockets_read = true;
    snapshot now = sessions_at(1, {session(4294967295u, 5, 50)});
    now.sessions[0].lba = 4294967295u;
    now.sockets_read = true;
    for (unsigned number : {2147483647u, 4294967295u}) {
        sock_info s{};
        s.number = number;
        now.sockets.push_back(s);
    }
    // In an interval report new objects carry the mark "*" as well.
    std::string text = rendered([&](sink& out) { render_table(now, &before, 2, {}, {}, out); });
    std::istringstream lines(text);
    int rows = 0;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f = fields(line);
        if (f.size() < 2 || f[0].size() < 2 || f[0].back() != '*') continue;
        if (std::find(std::begin(socket_slot_names), std::end(socket_slot_names), f[1]) !=
            std::end(socket_slot_names)) {
            EXPECT_EQ(f.size(), 5u) << line;  // number, slot, 3 values
        } else {
            EXPECT_EQ(f.size(), 10u) << line;  // id, lba, 2 x 4 values
            EXPECT_LE(line.size(), 80u) << line;
        }
        ++rows;
    }
    EXPECT_EQ(rows, 1 + 2 * socket_slot_count);
}

// ---- Ranking, filters and summaries -------------------------------------

namespace {

// A session with both directions: write samples and time, read samples and
// time.
session_info session2(unsigned id, long long write_samples, long long write_time,
                      long long read_samples, long long read_time) {
    session_info s = session(id, read_samples, read_time);
    s.write_samples = write_samples;
    s.write_total_time = write_time;
    return s;
}

template <typename Row>
std::vector<unsigned> ids(const ranked_block<Row>& block) {
    std::vector<unsigned> out;
    for (const auto& r : block.rows) out.push_back(r.row.id);
    return out;
}

ranked_block<session_row> ranked_sessions(const snapshot* before, const snapshot& now,
                                          const ranking& how) {
    interval iv(before, now);
    return rank(session_rows(iv, now), iv.seconds().has_value(), how);
}

ranking sorted_by(sort_key key) {
    ranking how;
    how.sort = key;
    return how;
}

}  // namespace

// Over one second: 1 did 10 samples, 2 restarted (its counters went back)
// and did 30 since, 3 is new with huge totals, 4 did 20 in slow samples.
class RankingInterval : public testing::Test {
protected:
    snapshot before = sessions_at(
        0, {session2(1, 100, 1000, 0, 0), session2(2, 500, 500, 0, 0), session2(4, 0, 0, 0, 0)});
    snapshot now =
        sessions_at(1, {session2(1, 105, 1050, 5, 50), session2(2, 30, 30, 0, 0),
                        session2(3, 100000, 100000000, 0, 0), session2(4, 10, 1000, 10, 1000)});
};

TEST_F(RankingInterval, NewObjectsRankLastAndRestartedOnesByTheirNewCounts) {
    EXPECT_EQ(ids(ranked_sessions(&before, now, sorted_by(sort_key::rate))),
              (std::vector<unsigned>{2, 4, 1, 3}));
    // avg: 4 takes 100 per sample, 1 takes 10, 2 takes 1; 3 has none yet.
    EXPECT_EQ(ids(ranked_sessions(&before, now, sorted_by(sort_key::avg))),
              (std::vector<unsigned>{4, 1, 2, 3}));
    EXPECT_EQ(ids(ranked_sessions(&before, now, sorted_by(sort_key::time))),
              (std::vector<unsigned>{4, 1, 2, 3}));
    // max is a current value: a new object has one. All are 77 here, so
    // the listing order stays.
    EXPECT_EQ(ids(ranked_sessions(&before, now, sorted_by(sort_key::max))),
              (std::vector<unsigned>{1, 2, 3, 4}));
    // Without an interval, the totals are sorted: 3's are the largest.
    EXPECT_EQ(ids(ranked_sessions(nullptr, now, sorted_by(sort_key::rate))),
              (std::vector<unsigned>{3, 1, 2, 4}));
}

TEST_F(RankingInterval, TopSortsByRateAndFiltersComeBeforeIt) {
    ranking how;
    how.top = 2;
    EXPECT_EQ(ids(ranked_sessions(&before, now, how)), (std::vector<unsigned>{2, 4}));
    how.top = 0;
    EXPECT_TRUE(ranked_sessions(&before, now, how).rows.empty());
    // min-avg 10 keeps 1 and 4; the new object has no average to pass.
    how = ranking{};
    how.min_avg = 10;
    EXPECT_EQ(ids(ranked_sessions(&before, now, how)), (std::vector<unsigned>{1, 4}));
    how.top = 1;
    EXPECT_EQ(ids(ranked_sessions(&before, now, how)), (std::vector<unsigned>{4}));
    // active: samples in the interval; a new object has none known yet.
    snapshot idle = now;
    idle.sessions[1] = session2(2, 500, 500, 0, 0);  // 2 did nothing
    before.sessions[1] = session2(2, 500, 500, 0, 0);
    how = ranking{};
    how.active_only = true;
    EXPECT_EQ(ids(ranked_sessions(&before, idle, how)), (std::vector<unsigned>{1, 4}));
}

TEST_F(RankingInterval, SummaryAddsIncreasesAndWeighsTheAverageBySamples) {
    ranking how;
    how.top = 1;  // the summary is over every object, whatever is shown
    block_summary s = ranked_sessions(&before, now, how).summary;
    EXPECT_EQ(s.objects, 4u);
    // The new object adds nothing but its maximum: 10 + 30 + 20 samples,
    // 100 + 30 + 2000 time.
    EXPECT_EQ(s.all.samples, 60);
    EXPECT_EQ(s.all.total_time, 2130);
    EXPECT_DOUBLE_EQ(*s.all.samples_per_second, 60.0);
    // Not the average of the averages (10, 1 and 100).
    EXPECT_DOUBLE_EQ(*s.all.avg_time(), 2130.0 / 60);
    ASSERT_EQ(s.streams.size(), 2u);  // write, then read
    EXPECT_EQ(s.streams[0].samples, 45);
    EXPECT_EQ(s.streams[1].samples, 15);
    EXPECT_DOUBLE_EQ(*s.streams[1].avg_time(), 1050.0 / 15);
    EXPECT_EQ(*s.all.max_time, 77);

    // A report of totals adds the totals, and has no rate.
    block_summary totals = ranked_sessions(nullptr, now, ranking{}).summary;
    EXPECT_EQ(totals.all.samples, 105 + 5 + 30 + 100000 + 20);
    EXPECT_FALSE(totals.all.samples_per_second);
    // No object: no average and no maximum rather than zeros.
    block_summary none = ranked_sessions(nullptr, sessions_at(0, {}), ranking{}).summary;
    EXPECT_EQ(none.objects, 0u);
    EXPECT_FALSE(none.all.avg_time());
    EXPECT_FALSE(none.all.max_time);
}

TEST(Ranking, SummedCountersBeyondALongLongStayExact) {
    constexpr long long max = 9223372036854775807LL;
    snapshot now = sessions_at(0, {session2(1, max, max, max, max), session2(2, 1, 2, 0, 0)});
    block_summary s = ranked_sessions(nullptr, now, ranking{}).summary;
    EXPECT_EQ(s.all.samples, 2.0L * max + 1);
    EXPECT_DOUBLE_EQ(*s.all.avg_time(), 1.0);
}

// A socket ranks by its slots together; its twelve slots stay one row.
TEST(Ranking, SocketsRankByAllTheirSlotsAndDisksByEachDisk) {
    snapshot before, now;
    now.taken = before.taken + std::chrono::seconds(1);
    sock_info one_busy_slot{}, all_slots_a_little{};
    one_busy_slot.number = 1;
    all_slots_a_little.number = 2;
    before.sockets = {one_busy_slot, all_slots_a_little};
    one_busy_slot.stats[3].samples = 100;
    one_busy_slot.stats[3].total_time = 100;
    for (auto& slot : all_slots_a_little.stats) {
        slot.samples = 10;
        slot.total_time = 50;
    }
    all_slots_a_little.stats[7].samples = 20;
    now.sockets = {one_busy_slot, all_slots_a_little};
    interval iv(&before, now);
    ranked_block<socket_row> block = rank(socket_rows(iv, now), true, sorted_by(sort_key::rate));
    ASSERT_EQ(block.rows.size(), 2u);
    EXPECT_EQ(block.rows[0].row.number, 2u);  // 130 samples against 100
    EXPECT_EQ(block.rows[0].row.slots[3].samples, 10);
    EXPECT_EQ(block.rows[1].row.slots[3].samples, 100);
    EXPECT_EQ(busiest_slot(block.rows[0].row, true), 7);
    EXPECT_EQ(busiest_slot(block.rows[1].row, true), 3);
    ASSERT_EQ(block.summary.streams.size(), static_cast<std::size_t>(socket_slot_count));
    EXPECT_EQ(block.summary.streams[3].samples, 110);

    snapshot disks;
    for (int disk = 1; disk <= 2; ++disk)
        for (int queue = 0; queue < 8; ++queue) {
            disk_queue_info d{};
            d.name = disk_queue_name(disk, queue);
            d.handler_samples = disk;
            d.handler_total_time = 10 * disk;
            d.processing_max_time = queue;
            disks.disks.push_back(d);
        }
    interval totals(nullptr, disks);
    std::vector<disk_summary> parts = per_disk(disk_rows(totals, disks), false);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].disk, "disk2");
    EXPECT_EQ(parts[1].summary.objects, 8u);
    EXPECT_EQ(parts[1].summary.streams[0].samples, 16);
    EXPECT_EQ(*parts[1].summary.streams[1].max_time, 7);
}

// One syntax of durations for every program: a plain decimal number and a
// unit; a bare number is ticks only where ticks are asked for.
TEST(TimeUnit, DurationsInSecondsOrInTicks) {
    std::string error;
    double seconds = -1;
    const std::pair<const char*, double> good[] = {
        {"850us", 850e-6}, {"1.5ms", 1.5e-3}, {"10s", 10},     {"2m", 120},
        {"3ns", 3e-9},     {"0", 0},          {"0.25s", 0.25}, {"000000000012s", 12}};
    for (const auto& [text, want] : good) {
        EXPECT_TRUE(parse_duration(text, seconds, error)) << text << ": " << error;
        EXPECT_DOUBLE_EQ(seconds, want) << text;
    }
    for (const char* bad : {"", "5", "+5s", "-1s", " 5s", "5s ", "5 s", "1e3ms", ".5s", "1.s",
                            "1.5.3s", "5min", "5S", "nan", "inf", "0x10s", "1234567890123s"}) {
        error.clear();
        EXPECT_FALSE(parse_duration(bad, seconds, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }

    double ticks = 0;
    std::optional<time_unit> us = parse_time_unit("us");
    EXPECT_TRUE(parse_duration_ticks("1.5ms", us, ticks, error));
    EXPECT_DOUBLE_EQ(ticks, 1500);
    EXPECT_TRUE(parse_duration_ticks("2s", parse_time_unit("ns"), ticks, error));
    EXPECT_DOUBLE_EQ(ticks, 2e9);
    EXPECT_TRUE(parse_duration_ticks("1m", us, ticks, error));
    EXPECT_DOUBLE_EQ(ticks, 60e6);
    EXPECT_TRUE(parse_duration_ticks("250", std::nullopt, ticks, error));  // ticks
    EXPECT_DOUBLE_EQ(ticks, 250);
    // A unit needs the tree's unit to convert to; other text is refused.
    EXPECT_FALSE(parse_duration_ticks("1.5ms", std::nullopt, ticks, error));
    EXPECT_NE(error.find(time_unit_variable), std::string::npos) << error;
    for (const char* bad : {"x", "1.5 ms", "1.5min", "-3", "nan", ""}) {
        error.clear();
        EXPECT_FALSE(parse_duration_ticks(bad, us, ticks, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    // The minute is a unit to write, not one a tree counts in.
    EXPECT_FALSE(parse_time_unit("m"));
}

// What the table and JSON show of a new object, of units and of summaries.
TEST(RankedRender, NewObjectsHaveNoRateUnitsAreStatedAndSummariesLead) {
    snapshot before = sessions_at(0, {session2(1, 0, 0, 100, 1000)});
    snapshot now =
        sessions_at(2, {session2(1, 0, 0, 140, 1000 + 40 * 1250), session2(2, 0, 0, 687, 687000)});
    table_style style;
    style.unit = parse_time_unit("us");
    std::string text =
        rendered([&](sink& out) { render_table(now, &before, 2, ranking{}, style, out); });
    std::vector<std::string> session_lines;
    std::istringstream lines(text);
    bool header_says_unit = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("counts in us") != std::string::npos) header_says_unit = true;
        std::vector<std::string> f = fields(line);
        if (!f.empty() && (f[0] == "all(2)" || f[0] == "1" || f[0] == "2*"))
            session_lines.push_back(line);
    }
    EXPECT_TRUE(header_says_unit) << text;
    ASSERT_EQ(session_lines.size(), 3u) << text;
    // all(2): lba, write (none), then read: 20/s at 1.25ms, no minimum.
    EXPECT_EQ(fields(session_lines[0]),
              (std::vector<std::string>{"all(2)", "-", "0", "-", "-", "0us", "20", "1.25ms", "-",
                                        "77us"}));
    EXPECT_EQ(fields(session_lines[1])[6], "20");
    EXPECT_EQ(fields(session_lines[1])[7], "1.25ms");
    // The new object: neither its totals nor an average under smp/s and avg.
    std::vector<std::string> fresh = fields(session_lines[2]);
    EXPECT_EQ(fresh[6], "-");
    EXPECT_EQ(fresh[7], "-");
    EXPECT_EQ(fresh[9], "77us");

    // Unknown unit: raw numbers, and the header says how to set it.
    std::string raw =
        rendered([&](sink& out) { render_table(now, &before, 2, ranking{}, {}, out); });
    EXPECT_NE(raw.find(time_unit_variable), std::string::npos);
    EXPECT_EQ(raw.find("1.25ms"), std::string::npos);

    auto doc = nlohmann::json::parse(rendered([&](sink& out) {
        render_json(now, &before, 2, sorted_by(sort_key::rate), style.unit, out);
    }));
    EXPECT_EQ(doc["time_unit"], "us");
    ASSERT_EQ(doc["sessions"].size(), 2u);
    EXPECT_EQ(doc["sessions"][1]["id"], 2);
    EXPECT_EQ(doc["sessions"][1]["totals"], true);
    EXPECT_EQ(doc["sessions"][1]["read_samples"], 687);  // totals, as before
    EXPECT_TRUE(doc["sessions"][1]["read_samples_per_second"].is_null());
    const auto& sum = doc["summary"]["sessions"];
    EXPECT_EQ(sum["objects"], 2);
    EXPECT_EQ(sum["samples"], 40);
    EXPECT_EQ(sum["read"]["avg_time"], 1250.0);
    EXPECT_TRUE(sum["write"]["avg_time"].is_null());
    EXPECT_TRUE(nlohmann::json::parse(rendered(
        [&](sink& out) { render_json(now, nullptr, 1, {}, std::nullopt, out); }))["time_unit"]
                    .is_null());
}

TEST(ReplaceFile, FailuresKeepTheirCause) {
    char dir[] = "/tmp/sanperf-replace-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    const auto fill = [](sink& out) { out.write(std::string_view("new\n")); };
    // The errno of the call that failed reaches the caller.
    try {
        replace_file(base + "/missing/file", fill);
        ADD_FAILURE() << "no exception for a missing directory";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT) << e.what();
        EXPECT_NE(std::string(e.what()).find(base + "/missing"), std::string::npos) << e.what();
    }
    // A FIFO is refused for what it is, with no errno behind it, and stays.
    const std::string fifo = base + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bool refused = false;
    try {
        replace_file(fifo, fill);
    } catch (const std::system_error& e) {
        ADD_FAILURE() << "a FIFO reported as a system error: " << e.what();
    } catch (const std::runtime_error& e) {
        refused = std::string(e.what()).find("a FIFO") != std::string::npos;
    }
    EXPECT_TRUE(refused);
    struct stat st {};
    EXPECT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    unlink(fifo.c_str());
    rmdir(dir);
}
