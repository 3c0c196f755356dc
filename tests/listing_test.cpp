// Listing numbered directories: the name filters, the numeric order and the
// session and socket lists built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::counters;
using sanperf_test::kernel_tree;

namespace {

dirent entry_named(const std::string& name) {
    dirent e{};
    std::strncpy(e.d_name, name.c_str(), sizeof e.d_name - 1);
    return e;
}

int compare(const std::string& a, const std::string& b) {
    dirent x = entry_named(a);
    dirent y = entry_named(b);
    const dirent* px = &x;
    const dirent* py = &y;
    return dirname_sort(&px, &py);
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(Filters, Prefixes) {
    for (const char* name : {"session", "session1", "session10", "sessionX", "session-1"}) {
        dirent e = entry_named(name);
        EXPECT_EQ(session_scandir_select(&e), 1) << name;
    }
    for (const char* name :
         {".", "..", ".session1", "sessio", "Session1", "xsession1", "sock1", ""}) {
        dirent e = entry_named(name);
        EXPECT_EQ(session_scandir_select(&e), 0) << name;
    }
    for (const char* name : {"sock", "sock1", "sock07", "sockets7", "socket7"}) {
        dirent e = entry_named(name);
        EXPECT_EQ(socket_scandir_select(&e), 1) << name;
    }
    for (const char* name : {".", "..", ".sock1", "soc", "Sock1", "session1", ""}) {
        dirent e = entry_named(name);
        EXPECT_EQ(socket_scandir_select(&e), 0) << name;
    }
}

TEST(DirnameSort, OrdersByTheFirstNumber) {
    EXPECT_LT(compare("session2", "session10"), 0);
    EXPECT_GT(compare("session10", "session2"), 0);
    EXPECT_EQ(compare("session7", "session07"), 0);
    EXPECT_EQ(compare("sock7", "sockets7"), 0);
    // Only the first run of digits counts.
    EXPECT_LT(compare("session1x99", "session2x1"), 0);
    // Beyond the int range the order still holds.
    EXPECT_GT(compare("session3000000000", "session5"), 0);
    EXPECT_GT(compare("session18446744073709551615", "session18446744073709551614"), 0);
    // A name without a digit counts as 0.
    EXPECT_EQ(compare("session", "session0"), 0);
    EXPECT_LT(compare("sockets", "sock1"), 0);
    // Digit runs beyond 64 bits saturate rather than wrap.
    EXPECT_EQ(compare("session99999999999999999999", "session18446744073709551615"), 0);
    EXPECT_EQ(compare("session" + std::string(300, '9'), "session" + std::string(30, '9')), 0);
    EXPECT_GT(compare("session" + std::string(300, '9'), "session18446744073709551614"), 0);
}

TEST(DirnameSort, IsAConsistentThreeWayComparison) {
    // Pairs whose difference overflows an int are where a subtracting
    // comparator goes wrong.
    const std::vector<std::string> names = {"session",
                                            "session0",
                                            "session1",
                                            "session2",
                                            "session10",
                                            "session2147483647",
                                            "session2147483648",
                                            "session3000000000",
                                            "session4294967295",
                                            "session4294967296",
                                            "session18446744073709551615",
                                            "session99999999999999999999"};
    for (const auto& a : names) {
        EXPECT_EQ(compare(a, a), 0) << a;
        for (const auto& b : names) {
            EXPECT_EQ(sign(compare(a, b)), -sign(compare(b, a))) << a << " " << b;
        }
    }
    // Sorting a shuffled copy with the C library gives the numeric order.
    std::vector<dirent> entries;
    for (auto it = names.rbegin(); it != names.rend(); ++it) entries.push_back(entry_named(*it));
    std::rotate(entries.begin(), entries.begin() + 5, entries.end());
    std::vector<const dirent*> pointers;
    for (const auto& e : entries) pointers.push_back(&e);
    std::qsort(pointers.data(), pointers.size(), sizeof(const dirent*), dirname_sort);
    for (std::size_t i = 1; i < pointers.size(); ++i) {
        const dirent* a = pointers[i - 1];
        const dirent* b = pointers[i];
        EXPECT_LE(dirname_sort(&a, &b), 0) << a->d_name << " before " << b->d_name;
    }
    EXPECT_STREQ(pointers[5]->d_name, "session2147483647");
    EXPECT_STREQ(pointers[7]->d_name, "session3000000000");
}

TEST(SocketNameToNumber, FirstDigitRun) {
    kernel_tree tree;
    socket_performance_info sockets;
    EXPECT_EQ(sockets.socket_name_to_number("sock07"), 7u);
    EXPECT_EQ(sockets.socket_name_to_number("sockets7"), 7u);
    EXPECT_EQ(sockets.socket_name_to_number("sock12x3"), 12u);
    EXPECT_EQ(sockets.socket_name_to_number("sockets"), 0u);
    EXPECT_EQ(sockets.socket_name_to_number("sock"), 0u);
    // Cut to the low 32 bits.
    EXPECT_EQ(sockets.socket_name_to_number("sock4294967301"), 5u);
}

std::list<unsigned int> session_ids() {
    session_performance_info sessions;
    std::list<unsigned int> ids = {77, 78};
    sessions.get_sessions_list(ids);
    return ids;
}

std::list<unsigned int> socket_numbers() {
    socket_performance_info sockets;
    std::list<unsigned int> numbers = {77, 78};
    sockets.get_sockets_list(numbers);
    return numbers;
}

using ids = std::list<unsigned int>;

TEST(Listing, MissingOrEmptyDirectoryGivesAnEmptyList) {
    kernel_tree tree;
    EXPECT_EQ(session_ids(), ids{});
    EXPECT_EQ(socket_numbers(), ids{});

    tree.make_dir("session");
    tree.make_dir("sock");
    EXPECT_EQ(session_ids(), ids{});
    EXPECT_EQ(socket_numbers(), ids{});

    // Only filtered-out names.
    tree.make_dir("session/.session1");
    tree.make_dir("session/other3");
    tree.make_dir("sock/.sock1");
    tree.make_dir("sock/xsock2");
    EXPECT_EQ(session_ids(), ids{});
    EXPECT_EQ(socket_numbers(), ids{});
}

TEST(Listing, SessionsInNameOrderGivingTheirIds) {
    kernel_tree tree;
    counters none;
    tree.add_session("session10", 10, 0, none, none);
    tree.add_session("session1", 1, 0, none, none);
    tree.add_session("session2", 2, 0, none, none);
    tree.add_session(".session0", 99, 0, none, none);
    tree.add_session("other5", 98, 0, none, none);
    EXPECT_EQ(session_ids(), (ids{1, 2, 10}));

    // The id file decides the value, not the name; duplicates stay; an entry
    // without an id file gives 0; ids are cut to 32 bits.
    tree.clear();
    tree.add_session("session1", 5, 0, none, none);
    tree.add_session("session2", 3, 0, none, none);
    tree.add_session("session3", 3, 0, none, none);
    tree.make_dir("session/session4");
    tree.add_session("session5", 4294967301LL, 0, none, none);
    tree.write_file("session/session6/id", "\n");
    tree.write_file("session/session3000000000/id", "8\n");
    EXPECT_EQ(session_ids(), (ids{5, 3, 3, 0, 5, 0, 8}));

    // Names without a digit list first, and do not break the listing.
    tree.make_dir("session/session");
    tree.write_file("session/sessionX/id", "6\n");
    ids listed = session_ids();
    ASSERT_EQ(listed.size(), 9u);
    std::vector<unsigned int> first_two(listed.begin(), std::next(listed.begin(), 2));
    std::sort(first_two.begin(), first_two.end());
    EXPECT_EQ(first_two, (std::vector<unsigned int>{0, 6}));
    EXPECT_EQ((ids(std::next(listed.begin(), 2), listed.end())), (ids{5, 3, 3, 0, 5, 0, 8}));
}

TEST(Listing, SocketsInNumericOrderReadingNoFile) {
    kernel_tree tree;
    for (const char* dir :
         {"sock3", "sock12", "sock4", "sockets7", "sock07", ".sock1", "session2"}) {
        tree.make_dir(std::string("sock/") + dir);
    }
    // A file named like a socket is listed too: the listing reads no file.
    tree.write_file("sock/sock20", "1\n");
    ids listed = socket_numbers();
    EXPECT_EQ(listed, (ids{3, 4, 7, 7, 12, 20}));

    tree.make_dir("sock/sockets");
    tree.make_dir("sock/sock5000000000");
    listed = socket_numbers();
    EXPECT_EQ(listed, (ids{0, 3, 4, 7, 7, 12, 20, 705032704u}));
}

}  // namespace
