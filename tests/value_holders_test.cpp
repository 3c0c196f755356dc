// The counter set and the property: how a file's numbers become values.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "sanperf.h"
#include "support/failing_new.h"
#include "support/kernel_tree.h"

using sanperf_test::kernel_tree;

namespace {

struct seven {
    long long samples, total_count, max_count, min_count, total_time, max_time, min_time;
};

seven values_of(st_perf_stats& s) {
    return {s.get_samples(),    s.get_total_count(), s.get_max_count(), s.get_min_count(),
            s.get_total_time(), s.get_max_time(),    s.get_min_time()};
}

void expect_values(st_perf_stats& s, const seven& want, const char* context) {
    seven got = values_of(s);
    EXPECT_EQ(got.samples, want.samples) << context;
    EXPECT_EQ(got.total_count, want.total_count) << context;
    EXPECT_EQ(got.max_count, want.max_count) << context;
    EXPECT_EQ(got.min_count, want.min_count) << context;
    EXPECT_EQ(got.total_time, want.total_time) << context;
    EXPECT_EQ(got.max_time, want.max_time) << context;
    EXPECT_EQ(got.min_time, want.min_time) << context;
}

TEST(CounterSet, FileOrderIsFieldOrder) {
    kernel_tree tree;
    tree.write_file("c", "10 20 30 1 400 50 2\n");
    st_perf_stats s(kernel_tree::path("c"));
    expect_values(s, {10, 20, 30, 1, 400, 50, 2}, "file order");

    // The "no sample yet" minimum is kept raw here; only records map it to 0.
    tree.write_file("c", "0 0 0 4294967295 0 0 4294967295\n");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {0, 0, 0, 4294967295LL, 0, 0, 4294967295LL}, "sentinel");
}

TEST(CounterSet, WideAndSignedNumbers) {
    kernel_tree tree;
    // All 64 bits survive; a leading minus is skipped, one after the first
    // number is not.
    tree.write_file("c", "-5 8589934592 -7 9223372036854775807 1 2 3\n");
    st_perf_stats s(kernel_tree::path("c"));
    expect_values(s, {5, 8589934592LL, -7, 9223372036854775807LL, 1, 2, 3}, "wide");
}

TEST(CounterSet, RereadKeepsWhatTheLineDoesNotHold) {
    kernel_tree tree;
    tree.write_file("c", "10 20 30 1 400 50 2\n");
    st_perf_stats s(kernel_tree::path("c"));

    // A short line refreshes the leading fields only.
    tree.write_file("c", "11 21 31\n");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {11, 21, 31, 1, 400, 50, 2}, "short line");

    // A blank line, or text, changes nothing.
    tree.write_file("c", "\n");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {11, 21, 31, 1, 400, 50, 2}, "blank line");
    tree.write_file("c", "none yet\n");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {11, 21, 31, 1, 400, 50, 2}, "text");

    // Conversion stops at the first thing that is not a number.
    tree.write_file("c", "12 x 99\n");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {12, 21, 31, 1, 400, 50, 2}, "stops at text");

    // A missing file zeroes everything.
    tree.remove("c");
    s.initialize(kernel_tree::path("c"));
    expect_values(s, {0, 0, 0, 0, 0, 0, 0}, "missing file");

    // A fresh set reading a short line has zeros behind it.
    tree.write_file("c", "4 5\n");
    st_perf_stats fresh(kernel_tree::path("c"));
    expect_values(fresh, {4, 5, 0, 0, 0, 0, 0}, "fresh short line");
}

// The conversion of a counter line, case by case, over a set that already
// holds 1 to 7: what the line does not convert keeps its old value.
TEST(CounterSet, ConversionCases) {
    const long long max = 9223372036854775807LL;
    const long long min = -max - 1;
    const struct {
        std::string line;
        seven want;
    } cases[] = {
        {"10\t20\v30\f40\r50 \t\v\f\r 60  70", {10, 20, 30, 40, 50, 60, 70}},
        {"5 -6 +7 -0 +0 -1 +1", {5, -6, 7, 0, 0, -1, 1}},
        {"9223372036854775808 -9223372036854775809 -9223372036854775808 "
         "123456789012345678901234567890",
         {max, min, min, max, 5, 6, 7}},
        {"8 - 9", {8, 2, 3, 4, 5, 6, 7}},
        {"8 -", {8, 2, 3, 4, 5, 6, 7}},
        {"8 +-9", {8, 2, 3, 4, 5, 6, 7}},
        {"8 9x 10", {8, 9, 3, 4, 5, 6, 7}},
        {std::string("8 9\0 10 11", 10), {8, 9, 3, 4, 5, 6, 7}},
    };
    kernel_tree tree;
    tree.write_file("old", "1 2 3 4 5 6 7\n");
    for (const auto& c : cases) {
        st_perf_stats s(kernel_tree::path("old"));
        tree.write_file("c", c.line + "\n");
        s.initialize(kernel_tree::path("c"));
        expect_values(s, c.want, c.line.c_str());
    }
}

TEST(CounterSet, CopyAssignAndClear) {
    kernel_tree tree;
    tree.write_file("a", "1 2 3 4 5 6 7\n");
    tree.write_file("b", "70 60 50 40 30 20 10\n");
    st_perf_stats a(kernel_tree::path("a"));
    st_perf_stats b(kernel_tree::path("b"));

    st_perf_stats copied(a);
    expect_values(copied, {1, 2, 3, 4, 5, 6, 7}, "copy constructed");

    copied = b;
    expect_values(copied, {70, 60, 50, 40, 30, 20, 10}, "assigned");
    copied = copied;
    expect_values(copied, {70, 60, 50, 40, 30, 20, 10}, "self-assigned");

    copied.copy(a);
    expect_values(copied, {1, 2, 3, 4, 5, 6, 7}, "copy()");
    expect_values(a, {1, 2, 3, 4, 5, 6, 7}, "source unchanged");

    copied.bzero();
    expect_values(copied, {0, 0, 0, 0, 0, 0, 0}, "bzero");
    b.reset();
    expect_values(b, {0, 0, 0, 0, 0, 0, 0}, "reset");

    st_perf_stats empty;
    expect_values(empty, {0, 0, 0, 0, 0, 0, 0}, "default");
}

TEST(Property, ReadsTheFirstNumberWhole) {
    kernel_tree tree;
    tree.write_file("v", "4294967301 7\n");
    st_property p(kernel_tree::path("v"));
    EXPECT_EQ(p.get_value(), 4294967301LL);

    tree.write_file("v", "-12\n");
    p.initialize(kernel_tree::path("v"));
    EXPECT_EQ(p.get_value(), 12);

    EXPECT_EQ(st_property().get_value(), 0);
}

TEST(Property, NoNumberKeepsMissingFileZeroes) {
    kernel_tree tree;
    tree.write_file("v", "99\n");
    st_property p(kernel_tree::path("v"));

    for (const char* content : {"\n", "", "n/a\n", "\n5\n"}) {
        tree.write_file("v", content);
        p.initialize(kernel_tree::path("v"));
        EXPECT_EQ(p.get_value(), 99) << content;
    }

    tree.remove("v");
    p.initialize(kernel_tree::path("v"));
    EXPECT_EQ(p.get_value(), 0);

    // Each read follows the path it is given, not the first one.
    tree.write_file("w", "3\n");
    p.initialize(kernel_tree::path("w"));
    EXPECT_EQ(p.get_value(), 3);
}

// Fails the 1st, 2nd, ... allocation of read() in turn until read() runs
// without the failure firing. Every time it fires, std::bad_alloc must reach
// the caller (a reader that swallows it would silently give zeros) and
// nothing may stay allocated. Returns how many allocations read() makes.
template <typename Read>
long fail_each_allocation(Read read) {
    for (long n = 1;; ++n) {
        long before = sanperf_test::live_allocations();
        bool threw = false;
        sanperf_test::fail_nth_allocation(n);
        try {
            read();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        bool fired = sanperf_test::allocation_failure_fired();
        sanperf_test::fail_nth_allocation(0);
        EXPECT_EQ(sanperf_test::live_allocations(), before) << "allocation " << n;
        if (!fired) return n - 1;
        EXPECT_TRUE(threw) << "allocation " << n << " failed but read() did not throw";
        if (!threw) return n - 1;
    }
}

TEST(AllocationFailure, ReachesTheCallerOfInitialize) {
    kernel_tree tree;
    // A line of up to a page is converted without touching the heap.
    std::string line = "123456789012 223456789012 323456789012 4 5 6 7";
    tree.write_file("c", line + "\n");
    const std::string path = kernel_tree::path("c");
    st_perf_stats stats;
    EXPECT_EQ(fail_each_allocation([&] { stats.initialize(path); }), 0);

    // A longer one needs heap memory of its own.
    tree.write_file("c", line + std::string(5000, ' ') + "\n");
    long count = fail_each_allocation([&] { stats.initialize(path); });
    EXPECT_GT(count, 0);
    EXPECT_EQ(stats.get_samples(), 123456789012LL);
    EXPECT_EQ(stats.get_min_time(), 7);

    st_property property;
    count = fail_each_allocation([&] { property.initialize(path); });
    EXPECT_GT(count, 0);
    EXPECT_EQ(property.get_value(), 123456789012LL);

    count = fail_each_allocation([&] { st_perf_stats built(path); });
    EXPECT_GT(count, 0);
}

}  // namespace
