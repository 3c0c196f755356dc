// The statistics file reader: which text of a file counts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "sanperf.h"
#include "support/kernel_tree.h"

using sanperf_test::kernel_tree;

namespace {

bool extract(const std::string& relative, std::string& out) {
    return st_perf_stats::extract_string_from_file(kernel_tree::path(relative), out);
}

TEST(Reader, MissingFileLeavesOutAsPassed) {
    kernel_tree tree;
    std::string out;
    EXPECT_FALSE(extract("nothing/here", out));
    EXPECT_EQ(out, "");

    std::string kept = "kept";
    EXPECT_TRUE(extract("nothing/here", kept));
    EXPECT_EQ(kept, "kept");
}

TEST(Reader, LineWithoutLetterOrDigitReadsAsOneBlank) {
    kernel_tree tree;
    for (const char* content : {"\n", "", "  -- \t\nsecond 5\n"}) {
        tree.write_file("f", content);
        std::string out;
        EXPECT_TRUE(extract("f", out)) << content;
        EXPECT_EQ(out, " ") << content;
    }
}

TEST(Reader, FirstLineFromItsFirstLetterOrDigit) {
    kernel_tree tree;
    tree.write_file("f", "  12 34\nsecond line\n");
    std::string out;
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "12 34");

    tree.write_file("f", "-5 7\n");
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "5 7");

    tree.write_file("f", "#x1\n");
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "x1");
}

TEST(Reader, OnlyTheFirstLineCounts) {
    kernel_tree tree;
    std::string out;
    tree.write_file("f", "7\n8 9\n");
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "7");

    // A blank first line hides whatever follows it.
    tree.write_file("f", "\n42\n");
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, " ");

    // No newline at all: the whole file is the first line.
    tree.write_file("f", "  ab 12");
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "ab 12");
}

TEST(Reader, ReplacesWhateverOutHeld) {
    kernel_tree tree;
    tree.write_file("f", "3\n");
    std::string out = "a much longer previous value";
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "3");
}

TEST(Reader, LongLinesAreCutAtTheBound) {
    kernel_tree tree;
    std::string out;
    // Exactly at the bound, one byte short of it, and well past it; the
    // second line must never be reached.
    for (std::size_t length :
         {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}, std::size_t{1} << 20}) {
        tree.write_file("long", std::string(length, '1') + "\n2\n");
        EXPECT_TRUE(extract("long", out)) << length;
        EXPECT_EQ(out.size(), std::min<std::size_t>(length, 65536)) << length;
        EXPECT_EQ(out.find_first_not_of('1'), std::string::npos) << length;
    }

    // The bound counts the skipped leading characters too.
    tree.write_file("long", std::string(65536, ' ') + "5\n");
    EXPECT_TRUE(extract("long", out));
    EXPECT_EQ(out, " ");
}

TEST(Reader, LinkedDevicesAndHugeFilesReturnBounded) {
    kernel_tree tree;
    tree.make_dir("links");
    tree.write_file("huge", std::string(1 << 20, '9'));
    ASSERT_EQ(symlink("/dev/zero", kernel_tree::path("links/zero").c_str()), 0);
    ASSERT_EQ(symlink(kernel_tree::path("huge").c_str(), kernel_tree::path("links/huge").c_str()),
              0);

    // /dev/zero never ends a line: without the bound this would not return.
    std::string out;
    EXPECT_TRUE(extract("links/zero", out));
    EXPECT_EQ(out, " ");

    out.clear();
    EXPECT_TRUE(extract("links/huge", out));
    EXPECT_EQ(out.size(), 65536u);

    // The counter set and the property read the same bounded text.
    st_perf_stats stats(kernel_tree::path("links/zero"));
    EXPECT_EQ(stats.get_samples(), 0);
    st_property property(kernel_tree::path("links/zero"));
    EXPECT_EQ(property.get_value(), 0);
}

TEST(Reader, OpenedButUnreadableReadsAsOneBlank) {
    kernel_tree tree;
    tree.make_dir("a_directory");
    std::string out;
    EXPECT_TRUE(extract("a_directory", out));
    EXPECT_EQ(out, " ");

    std::string kept = "kept";
    EXPECT_TRUE(extract("a_directory", kept));
    EXPECT_EQ(kept, " ");
}

TEST(Reader, NonAsciiBytesAreNotSignificant) {
    kernel_tree tree;
    tree.write_file("f", "\xc3\xa9\t+12\n");
    std::string out;
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "12");

    // A NUL before the digits is skipped like any other punctuation.
    tree.write_file("f", std::string("\0\0"
                                     "8\n",
                                     4));
    EXPECT_TRUE(extract("f", out));
    EXPECT_EQ(out, "8");
}

}  // namespace
