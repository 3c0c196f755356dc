// The statistics file reader: which text of a file counts.
#include <gtest/gtest.h>

#include <string>

#include "kernel_tree.h"
#include "sanperf.h"

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

}  // namespace
