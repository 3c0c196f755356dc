// The snapshot read on a pool of threads: the same reports as on one thread,
// and the rule for objects that vanish while read kept per object while the
// tree changes underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/render_json.h"
#include "common/render_prometheus.h"
#include "common/render_table.h"
#include "common/snapshot.h"
#include "common/thread_pool.h"
#include "support/kernel_tree.h"

using namespace sanperf_tools;
using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

TEST(ThreadPool, RunsEveryItemOnceAndPassesOnTheFirstFailure) {
    thread_pool pool(3);
    EXPECT_EQ(pool.threads(), 3u);
    for (std::size_t count : std::vector<std::size_t>{0, 1, 8, 9, 1000}) {
        std::vector<std::atomic<int>> calls(count);
        pool.run(count, [&](std::size_t i) { ++calls[i]; });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(calls[i], 1) << i << " of " << count;
    }
    EXPECT_THROW(pool.run(1000,
                          [&](std::size_t i) {
                              if (i == 500) throw std::runtime_error("item 500");
                          }),
                 std::runtime_error);
    // Still usable afterwards.
    std::atomic<int> total{0};
    pool.run(100, [&](std::size_t) { ++total; });
    EXPECT_EQ(total, 100);
}

counters numbered(long long n) {
    return counters{n, 2 * n, n + 5, 1, 1000 * n, 700 + n, n % 3 == 0 ? 4294967295LL : n};
}

void add_numbered_socket(kernel_tree& tree, int number) {
    counters slots[socket_slot_count];
    for (int i = 0; i < socket_slot_count; ++i) slots[i] = numbered(number * 100 + i);
    tree.add_socket(number, slots);
}

void add_disks(kernel_tree& tree) {
    for (int d = 1; d <= disk_count; ++d)
        for (int q = 0; q < queues_per_disk; ++q)
            tree.add_disk_queue(d, q, numbered(d * 10 + q), numbered(q), d + q);
}

// Every output format of a snapshot; the moment it was taken is set, so
// that only what was read can differ.
std::string every_format(snapshot s) {
    s.taken = std::chrono::steady_clock::time_point{};
    s.wall = 1700000000;
    std::string text;
    string_sink out(text);
    render_table(s, nullptr, 1, ranking{}, table_style{}, out);
    render_json(s, nullptr, 1, ranking{}, std::nullopt, out);
    render_prometheus(s, out);
    return text;
}

// Snapshots by pools of several sizes against the one without a pool. The
// pools are made once and reused for every tree, as the programs do.
class ParallelSnapshot : public testing::Test {
protected:
    void expect_same_as_one_thread(const selection& sel = selection{}) {
        const snapshot one = take_snapshot(sel);
        const std::string expected = every_format(one);
        for (thread_pool* pool : {&two, &three, &eight}) {
            for (int round = 0; round < 2; ++round) {
                snapshot many = take_snapshot(sel, pool);
                EXPECT_EQ(many.tree_found, one.tree_found);
                EXPECT_EQ(many.sessions.size(), one.sessions.size());
                EXPECT_EQ(many.sockets.size(), one.sockets.size());
                EXPECT_EQ(every_format(many), expected) << pool->threads() << " threads";
            }
        }
    }
    kernel_tree tree;
    thread_pool two{2}, three{3}, eight{8};
};

TEST_F(ParallelSnapshot, EmptyTreeOneObjectAndOneKindOnly) {
    expect_same_as_one_thread();
    tree.make_dir("session");
    tree.make_dir("sock");
    expect_same_as_one_thread();
    tree.add_session("session4", 4, 40, numbered(4), numbered(5));
    expect_same_as_one_thread();
    add_numbered_socket(tree, 6);
    expect_same_as_one_thread();
    tree.remove("session");
    for (int n = 7; n < 60; ++n) add_numbered_socket(tree, n);
    expect_same_as_one_thread();
    tree.remove("sock");
    for (int id = 1; id < 60; ++id)
        tree.add_session("session" + std::to_string(id), id, id * 3, numbered(id), numbered(-id));
    add_disks(tree);
    expect_same_as_one_thread();
}

TEST_F(ParallelSnapshot, DuplicatesOddNamesAndVanishedObjects) {
    add_disks(tree);
    for (int id = 1; id <= 40; ++id)
        tree.add_session("session" + std::to_string(id), id, id, numbered(id), numbered(id));
    // The same session under a second name, and one named after another.
    tree.add_session("session05", 5, 5, numbered(5), numbered(5));
    tree.write_file("session/session41/id", "7\n");
    // Listed under an id whose directory does not exist, and read back as
    // another id than listed.
    tree.add_session("session42", 99, 1, numbered(1), numbered(1));
    tree.add_session("session43", 44, 1, numbered(1), numbered(1));
    tree.write_file("session/session44/id", "45\n");
    tree.write_file("session/sessionx/id", "3\n");
    for (int n = 1; n <= 40; ++n) add_numbered_socket(tree, n);
    tree.make_dir("sock/sock03");
    tree.make_dir("sock/sock7x");
    tree.make_dir("sock/sockets");  // socket 0, which does not exist
    expect_same_as_one_thread();

    // Only some objects chosen, or only some blocks.
    selection some;
    some.session_ids = {3, 7, 99, 45, 44, 12};
    some.socket_numbers = {0, 3, 7, 40, 41};
    expect_same_as_one_thread(some);
    selection sockets_only;
    sockets_only.disks = sockets_only.sessions = false;
    expect_same_as_one_thread(sockets_only);
}

TEST_F(ParallelSnapshot, ManyObjects) {
    add_disks(tree);
    for (int id = 1; id <= 600; ++id)
        tree.add_session("session" + std::to_string(id), id, id * 7, numbered(id),
                         numbered(id + 1));
    for (int n = 1; n <= 600; ++n) add_numbered_socket(tree, n);
    const snapshot one = take_snapshot(selection{});
    ASSERT_EQ(one.sessions.size(), 600u);
    ASSERT_EQ(one.sockets.size(), 600u);
    expect_same_as_one_thread();
}

// Objects come and go whole (built aside, then renamed in or out) while a
// pool reads. Every object shown must be whole and its own: its numbers are
// those written for its id, never the zeros of a vanished one, once each,
// in listing order.
TEST(ParallelSnapshotChurn, ShowsOnlyWholeObjectsWhileTheTreeChanges) {
    namespace fs = std::filesystem;
    kernel_tree tree;
    constexpr int objects = 48;
    auto session_path = [](int id) { return "session/" + session_name(id); };
    auto socket_path = [](int n) { return "sock/" + socket_name(n); };
    // Written in full outside the listed directories, then moved in.
    auto publish = [&](bool session, int n) {
        const std::string aside = "aside/" + std::to_string(n) + "/";
        if (session) {
            tree.write_file(aside + session_id_file, std::to_string(n) + "\n");
            tree.write_file(aside + session_lba_file, std::to_string(n * 7) + "\n");
            tree.write_file(aside + session_read_stats_file, counter_line(numbered(n)));
            tree.write_file(aside + session_write_stats_file, counter_line(numbered(n + 1)));
        } else {
            for (int i = 0; i < socket_slot_count; ++i)
                tree.write_file(aside + socket_slot_file(i), counter_line(numbered(n * 100 + i)));
        }
        fs::rename(kernel_tree::path(aside),
                   kernel_tree::path(session ? session_path(n) : socket_path(n)));
    };
    auto withdraw = [&](const std::string& path, int n) {
        std::string gone = "gone" + std::to_string(n);
        fs::rename(kernel_tree::path(path), kernel_tree::path(gone));
        tree.remove(gone);
    };
    add_disks(tree);
    tree.make_dir("session");
    tree.make_dir("sock");
    for (int n = 1; n <= objects; ++n) {
        publish(true, n);
        publish(false, n);
    }

    // The churn goes on until enough snapshots were taken during it, within
    // a bound on its steps, or until a snapshot is found wrong.
    std::atomic<bool> done{false};
    std::atomic<int> snapshots{0};
    std::thread churn([&] {
        std::mt19937 random(18);
        // A number that left is never published again: an object withdrawn
        // and put back within one read would mix two objects' files, which
        // no check after the read can tell from one object.
        std::vector<int> sessions_up, sockets_up;
        for (int n = 1; n <= objects; ++n) {
            sessions_up.push_back(n);
            sockets_up.push_back(n);
        }
        int next = objects + 1;
        for (int step = 0; step < 100000 && !done && (step < 1000 || snapshots < 100); ++step) {
            bool session = step % 4 < 2;
            std::vector<int>& up = session ? sessions_up : sockets_up;
            if (step % 2 == 0) {
                std::size_t i = random() % up.size();
                withdraw(session ? session_path(up[i]) : socket_path(up[i]), up[i]);
                up.erase(up.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                publish(session, next);
                up.push_back(next++);
            }
        }
        done = true;
    });

    thread_pool pool(4);
    std::string wrong;  // the first object found wrong
    while (!done) {
        snapshot s = take_snapshot(selection{}, &pool);
        ++snapshots;
        if (s.disks.size() != 32) wrong = "disk queues missing";
        unsigned last = 0;
        for (const session_info& info : s.sessions) {
            if (info.id <= last) wrong = "session out of order or twice";
            if (info.lba != info.id * 7LL || info.read_samples != info.id ||
                info.write_total_time != 1000LL * (info.id + 1))
                wrong = "session " + std::to_string(info.id) + " not its own";
            last = info.id;
        }
        last = 0;
        for (const sock_info& info : s.sockets) {
            if (info.number <= last) wrong = "socket out of order or twice";
            for (int i = 0; i < socket_slot_count; ++i)
                if (info.stats[i].samples != info.number * 100LL + i)
                    wrong = "socket " + std::to_string(info.number) + " not its own";
            last = info.number;
        }
        if (!wrong.empty()) done = true;
    }
    churn.join();
    EXPECT_EQ(wrong, "");
}

}  // namespace
