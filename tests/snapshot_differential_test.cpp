// The programs' snapshot lists sessions and sockets itself, to read them on
// a pool of threads. On trees that bend the listing rules it must give the
// objects the library's own facade gives, less only what snapshot.h says it
// leaves out: a second entry for the same id or number, an object whose
// directory does not exist, a session whose id file names another id.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <list>
#include <set>
#include <string>
#include <vector>

#include "common/snapshot.h"
#include "common/thread_pool.h"
#include "support/kernel_tree.h"

using namespace sanperf_tools;
using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

std::string text_of(const session_info& s) {
    return "id " + std::to_string(s.id) + " lba " + std::to_string(s.lba) + " write " +
           std::to_string(s.write_samples) + "/" + std::to_string(s.write_total_time) + "/" +
           std::to_string(s.write_min_time) + "/" + std::to_string(s.write_max_time) + " read " +
           std::to_string(s.read_samples) + "/" + std::to_string(s.read_total_time) + "/" +
           std::to_string(s.read_min_time) + "/" + std::to_string(s.read_max_time);
}

std::string text_of(const sock_info& s) {
    std::string text = "sock " + std::to_string(s.number);
    for (const sock_stats& slot : s.stats)
        text += " " + std::to_string(slot.samples) + "/" + std::to_string(slot.total_time) + "/" +
                std::to_string(slot.min_time) + "/" + std::to_string(slot.max_time);
    return text;
}

std::string text_of(const disk_queue_info& d) {
    return d.name + " " + std::to_string(d.handler_samples) + "/" +
           std::to_string(d.handler_total_time) + "/" + std::to_string(d.handler_min_time) + " " +
           std::to_string(d.processing_samples) + "/" + std::to_string(d.processing_max_time) +
           " " + std::to_string(d.max_num_active);
}

template <typename T>
std::vector<std::string> texts(const T& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(text_of(r));
    return out;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string read_dir(const char* kind, const char* prefix, unsigned number) {
    return std::string("/sys/kernel/") + kind + "/" + prefix +
           std::to_string(static_cast<int>(number));
}

// What the facade gives, less what the snapshot leaves out by design.
std::vector<std::string> library_sessions() {
    std::list<unsigned> ids;
    session_performance_info().get_sessions_list(ids);
    std::list<session_info> records;
    sanserver_performance_info().get_session_perf_info(records);
    EXPECT_EQ(ids.size(), records.size());
    std::set<unsigned> seen;
    std::vector<std::string> out;
    auto record = records.begin();
    for (auto id = ids.begin(); id != ids.end() && record != records.end(); ++id, ++record)
        if (seen.insert(*id).second && record->id == *id &&
            exists(read_dir("session", "session", *id)))
            out.push_back(text_of(*record));
    return out;
}

std::vector<std::string> library_sockets() {
    std::list<sock_info> records;
    sanserver_performance_info().get_socket_perf_info(records);
    std::set<unsigned> seen;
    std::vector<std::string> out;
    for (const sock_info& s : records)
        if (seen.insert(s.number).second && exists(read_dir("sock", "sock", s.number)))
            out.push_back(text_of(s));
    return out;
}

std::vector<std::string> library_disks() {
    std::list<disk_queue_info> records;
    sanserver_performance_info().get_disk_queue_perf_info(records);
    std::vector<std::string> out;
    for (const disk_queue_info& d : records)
        if (exists("/sys/kernel/disk_queue/" + d.name)) out.push_back(text_of(d));
    return out;
}

// Compares the snapshot, on one thread and on a pool, with the facade, and
// returns the sessions' ids and the sockets' numbers it kept, in order.
std::vector<unsigned> expect_same_objects() {
    thread_pool pool(3);
    for (thread_pool* p : {static_cast<thread_pool*>(nullptr), &pool}) {
        const snapshot snap = take_snapshot(selection{}, p);
        const char* how = p ? "on a pool" : "on one thread";
        EXPECT_EQ(texts(snap.sessions), library_sessions()) << how;
        EXPECT_EQ(texts(snap.sockets), library_sockets()) << how;
        EXPECT_EQ(texts(snap.disks), library_disks()) << how;
    }
    const snapshot snap = take_snapshot(selection{});
    std::vector<unsigned> kept;
    for (const session_info& s : snap.sessions) kept.push_back(s.id);
    for (const sock_info& s : snap.sockets) kept.push_back(s.number);
    return kept;
}

counters numbered(long long n) {
    counters c;
    c.samples = n;
    c.total_time = 10 * n;
    c.min_time = n;
    c.max_time = 2 * n;
    return c;
}

void add_session(kernel_tree& tree, const std::string& dir, const std::string& id, long long n) {
    tree.add_session(dir, 0, n, numbered(n), numbered(n + 1));
    tree.write_file("session/" + dir + "/id", id);
}

void add_socket(kernel_tree& tree, const std::string& dir, long long n) {
    for (const char* slot : {"aio_read_stats", "wait_for_space_stats", "socket_write_stats"})
        tree.write_file("sock/" + dir + "/" + slot, counter_line(numbered(n)));
}

// Names without digits, or with leading zeros, beside the names the library
// reads; ids that name other directories.
TEST(SnapshotAgainstLibrary, OddNamesAndIds) {
    kernel_tree tree;
    add_session(tree, "session5", "5\n", 5);
    add_session(tree, "session05", "5\n", 50);  // lists session5 a second time
    add_session(tree, "session", "3\n", 30);    // no digit: listed by its id
    add_session(tree, "sessionX", "7\n", 70);   // names session7, which says 9
    add_session(tree, "session7", "9\n", 7);    // names session9
    add_session(tree, "session9", "9\n", 9);
    add_session(tree, "session3", "3\n", 3);
    add_session(tree, "session12", "14\n", 12);          // session14 does not exist
    add_session(tree, "session20", "4294967295\n", 20);  // reads session-1
    add_session(tree, "session-1", "4294967295\n", 21);
    add_session(tree, "session30", "4294967301\n", 31);  // low 32 bits: 5
    tree.make_dir("session/.session40");
    add_socket(tree, "sock4", 4);
    add_socket(tree, "sock04", 40);   // read from sock4
    add_socket(tree, "sockets6", 6);  // read from sock6, which does not exist
    add_socket(tree, "sock", 1);      // no digit
    add_socket(tree, "sock0", 0);
    add_socket(tree, "sockX2", 2);  // read from sock2, which does not exist
    add_socket(tree, "sock99999999999999999999", 9);
    tree.add_disk_queue(2, 3, numbered(23), numbered(32), 7);
    tree.make_dir("disk_queue/disk4_7");  // a queue without its files
    // Sessions 3, -1, 5 and 9 and sockets 0 and 4, each once.
    EXPECT_EQ(expect_same_objects(), (std::vector<unsigned>{3, 4294967295, 5, 9, 0, 4}));
}

// Files that read as nothing: empty, FIFOs, directories where files belong,
// entries that are no directories; numbers too large and with a minus sign.
TEST(SnapshotAgainstLibrary, FilesThatReadOddly) {
    kernel_tree tree;
    add_session(tree, "session1", "", 1);  // empty id: reads session0
    add_session(tree, "session0", "0\n", 100);
    add_session(tree, "session2", "-2\n", 2);  // the minus sign is skipped
    add_session(tree, "session4", "4\n", 4);
    tree.remove("session/session4/read_perf_stats");
    ASSERT_EQ(mkfifo(kernel_tree::path("session/session4/read_perf_stats").c_str(), 0644), 0);
    add_session(tree, "session6", "6\n", 6);
    tree.remove("session/session6/id");
    tree.make_dir("session/session6/id");  // reads as 0: the record says id 0
    add_session(tree, "session8", "99999999999999999999999\n", 8);
    tree.write_file("session/session8/lba", "-99999999999999999999999\n");
    tree.write_file("session/session10", "10\n");  // a file, not a directory
    ASSERT_EQ(mkfifo(kernel_tree::path("session/session11").c_str(), 0644), 0);
    add_socket(tree, "sock1", 1);
    tree.write_file("sock/sock1/post_read_stats", "");
    tree.write_file("sock/sock1/aio_write_stats", "-5 -6 -7 -8 -9 -10 -11\n");
    tree.write_file("sock/sock1/socket_read_stats",
                    "99999999999999999999 1 2 3 99999999999999999999 5 6\n");
    ASSERT_EQ(mkfifo(kernel_tree::path("sock/sock1/queue_modify_rx_offset_stats").c_str(), 0644),
              0);
    tree.write_file("sock/sock3", "");  // a file named as a socket's directory
    add_socket(tree, "sock5", 5);
    tree.remove("sock/sock5/aio_read_stats");
    tree.make_dir("sock/sock5/aio_read_stats");
    tree.add_disk_queue(1, 0, numbered(1), numbered(2), 3);
    tree.write_file("disk_queue/disk1_0/max_num_active", "-4294967297\n");
    // Sessions 0, 2 and 4, and sockets 1, 3 (all zeros, as the library has
    // it) and 5.
    EXPECT_EQ(expect_same_objects(), (std::vector<unsigned>{0, 2, 4, 1, 3, 5}));
}

}  // namespace
