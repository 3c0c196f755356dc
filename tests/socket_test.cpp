// Socket collectors: listing order, slot layout and the directory a socket
// is read from.
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

// Slot i of socket n holds samples n*100+i and times derived from it, so a
// slot landing in the wrong place, or a socket read from the wrong
// directory, shows.
void add_numbered_socket(kernel_tree& tree, int number) {
    counters slots[12];
    for (int i = 0; i < 12; ++i) {
        long long base = number * 100 + i;
        slots[i].samples = base;
        slots[i].total_time = base + 1000;
        slots[i].min_time = base + 2000;
        slots[i].max_time = base + 3000;
        slots[i].total_count = 7;
        slots[i].min_count = 8;
        slots[i].max_count = 9;
    }
    tree.add_socket(number, slots);
}

void expect_numbered(const sock_info& info, int number) {
    for (int i = 0; i < 12; ++i) {
        long long base = number * 100 + i;
        EXPECT_EQ(info.stats[i].samples, base) << "slot " << i;
        EXPECT_EQ(info.stats[i].total_time, base + 1000) << "slot " << i;
        EXPECT_EQ(info.stats[i].min_time, base + 2000) << "slot " << i;
        EXPECT_EQ(info.stats[i].max_time, base + 3000) << "slot " << i;
    }
}

std::list<sock_info> collect() {
    socket_performance_info sockets;
    std::list<sock_info> out;
    sockets.extract_socket_perf_info_list(out);
    return out;
}

std::vector<unsigned> numbers_of(const std::list<sock_info>& records) {
    std::vector<unsigned> numbers;
    for (const sock_info& s : records) numbers.push_back(s.number);
    return numbers;
}

TEST(Socket, EachFileInItsSlot) {
    kernel_tree tree;
    add_numbered_socket(tree, 5);
    sock_info info;
    socket_perf_stats(5).get_socket_info(info);
    EXPECT_EQ(info.number, 5u);
    expect_numbered(info, 5);
}

TEST(Socket, TxOffsetInSlotSixRxInSlotSeven) {
    kernel_tree tree;
    tree.write_file("sock/sock1/queue_modify_tx_offset_stats", "66 0 0 0 0 0 0\n");
    tree.write_file("sock/sock1/queue_modify_rx_offset_stats", "77 0 0 0 0 0 0\n");
    sock_info info;
    socket_perf_stats(1).get_socket_info(info);
    EXPECT_EQ(info.stats[6].samples, 66);
    EXPECT_EQ(info.stats[7].samples, 77);
}

TEST(Socket, TwelveSlotsEvenWithoutFiles) {
    kernel_tree tree;
    tree.make_dir("sock/sock2");
    sock_info info;
    for (sock_stats& s : info.stats) s = {-1, -1, -1, -1};
    socket_perf_stats(2).get_socket_info(info);
    EXPECT_EQ(info.number, 2u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(info.stats[i].samples, 0) << i;
        EXPECT_EQ(info.stats[i].total_time, 0) << i;
        EXPECT_EQ(info.stats[i].min_time, 0) << i;
        EXPECT_EQ(info.stats[i].max_time, 0) << i;
    }
}

TEST(Socket, SentinelOnMinimumTimeOnly) {
    kernel_tree tree;
    counters slots[12];
    for (counters& c : slots) {
        c.samples = no_sample;
        c.total_time = no_sample;
        c.min_time = no_sample;
        c.max_time = no_sample;
    }
    slots[3].min_time = no_sample + 1;
    tree.add_socket(4, slots);
    sock_info info;
    socket_perf_stats(4).get_socket_info(info);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(info.stats[i].min_time, i == 3 ? no_sample + 1 : 0) << i;
        EXPECT_EQ(info.stats[i].max_time, no_sample) << i;
        EXPECT_EQ(info.stats[i].samples, no_sample) << i;
        EXPECT_EQ(info.stats[i].total_time, no_sample) << i;
    }

    st_perf_stats in;
    in.initialize(kernel_tree::path("sock/sock4/aio_read_stats"));
    sock_stats out;
    socket_perf_stats(4).extract_sock_stats(out, in);
    EXPECT_EQ(out.min_time, 0);
    EXPECT_EQ(in.get_min_time(), no_sample);  // the counter set keeps the raw value
}

TEST(SocketName, NumberIsTheFirstRunOfDigits) {
    kernel_tree tree;
    socket_performance_info sockets;
    EXPECT_EQ(sockets.socket_name_to_number("sock07"), 7u);
    EXPECT_EQ(sockets.socket_name_to_number("socket12"), 12u);
    EXPECT_EQ(sockets.socket_name_to_number("sock3x9"), 3u);
    EXPECT_EQ(sockets.socket_name_to_number("sock4294967301"), 5u);
    EXPECT_EQ(sockets.socket_name_to_number("sock"), 0u);
}

TEST(SocketList, NumericOrderWithoutReadingFiles) {
    kernel_tree tree;
    for (int n : {3, 12, 4}) tree.make_dir("sock/sock" + std::to_string(n));
    tree.make_dir("sock/other1");
    socket_performance_info sockets;
    std::list<unsigned int> numbers = {99};
    sockets.get_sockets_list(numbers);
    EXPECT_EQ(numbers, (std::list<unsigned int>{3, 4, 12}));
}

TEST(SocketList, RecordsInNumericOrder) {
    kernel_tree tree;
    for (int n : {3, 12, 4}) add_numbered_socket(tree, n);
    std::list<sock_info> out = collect();
    EXPECT_EQ(numbers_of(out), (std::vector<unsigned>{3, 4, 12}));
    const int expected[] = {3, 4, 12};
    int i = 0;
    for (const sock_info& s : out) expect_numbered(s, expected[i++]);
}

TEST(SocketList, ListedNameIsNotTheDirectoryRead) {
    kernel_tree tree;
    add_numbered_socket(tree, 7);
    tree.write_file("sock/sock07/aio_read_stats", "1 1 1 1 1 1 1\n");
    tree.write_file("sock/socket7/aio_read_stats", "2 2 2 2 2 2 2\n");
    std::list<sock_info> out = collect();
    ASSERT_EQ(out.size(), 3u);
    for (const sock_info& s : out) {
        EXPECT_EQ(s.number, 7u);
        expect_numbered(s, 7);
    }
}

TEST(SocketList, MissingDirectoryGivesEmptyLists) {
    kernel_tree tree;
    socket_performance_info sockets;
    std::list<unsigned int> numbers = {1};
    sockets.get_sockets_list(numbers);
    EXPECT_TRUE(numbers.empty());
    std::list<sock_info> out(3);
    sockets.extract_socket_perf_info_list(out);
    EXPECT_TRUE(out.empty());
}

}  // namespace
