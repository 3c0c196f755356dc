// Entry point of the test binaries: every test runs against a private, empty
// /sys/kernel. Without one the suite cannot run safely: it fails under CI and
// is skipped elsewhere, with the same message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/private_mount.h"

namespace {

class skip_all : public testing::Environment {
public:
    explicit skip_all(std::string why) : why_(std::move(why)) {}
    void SetUp() override { GTEST_SKIP() << why_; }

private:
    std::string why_;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    // Root inside a user namespace, when that is the way in, so that the
    // tests may make the tree's files as they please.
    if (!sanperf_tools::private_sys_kernel(sanperf_tools::user_namespace_ids::root, "", why)) {
        std::string message = "cannot give the tests a private /sys/kernel (" + why + ")";
        std::fprintf(stderr, "sanperf tests: %s\n", message.c_str());
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::strcmp(ci, "true") == 0) return 1;
        testing::AddGlobalTestEnvironment(new skip_all(message));
    }
    return RUN_ALL_TESTS();
}
